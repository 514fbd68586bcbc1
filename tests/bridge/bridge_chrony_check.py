#!/usr/bin/env python3
"""Runs `tamrikctl --simulate=1 receiver --chrony SOCKET --pty PATH` with the real chronyd.

The chronyd is this test's own: in the foreground, with -x so that it never touches this machine's
clock, a configuration and a command socket in a temporary folder, no NTP server and no network
port; its SOCK source is never selected, so what chronyc shows is what the bridge sent. The bridge
starts first, so chronyd is not there yet; then chronyd starts, and the refclock must be reached
on every poll with the simulated unit's output delay as its offset; chronyd is restarted; the unit
is unplugged and plugged in again (--sim-faults): no sample while it is away, samples again once
its receiver has its time back. All the while the pseudo-terminal carries the receiver's bytes, and
the bridge's own figures (--metrics) say what chronyd took and what it did not, pass promtool's
checks and agree with what chronyd measured. chronyc is asked with -c, whose fields are the same in
chrony 4.3 and 4.6.

Exit status 0 when every check held, 1 otherwise, 77 (skip) when chronyd cannot run here (outside
CI). Every process started is stopped and every wait is bounded.
"""
import argparse
import os
import re
import select
import shutil
import subprocess
import sys
import time
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bridge_program_check import Failure, Processes, in_own_folder, nav_pvt, wait_for_link  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tamrikctl"))
from prometheus_harness import Failure as HarnessFailure, checked_samples, sample  # noqa: E402

SKIP = 77
# The simulated unit's delay from the receiver's second to the report that carries the epoch's
# first bytes: the receiver starts sending 40 ms after the second, and the unit sends a report once
# it holds 62 bytes, at 9600 baud inside it; then up to one 8 ms poll of the host, and on a busy
# machine whatever the scheduler adds.
OUTPUT_DELAY = 0.040 + 62 * 10 / 9600
LOOSE_ABOVE = 0.060
UNPLUG_MS, REPLUG_MS = 130000, 136000
# chrony's poll: 8 s. Its median filter wants at least 4 samples a poll, which 8 s bring with room
# to spare on a busy machine; reach 377 takes 64 s.
POLL = 3


def chronyc(control, command):
    out = subprocess.run(["chronyc", "-h", control, "-n", "-c", command], capture_output=True, text=True, timeout=10)
    for line in out.stdout.splitlines():
        fields = line.split(",")
        if "TMRK" in fields:
            return fields
    return None


def source(control):
    """(reach as chronyc writes it, seconds since the last sample, measured offset) of the refclock."""
    f = chronyc(control, "sources")
    if not f or len(f) < 10:
        return None
    return f[5], int(f[6]), float(f[8])


def wait_until(what, check, timeout, processes=()):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = check()
        if value:
            return value
        for p in processes:
            if p.poll() is not None:
                raise Failure(f"{p.args[0]} ended with {p.returncode} while waiting for {what}: {p.err[-5:]}")
        time.sleep(0.25)
    raise Failure(f"no {what} within {timeout} s")


def receiver_bytes(link, seconds=3.0):
    """The NAV-PVT fixes in what the pseudo-terminal brings within `seconds`."""
    fd = os.open(link, os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK)
    got, deadline = bytearray(), time.monotonic() + seconds
    while time.monotonic() < deadline:
        if select.select([fd], [], [], 0.1)[0]:
            got += os.read(fd, 65536)
    os.close(fd)
    return nav_pvt(bytes(got))


def log_lines(bridge, text):
    return [l for l in list(bridge.err) if text in l]


def bridge_metrics(bridge):
    """The bridge's figures, {name{labels}: value}, checked by promtool."""
    where = next((m.group(1) for l in list(bridge.err) if (m := re.search(r"its figures at (http://\S+/metrics)", l))), None)
    if not where:
        raise Failure(f"the bridge did not say where its figures are: {bridge.err}")
    with urllib.request.urlopen(where, timeout=5) as r:
        text = r.read().decode("utf-8")
    try:
        return checked_samples(text)
    except HarnessFailure as e:
        raise Failure(f"the bridge's figures: {e}")


