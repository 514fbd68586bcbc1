#!/usr/bin/env python3
"""The Grafana dashboard's queries and every metrics output, checked by the real Prometheus.

    check_dashboard.py --tamrikctl PATH --dashboard FILE

The exporter serves three simulated units: SIM001 stays up, SIM002 stops sending its reports at
3 s (attached, but down) and SIM003 is unplugged at 3 s (away). Its /metrics passes `promtool
check metrics` at the start and once every unit is in its state. A Prometheus of its own
(temporary storage folder, a free port on 127.0.0.1) scrapes it every second; once SIM001 has a
fix, every query of the dashboard, with its variables as Grafana fills them in for SIM001, is
evaluated through Prometheus' query API: each must parse and give a series of SIM001. The
`serial` variable's query must list the three units. Every process started is stopped; every
wait is bounded. Exit 77 (skip) when Prometheus is not installed, unless CI=true.
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
import urllib.error
import urllib.parse

from prometheus_harness import Failure, get, missing, start_prometheus, stop, stop_all, wait_for

FAULTS = "stall:SIM002@3000,unplug:SIM003@3000"
# What Grafana puts for its own variables, and for $serial with one unit chosen.
VARIABLES = {"$__rate_interval": "1m", "$__interval": "15s", "$__range": "1h", "$serial": "SIM001"}


def promtool_check(promtool, text, what):
    checked = subprocess.run([promtool, "check", "metrics"], input=text.encode(), capture_output=True, timeout=60)
    if checked.returncode != 0:
        raise Failure(f"promtool check metrics on {what}: {(checked.stdout + checked.stderr).decode(errors='replace')}")


def panels_of(dashboard):
    """Every panel, those inside collapsed rows too."""
    for panel in dashboard["panels"]:
        yield panel
        yield from panel.get("panels", [])


def queries(dashboard):
    """(panel title, expr) of every query, after checking that each names the datasource input."""
    inputs = [i["name"] for i in dashboard.get("__inputs", []) if i.get("pluginId") == "prometheus"]
    if inputs != ["DS_PROMETHEUS"]:
        raise Failure(f"the dashboard's __inputs: {dashboard.get('__inputs')}")
    found = []
    for panel in panels_of(dashboard):
        if panel["type"] == "row":
            continue
        for where in [panel] + panel.get("targets", []):
            if where.get("datasource", {}).get("uid") != "${DS_PROMETHEUS}":
                raise Failure(f"panel {panel['title']!r}: datasource {where.get('datasource')}")
        if not panel.get("targets"):
            raise Failure(f"panel {panel['title']!r} has no query")
        found += [(panel["title"], t["expr"]) for t in panel["targets"]]
    return found


def substituted(expr):
    for name in sorted(VARIABLES, key=len, reverse=True):
        expr = expr.replace(name, VARIABLES[name]).replace("${" + name[1:] + "}", VARIABLES[name])
    if "$" in expr:
        raise Failure(f"a variable left in {expr!r}")
    return expr


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--tamrikctl", required=True)
    p.add_argument("--dashboard", required=True)
    p.add_argument("--prometheus", default="prometheus")
    args = p.parse_args()
    prometheus, promtool = shutil.which(args.prometheus), shutil.which("promtool")
    if not prometheus or not promtool:
        return missing("prometheus" if not prometheus else "promtool", "prometheus")
    with open(args.dashboard, encoding="utf-8") as f:
        dashboard = json.load(f)
    exprs = queries(dashboard)
    variables = dashboard["templating"]["list"]
    if [v["name"] for v in variables] != ["serial"] or variables[0]["datasource"]["uid"] != "${DS_PROMETHEUS}":
        raise Failure(f"the dashboard's variables: {variables}")

    processes = []
    with tempfile.TemporaryDirectory(prefix="tamrik-dashboard-") as folder:
        try:
            exporter = subprocess.Popen(
                [args.tamrikctl, "--simulate=3", "--sim-faults", FAULTS, "exporter", "--listen", "127.0.0.1:0"],
                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
            processes.append((exporter, "the exporter"))
            line = exporter.stderr.readline()
            m = re.fullmatch(r"tamrikctl exporter: serving http://127\.0\.0\.1:(\d+)/metrics\n", line)
            if not m:
                raise Failure(f"the exporter's first line: {line!r}")
            port = int(m.group(1))
            metrics_url = f"http://127.0.0.1:{port}/metrics"
            first = get(metrics_url)[1]
            promtool_check(promtool, first, "/metrics at the start")
            # The exporter's version is the one --version tells.
            version = subprocess.run([args.tamrikctl, "--version"], capture_output=True, text=True,
                                     timeout=30).stdout.split("\n")[0].split(" ")[-1]
            if f'\ntamrikctl_build_info{{version="{version}"}} 1\n' not in first:
                raise Failure(f"/metrics has no tamrikctl_build_info of version {version!r}")

            api = start_prometheus(prometheus, folder,
                                   "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
                                   f"scrape_configs:\n  - job_name: tamrik\n    static_configs:\n"
                                   f"      - targets: ['127.0.0.1:{port}']\n", processes)

            def query(expr):
                try:
                    body = json.loads(get(f"{api}/query?" + urllib.parse.urlencode({"query": expr}))[1])
                except urllib.error.HTTPError as e:
                    raise Failure(f"{expr!r}: {e.code} {e.read().decode(errors='replace')}")
                return body["data"]["result"]

            def by_serial(expr):
                return {r["metric"].get("serial", ""): float(r["value"][1]) for r in query(expr)}

            # One unit up with a fix, one attached but silent, one away; scraped a few times since.
            wait_for("SIM001 with a fix, SIM002 down, SIM003 away",
                     lambda: by_serial("tamrik_receiver_fix").get("SIM001") == 1.0 and
                     by_serial("tamrik_up") == {"SIM001": 1.0, "SIM002": 0.0, "SIM003": 0.0} and
                     by_serial("tamrik_unit_connected") == {"SIM001": 1.0, "SIM002": 1.0, "SIM003": 0.0}, 40)
            promtool_check(promtool, get(metrics_url)[1], "/metrics with units up, silent and away")
            wait_for("three scrapes with the fix", lambda: by_serial("count_over_time(tamrik_receiver_fix[1m])")
                     .get("SIM001", 0) >= 3 and by_serial("tamrik_satellite_cno_dbhz > 0"), 20)

            listed = json.loads(get(f"{api}/series?" + urllib.parse.urlencode({"match[]": "tamrik_up"}))[1])["data"]
            if variables[0]["query"] != "label_values(tamrik_up, serial)" or \
                    sorted(s["serial"] for s in listed) != ["SIM001", "SIM002", "SIM003"]:
                raise Failure(f"the serial variable: {variables[0]['query']!r} lists {listed}")
            empty = []
            for title, expr in exprs:
                result = query(substituted(expr))
                if not result or any(r["metric"].get("serial") != "SIM001" for r in result):
                    empty.append(f"{title}: {substituted(expr)} gave {result}")
            if empty:
                raise Failure("queries without a series of SIM001 alone:\n  " + "\n  ".join(empty))
            if stop(exporter, "the exporter") != 0:
                raise Failure(f"the exporter ended with {exporter.returncode} on SIGTERM")
        finally:
            stop_all(processes)
    print(f"the dashboard's {len(exprs)} queries each gave SIM001's series; /metrics passed promtool up, silent and away")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except Failure as e:
        print(f"FAILED: {e}", file=sys.stderr)
        sys.exit(1)
