#!/usr/bin/env python3
"""Runs `tamrikctl --simulate=1 receiver --ntp-shm N` with the real ntpd of Debian's ntpsec.

ntpsec is never installed (as a package it conflicts with chrony): tools/fetch-ntpsec, run by
setup.sh, keeps its .deb (and any library it needs that the system lacks) in a folder, and this
check unpacks them into its own temporary folder. That ntpd runs in the foreground with a private
configuration: only the SHM refclock of a free unit from 100 to 199, no server, `disable ntp` and
`disable kernel`, in a network namespace of its own with nothing but a loopback interface that is
down, and without CAP_SYS_TIME (ntpd must be started as root, so the capability is taken from its
bounding set), so that it can never touch this machine's clock. Its peerstats go to the temporary
folder.

The bridge starts first and makes the segment; it says that ntpd leaves the samples untaken; then
ntpd attaches to it, the bridge says ntpd takes them, and ntpd's peerstats show the SHM source's
offset for three polls within the simulated unit's calibrated window (the one the chrony check
uses, with ntpd's sign: ntpd's offset is the receiver's time minus the stamp). ntpd must not have
refused a sample as stale or out of bounds.

Exit status 0 when every check held, 1 otherwise, 77 (skip) when ntpd cannot run here (outside
CI). Every process started is stopped (ntpd by the PID it wrote, as it may outlive its wrappers),
every wait is bounded, and the segment is removed at the end.
"""
import argparse
import glob
import os
import shutil
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bridge_chrony_check import LOOSE_ABOVE, OUTPUT_DELAY, bridge_metrics, figure, log_lines, wait_until  # noqa: E402
from bridge_program_check import SKIP, Failure, Processes, in_own_folder, shm_segments  # noqa: E402

KEY_BASE = 0x4E545030
UNITS = range(100, 200)
POLL = 3  # ntpd polls the refclock every 8 s; it reads the segment every second whatever the poll
POLLS = 3
CAP_SYS_TIME = 25


def unpack(debs, root):
    """ntpd from the .deb files in debs, unpacked under root, and the library folders it needs."""
    packages = sorted(glob.glob(os.path.join(debs, "*.deb")))
    for deb in packages:
        subprocess.run(["dpkg", "-x", deb, root], check=True, capture_output=True, timeout=60)
    ntpd = os.path.join(root, "usr", "sbin", "ntpd")
    if not os.access(ntpd, os.X_OK):
        raise Failure(f"no usr/sbin/ntpd in {', '.join(map(os.path.basename, packages))}")
    libraries = [d for d in glob.glob(os.path.join(root, "usr", "lib", "*")) + glob.glob(os.path.join(root, "lib", "*"))
                 if glob.glob(os.path.join(d, "*.so*"))]
    return ntpd, libraries


def peerstats(path, unit):
    """The offsets, in seconds, of the refclock's lines in ntpd's peerstats."""
    if not os.path.exists(path):
        return []
    names = (f"SHM({unit})", f"127.127.28.{unit}")
    with open(path) as f:
        return [float(fields[4]) for fields in (line.split() for line in f) if len(fields) >= 8 and fields[2] in names]


def refusals(log, unit):
    """What ntpd logged about the unit: only samples it refused (stale, out of bounds, clashes)."""
    if not os.path.exists(log):
        return []
    with open(log) as f:
        return [line.strip() for line in f if f"SHM({unit})" in line]


def stop_by_pid(pidfile):
    """Ends the process whose PID ntpd wrote: SIGTERM, at most 10 s, then SIGKILL."""
    try:
        pid = int(open(pidfile).read().split()[0])
    except (OSError, ValueError, IndexError):
        return
    for sig, wait in ((signal.SIGTERM, 10), (signal.SIGKILL, 5)):
        try:
            os.kill(pid, sig)
        except ProcessLookupError:
            return
        deadline = time.monotonic() + wait
        while time.monotonic() < deadline:
            if not os.path.exists(f"/proc/{pid}") or open(f"/proc/{pid}/stat").read().split()[2] == "Z":
                return
            time.sleep(0.1)