def figure(values, name, **labels):
    """The one sample of `name` whose labels include `labels`."""
    found = sample(values, name, **labels)
    if found is None:
        raise Failure(f"no single sample of {name} with {labels} in the bridge's figures")
    return found


def check(args, tmp):
    root = os.geteuid() == 0
    user = ["-u", "root"] if root else ["-U", "-u", os.environ.get("USER") or subprocess.run(
        ["id", "-un"], capture_output=True, text=True).stdout.strip()]
    socket_path = os.path.join(tmp, "tamrik.sock")
    control = os.path.join(tmp, "chronyd.sock")
    link = os.path.join(tmp, "gps0")
    conf = os.path.join(tmp, "chrony.conf")
    with open(conf, "w") as f:
        f.write(f"refclock SOCK {socket_path} refid TMRK poll {POLL} noselect\n"
                f"port 0\ncmdport 0\nbindcmdaddress {control}\npidfile {os.path.join(tmp, 'chronyd.pid')}\n")
    chronyd_argv = ["chronyd", "-x", "-d", "-f", conf] + user

    with Processes() as ps:
        bridge = ps.start([args.program, "--simulate=1", "--sim-faults",
                           f"unplug:SIM001@{UNPLUG_MS},replug:SIM001@{REPLUG_MS}",
                           "receiver", "--chrony", socket_path, "--pty", link, "--metrics", "127.0.0.1:0"])
        started = time.monotonic()
        wait_for_link(link, bridge)
        # chronyd is not there: the bridge says so once and goes on, and the receiver's time (valid
        # once the receiver has found its satellites) reaches the pseudo-terminal all the same.
        wait_until("line that the bridge waits for chronyd", lambda: log_lines(bridge, "waiting for chronyd"), 30, [bridge])
        if not receiver_bytes(link):
            raise Failure(f"no NAV-PVT came through {link}")
        if len(log_lines(bridge, "waiting for chronyd")) != 1:
            raise Failure(f"the bridge did not say once that it waits for chronyd: {bridge.err}")

        chronyd = ps.start(chronyd_argv)
        wait_until("sample in chronyd", lambda: (source(control) or ("0",))[0] != "0", 40, [bridge, chronyd])
        reach = wait_until("refclock reached on every poll", lambda: (s := source(control)) and s[0] == "377" and s,
                           100, [bridge, chronyd])
        offset = reach[2]
        if not OUTPUT_DELAY - 0.002 <= offset <= OUTPUT_DELAY + LOOSE_ABOVE:
            raise Failure(f"chronyd measured an offset of {offset:.4f} s; the unit's output delay is {OUTPUT_DELAY:.4f} s")
        stats = chronyc(control, "sourcestats")
        if not stats or not OUTPUT_DELAY - 0.002 <= float(stats[6]) <= OUTPUT_DELAY + LOOSE_ABOVE:
            raise Failure(f"chronyd's mean offset is not the unit's output delay: {stats}")
        print(f"chronyd reached the refclock on every poll (377); offset {offset * 1e3:.1f} ms, mean "
              f"{float(stats[6]) * 1e3:.1f} ms, spread {float(stats[7]) * 1e3:.2f} ms; output delay {OUTPUT_DELAY * 1e3:.1f} ms")
        # The bridge's own figures: samples taken, none refused since chronyd listens, the last offset
        # as chronyd measures it, taken within the last seconds.
        values = bridge_metrics(bridge)
        sent = figure(values, "tamrik_bridge_samples_sent_total", to="chronyd", path=socket_path)
        before_chronyd = figure(values, "tamrik_bridge_samples_not_taken_total", to="chronyd")
        made = figure(values, "tamrik_bridge_samples_made_total", unit="SIM001")
        last = figure(values, "tamrik_bridge_last_offset_seconds", to="chronyd")
        taken_at = figure(values, "tamrik_bridge_last_taken_timestamp_seconds", to="chronyd")
        if not (sent >= 30 and before_chronyd >= 1 and sent + before_chronyd == made):
            raise Failure(f"the bridge's figures: {sent} sent, {before_chronyd} not taken, {made} made")
        if not OUTPUT_DELAY - 0.002 <= -last <= OUTPUT_DELAY + LOOSE_ABOVE or abs(time.time() - taken_at) > 5:
            raise Failure(f"the bridge's last offset {last} s taken at {taken_at} (now {time.time()})")
        if figure(values, "tamrik_bridge_epoch_rhythm_known", unit="SIM001") != 1:
            raise Failure("the bridge's figures say it does not know the receiver's rhythm")
        print(f"the bridge's figures: {sent:.0f} samples sent, {before_chronyd:.0f} before chronyd listened, "
              f"last offset {last * 1e3:.1f} ms")

        # chronyd restarted: the bridge says once that it waits, then chronyd has samples again.
        if Processes.stop(chronyd) != 0:
            raise Failure(f"chronyd ended with {chronyd.returncode}: {chronyd.err[-5:]}")
        wait_until("second waiting line", lambda: len(log_lines(bridge, "waiting for chronyd")) == 2, 20, [bridge])
        if figure(bridge_metrics(bridge), "tamrik_bridge_samples_not_taken_total", to="chronyd") <= before_chronyd:
            wait_until("samples not taken counted", lambda: figure(bridge_metrics(bridge), "tamrik_bridge_samples_not_taken_total",
                                                                   to="chronyd") > before_chronyd, 5, [bridge])
        chronyd = ps.start(chronyd_argv)
        wait_until("sample in the restarted chronyd", lambda: (source(control) or ("0",))[0] != "0", 40, [bridge, chronyd])
        if len(log_lines(bridge, "takes the time samples")) != 2 or len(log_lines(bridge, "waiting for chronyd")) != 2:
            raise Failure(f"the bridge's lines about chronyd: {bridge.err}")

        # The unit away: a poll without samples; back: samples again once its receiver has its time.
        wait_until("unit lost", lambda: log_lines(bridge, "lost;"), UNPLUG_MS / 1000 + 60 - (time.monotonic() - started),
                   [bridge, chronyd])
        away = wait_until("poll without samples", lambda: (s := source(control)) and int(s[0], 8) & 1 == 0 and s, 30,
                          [bridge, chronyd])
        wait_until("unit back", lambda: log_lines(bridge, "is back"), 30, [bridge, chronyd])
        back = wait_until("sample after the unit came back",
                          lambda: (s := source(control)) and int(s[0], 8) & 1 and s[1] <= 2 ** POLL and s, 40,
                          [bridge, chronyd])
        if not OUTPUT_DELAY - 0.002 <= back[2] <= OUTPUT_DELAY + LOOSE_ABOVE:
            raise Failure(f"after the unit came back chronyd measured {back[2]:.4f} s")
        if not receiver_bytes(link):
            raise Failure(f"no NAV-PVT came through {link} after the unit came back")
        print(f"unit away: reach {away[0]}; back: reach {back[0]}, offset {back[2] * 1e3:.1f} ms, NAV-PVT through {link}")

        for p in (chronyd, bridge):
            if Processes.stop(p) != 0:
                raise Failure(f"{p.args[0]} ended with {p.returncode}: {p.err[-5:]}")
        if os.path.lexists(link):
            raise Failure(f"{link} is still there")
    print("the bridge said, in order: " + " | ".join(l.removeprefix("tamrikctl receiver: ") for l in bridge.err))
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    args = parser.parse_args()
    missing = [t for t in ("chronyd", "chronyc") if shutil.which(t) is None]
    if missing:
        if os.environ.get("CI") == "true":
            print(f"FAIL: {', '.join(missing)} missing under CI (Debian package chrony, from setup.sh)")
            return 1
        print(f"SKIP: {', '.join(missing)} not installed (Debian package chrony)")
        return SKIP
    # chronyd wants the folder of its command socket closed to others, as mkdtemp makes it.
    return in_own_folder(check, args, "tamrik-chrony-")


if __name__ == "__main__":
    sys.exit(main())
