#!/usr/bin/env python3
"""tamrikctl exporter scraped by a real Prometheus server, on loopback only.

    check_prometheus.py --tamrikctl PATH --prometheus PATH --rules FILE

The exporter serves one simulated unit that loses its GPS signal at 8 s and is unplugged at 16 s.
A Prometheus of its own (temporary storage folder, a free port on 127.0.0.1) scrapes it every
second with the shipped alert rules loaded. Through Prometheus' query API: tamrik_up is 1; after
the scheduled loss tamrik_gps_signal_losses_total has risen by one; after the unplug the exporter
still answers (up is 1), tamrik_up is 0, the unit's PLL lock is no longer shown, and the alert
for the unit gone is pending. A second exporter on the same port is refused. Every process
started is stopped; every wait is bounded. Exit 77 (skip) when Prometheus is not installed.
"""
import argparse
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.parse

from prometheus_harness import Failure, get, missing, start_prometheus, stop, stop_all, wait_for

FAULTS = "signal-loss:SIM001@8000,signal:SIM001@10000,unplug:SIM001@16000"


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--tamrikctl", required=True)
    p.add_argument("--prometheus", default="prometheus")
    p.add_argument("--rules", required=True)
    args = p.parse_args()
    prometheus = shutil.which(args.prometheus)
    if not prometheus:
        return missing("prometheus", "prometheus")

    processes = []
    with tempfile.TemporaryDirectory(prefix="tamrik-prometheus-") as folder:
        try:
            exporter = subprocess.Popen(
                [args.tamrikctl, "--simulate=1", "--sim-faults", FAULTS, "exporter", "--listen", "127.0.0.1:0"],
                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
            processes.append((exporter, "the exporter"))
            started = time.monotonic()
            line = exporter.stderr.readline()
            m = re.fullmatch(r"tamrikctl exporter: serving http://127\.0\.0\.1:(\d+)/metrics\n", line)
            if not m:
                raise Failure(f"the exporter's first line: {line!r}")
            port = int(m.group(1))

            shutil.copy(args.rules, os.path.join(folder, "tamrik-alerts.yml"))
            api = start_prometheus(prometheus, folder,
                                   "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                                   "rule_files:\n  - tamrik-alerts.yml\n"
                                   f"scrape_configs:\n  - job_name: tamrik\n    static_configs:\n"
                                   f"      - targets: ['127.0.0.1:{port}']\n", processes)

            def query(expr):
                status, body = get(f"{api}/query?" + urllib.parse.urlencode({"query": expr}))
                result = json.loads(body)["data"]["result"]
                return {r["metric"].get("serial", ""): float(r["value"][1]) for r in result}

            # Scraped, the unit attached and reporting.
            wait_for("tamrik_up 1", lambda: query('tamrik_up{job="tamrik"}') == {"SIM001": 1.0}, 30)
            before = query("tamrik_gps_signal_losses_total")
            if time.monotonic() - started > 7.5 or before != {"SIM001": 0.0}:
                raise Failure(f"before the loss: tamrik_gps_signal_losses_total {before}")
            wait_for("the loss counted",
                     lambda: query("tamrik_gps_signal_losses_total") == {"SIM001": 1.0} and
                     query("tamrik_gps_signal") == {"SIM001": 1.0} and time.monotonic() - started > 10.5, 30)

            # Unplugged: the exporter answers and says the unit is away, never locked.
            wait_for("tamrik_up 0", lambda: query("tamrik_up") == {"SIM001": 0.0}, 30)
            if query('up{job="tamrik"}') != {"": 1.0}:
                raise Failure(f"the exporter is not scraped after the unplug: {query('up')}")
            if query("tamrik_unit_connected") != {"SIM001": 0.0} or query("tamrik_unit_disconnects_total") != {"SIM001": 1.0}:
                raise Failure("after the unplug: tamrik_unit_connected "
                              f"{query('tamrik_unit_connected')}, disconnects {query('tamrik_unit_disconnects_total')}")
            wait_for("tamrik_pll_lock gone", lambda: query("tamrik_pll_lock") == {}, 10)
            if query("tamrik_gps_signal_losses_total") != {"SIM001": 1.0}:
                raise Failure("the counter did not keep its count over the unplug")

            def unit_gone():
                alerts = json.loads(get(f"{api}/alerts")[1])["data"]["alerts"]
                return [a for a in alerts if a["labels"]["alertname"] == "TamrikUnitGone" and
                        a["labels"].get("serial") == "SIM001" and a["state"] in ("pending", "firing")]
            wait_for("the TamrikUnitGone alert", unit_gone, 10)

            # A second exporter on the same port is refused, in one line.
            second = subprocess.run([args.tamrikctl, "--simulate=1", "exporter", "--listen", f"127.0.0.1:{port}"],
                                    capture_output=True, text=True, timeout=30)
            if second.returncode != 2 or not re.fullmatch(
                    rf"tamrikctl exporter: cannot listen on 127\.0\.0\.1:{port}: Address already in use\n", second.stderr):
                raise Failure(f"a second exporter on the port: {second.returncode}, {second.stderr!r}")

            if stop(exporter, "the exporter") != 0:
                raise Failure(f"the exporter ended with {exporter.returncode} on SIGTERM")
        finally:
            stop_all(processes)
    print("prometheus scraped the exporter: tamrik_up, the signal loss counted, the unplug seen")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except Failure as e:
        print(f"FAILED: {e}", file=sys.stderr)
        sys.exit(1)