def check(args, tmp):
    ntpd, libraries = unpack(args.debs, os.path.join(tmp, "ntpsec"))
    used = shm_segments()
    unit = next((u for u in UNITS if KEY_BASE + u not in used), None)
    if unit is None:
        raise Failure(f"every NTP shared memory unit from {UNITS[0]} to {UNITS[-1]} is taken")
    key = KEY_BASE + unit
    stats = os.path.join(tmp, "stats") + "/"
    os.mkdir(stats)
    conf = os.path.join(tmp, "ntp.conf")
    with open(conf, "w") as f:
        f.write(f"refclock shm unit {unit} refid TMRK minpoll {POLL} maxpoll {POLL}\n"
                "disable ntp\ndisable kernel\n"
                f"statsdir {stats}\nstatistics peerstats\nfilegen peerstats file peerstats type none enable\n")
    pidfile = os.path.join(tmp, "ntpd.pid")
    log = os.path.join(tmp, "ntpd.log")
    # Each of env, unshare and setpriv runs the next in its own place: ntpd keeps the process.
    ntpd_argv = ["env", "LD_LIBRARY_PATH=" + ":".join(libraries), "unshare", "--net",
                 "setpriv", "--bounding-set=-sys_time", "--inh-caps=-all", "--no-new-privs",
                 ntpd, "-n", "-c", conf, "-p", pidfile, "-l", log]
    try:
        with Processes() as ps:
            bridge = ps.start([args.program, "--simulate=1", "receiver", "--ntp-shm", str(unit), "--metrics", "127.0.0.1:0"])
            # Alone, the bridge makes the segment, open to every user, and says that nobody takes
            # the samples once the receiver has its time.
            wait_until("line that ntpd leaves the samples untaken", lambda: log_lines(bridge, "waiting for ntpd"), 60,
                       [bridge])
            ipcs = subprocess.run(["ipcs", "-m"], capture_output=True, text=True, timeout=10).stdout
            made = [line.split() for line in ipcs.splitlines() if line.startswith(f"0x{key:08x}")]
            if not made or made[0][3] != "666" or made[0][4] != "96":
                raise Failure(f"the bridge's segment for unit {unit}: {made}")

            ntpd_process = ps.start(ntpd_argv)
            pid = int(wait_until("ntpd's PID file", lambda: os.path.exists(pidfile) and open(pidfile).read().strip(),
                                 20, []))
            capabilities = next(l for l in open(f"/proc/{pid}/status") if l.startswith("CapEff:"))
            if int(capabilities.split()[1], 16) & (1 << CAP_SYS_TIME):
                stop_by_pid(pidfile)
                raise Failure(f"ntpd runs with CAP_SYS_TIME ({capabilities.strip()}); it was stopped at once")
            wait_until("line that ntpd takes the samples", lambda: log_lines(bridge, "ntpd takes the time samples"), 20,
                       [bridge, ntpd_process])
            try:
                offsets = wait_until(f"{POLLS} polls of the SHM source in ntpd's peerstats",
                                     lambda: len(o := peerstats(stats + "peerstats", unit)) >= POLLS and o,
                                     (POLLS + 3) * 2 ** POLL + 30, [bridge, ntpd_process])
            except Failure as e:
                raise Failure(f"{e}; ntpd said about the unit: {refusals(log, unit)[:3]}") from None
            # The bridge counts as taken what ntpd took, with the offset ntpd saw; before ntpd came,
            # nothing.
            values = bridge_metrics(bridge)
            taken = figure(values, "tamrik_bridge_samples_sent_total", to="ntpd")
            last = figure(values, "tamrik_bridge_last_offset_seconds", to="ntpd")
            if taken < POLLS or not OUTPUT_DELAY - 0.002 <= -last <= OUTPUT_DELAY + LOOSE_ABOVE:
                raise Failure(f"the bridge's figures: {taken:.0f} samples taken by ntpd, the last offset {last:.4f} s")
            stop_by_pid(pidfile)
            if Processes.stop(bridge) != 0:
                raise Failure(f"tamrikctl ended with {bridge.returncode}: {bridge.err[-5:]}")
    finally:
        stop_by_pid(pidfile)
        if key in shm_segments():
            subprocess.run(["ipcrm", "-M", str(key)], capture_output=True, timeout=10)

    refused = refusals(log, unit)
    if refused:
        raise Failure(f"ntpd refused samples: {refused[:3]}")
    delays = [-o for o in offsets]
    if not all(OUTPUT_DELAY - 0.002 <= d <= OUTPUT_DELAY + LOOSE_ABOVE for d in delays):
        raise Failure(f"ntpd's offsets {offsets}; the unit's output delay is {OUTPUT_DELAY:.4f} s")
    print(f"ntpd took the samples of NTP shared memory unit {unit}: offsets "
          f"{', '.join(f'{o * 1e3:.1f}' for o in offsets)} ms over {len(offsets)} polls; output delay "
          f"{OUTPUT_DELAY * 1e3:.1f} ms")
    print("the bridge said, in order: " + " | ".join(l.removeprefix("tamrikctl receiver: ") for l in bridge.err))
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    cache = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    parser.add_argument("--debs",
                        default=os.environ.get("TAMRIK_NTPSEC_DEBS") or os.path.join(cache, "tamrik-config", "ntpsec"),
                        help="the folder tools/fetch-ntpsec filled (default: $TAMRIK_NTPSEC_DEBS, or setup.sh's)")
    args = parser.parse_args()
    reasons = []
    if not glob.glob(os.path.join(args.debs, "ntpsec_*.deb")):
        reasons.append(f"no ntpsec package in {args.debs} (tools/fetch-ntpsec, which ./setup.sh test runs, "
                       "puts it there)")
    if os.geteuid() != 0:
        reasons.append("ntpd runs as root only (it is kept from the clock by its capabilities)")
    missing = [t for t in ("dpkg", "unshare", "setpriv", "ipcs", "ipcrm") if shutil.which(t) is None]
    if missing:
        reasons.append(f"{', '.join(missing)} missing")
    elif os.geteuid() == 0 and subprocess.run(["unshare", "--net", "true"], capture_output=True, timeout=30).returncode:
        reasons.append("no network namespace of its own can be made here (unshare --net)")
    if reasons:
        if os.environ.get("CI") == "true":
            print(f"FAIL: under CI: {'; '.join(reasons)}")
            return 1
        print(f"SKIP: {'; '.join(reasons)}")
        return SKIP
    return in_own_folder(check, args, "tamrik-ntpsec-")


if __name__ == "__main__":
    sys.exit(main())
