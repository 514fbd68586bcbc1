#!/usr/bin/env python3
"""The exporter's memory and CPU over a long run: `tamrikctl --simulate=N exporter` on a free
loopback port, fetched every second as Prometheus (/metrics) or the status page's script
(/api/units) would, for --seconds (default an hour).

    bench/exporter/exporter_soak.py --tamrikctl build/app/tamrikctl/tamrikctl [--seconds 3600]
                                    [--units 2] [--interval 1] [--faults SPEC] [--path /metrics]

The status page's weight (/ with everything it loads, which is itself) is measured at the start.

Every --sample seconds it reads the exporter's CPU time and memory from /proc; at the end it
prints the CPU share (user and system, of one core), the resident memory at the start (after the
first minute), at the end and at its highest, and the scrapes' times and failures. A benchmark to
run and report, not a test: it asserts nothing about the numbers.
"""
import argparse
import os
import re
import signal
import statistics
import subprocess
import sys
import time
import urllib.request


def proc_cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = os.sysconf("SC_CLK_TCK")
    return int(fields[11]) / ticks, int(fields[12]) / ticks  # utime, stime


def proc_memory_kib(pid):
    values = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            key, _, rest = line.partition(":")
            if key in ("VmRSS", "VmHWM", "Threads"):
                values[key] = int(rest.split()[0])
    return values


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--tamrikctl", required=True)
    p.add_argument("--seconds", type=float, default=3600)
    p.add_argument("--units", type=int, default=2)
    p.add_argument("--interval", type=float, default=1.0, help="seconds between scrapes")
    p.add_argument("--sample", type=float, default=10.0, help="seconds between readings of /proc")
    p.add_argument("--faults", default="", help="--sim-faults for the simulated units")
    p.add_argument("--path", default="/metrics", help="what is fetched: /metrics or /api/units")
    args = p.parse_args()

    command = [args.tamrikctl, f"--simulate={args.units}"]
    if args.faults:
        command += ["--sim-faults", args.faults]
    command += ["exporter", "--listen", "127.0.0.1:0"]
    exporter = subprocess.Popen(command, stderr=subprocess.PIPE, text=True)
    try:
        line = exporter.stderr.readline()
        m = re.search(r"http://(127\.0\.0\.1:\d+)/metrics", line)
        if not m:
            print(f"the exporter did not start: {line!r}", file=sys.stderr)
            return 1
        base = f"http://{m.group(1)}"
        url = base + args.path
        time.sleep(2)  # the units found and read once
        with urllib.request.urlopen(base + "/", timeout=5) as r:
            page = r.read()
        start = time.monotonic()
        cpu_start = proc_cpu_seconds(exporter.pid)
        next_scrape = start
        next_sample = start
        latencies, failures, sizes, samples = [], 0, [], []
        while time.monotonic() - start < args.seconds:
            now = time.monotonic()
            if now >= next_sample:
                samples.append((now - start, proc_cpu_seconds(exporter.pid), proc_memory_kib(exporter.pid)))
                next_sample += args.sample
            if now >= next_scrape:
                t0 = time.monotonic()
                try:
                    with urllib.request.urlopen(url, timeout=5) as r:
                        body = r.read()
                    latencies.append(time.monotonic() - t0)
                    sizes.append(len(body))
                except OSError:
                    failures += 1
                next_scrape += args.interval
            time.sleep(max(0.0, min(next_scrape, next_sample) - time.monotonic()))
        elapsed = time.monotonic() - start
        user, system = proc_cpu_seconds(exporter.pid)
        memory = proc_memory_kib(exporter.pid)
    finally:
        exporter.send_signal(signal.SIGTERM)
        try:
            status = exporter.wait(timeout=10)
        except subprocess.TimeoutExpired:
            exporter.kill()
            status = exporter.wait()

    cpu = (user - cpu_start[0]) + (system - cpu_start[1])
    after_minute = next((m for t, _, m in samples if t >= 60), samples[0][2])
    rss = [m["VmRSS"] for _, _, m in samples]
    ms = sorted(x * 1000 for x in latencies)
    print(f"exporter on {args.units} simulated units, {args.path} fetched every {args.interval:g} s for {elapsed:.0f} s "
          f"({len(latencies)} fetches, {failures} failed; {statistics.mean(sizes) / 1024:.1f} KiB each)")
    print(f"status page: {len(page) / 1024:.1f} KiB, nothing else loaded")
    print(f"CPU: {cpu:.1f} s in all, {100 * cpu / elapsed:.2f} % of one core "
          f"(user {user - cpu_start[0]:.1f} s, system {system - cpu_start[1]:.1f} s)")
    print(f"memory (resident): {after_minute['VmRSS'] / 1024:.1f} MiB after the first minute, "
          f"{memory['VmRSS'] / 1024:.1f} MiB at the end, highest {memory['VmHWM'] / 1024:.1f} MiB; "
          f"lowest and highest sample {min(rss) / 1024:.1f} and {max(rss) / 1024:.1f} MiB; {memory['Threads']} threads")
    print(f"time per request (loopback, as the client sees it): median {statistics.median(ms):.2f} ms, 99th percentile {ms[int(0.99 * (len(ms) - 1))]:.2f} ms, "
          f"longest {ms[-1]:.2f} ms")
    print(f"exporter ended with status {status}")
    return 0 if failures == 0 and status == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
