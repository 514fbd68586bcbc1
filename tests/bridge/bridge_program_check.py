#!/usr/bin/env python3
"""Runs `tamrikctl --simulate=1 --replay CAPTURE receiver --pty PATH` as a user would and reads
what comes out of PATH.

  stream  replay as fast as read: PATH gives exactly the capture's bytes (then the zeros that pad
          the last, partial report); a stale link at PATH is replaced; SIGTERM takes it away and
          the program exits 0.
  gpsd    replay at the line rate, the real gpsd reading PATH (a pseudo-terminal, then a named
          pipe): it finds the u-blox driver and reports the capture's NAV-PVT time, latitude and
          longitude, decoded here independently of the program; through the pipe it also puts the
          time into its shared memory for chrony (ntpshmmon shows it).

Exit status 0 when every check held, 1 otherwise, 77 (skip) when the capture is absent outside CI
or, for gpsd, when gpsd cannot run here. Every process started is stopped, every wait is bounded,
only the loopback interface is used and the machine's clock is never touched.
"""
import argparse
import calendar
import json
import os
import pwd
import re
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

SKIP = 77


class Failure(Exception):
    pass


def nav_pvt(data):
    """{UTC in ns: (lat, lon in 1e-7 degrees)} of every NAV-PVT with a good checksum and a valid
    date and time."""
    fixes, i = {}, 0
    while i + 8 <= len(data):
        end = i + 8 + (data[i + 4] | data[i + 5] << 8)
        if data[i:i + 2] != b"\xb5\x62" or end > len(data):
            i += 1
            continue
        a = b = 0
        for byte in data[i + 2:end - 2]:
            a = (a + byte) & 0xFF
            b = (b + a) & 0xFF
        if (a, b) != (data[end - 2], data[end - 1]):
            i += 1
            continue
        p = data[i + 6:end - 2]
        if data[i + 2:i + 4] == b"\x01\x07" and len(p) >= 84:
            year, month, day, hour, minute, second, valid = struct.unpack_from("<HBBBBBB", p, 4)
            nano, = struct.unpack_from("<i", p, 16)
            lon, lat = struct.unpack_from("<ii", p, 24)
            if valid & 0x03 == 0x03:
                fixes[calendar.timegm((year, month, day, hour, minute, second)) * 10**9 + nano] = (lat, lon)
        i = end
    return fixes


def iso_ms(ns):
    """A time as gpsd writes it in JSON: milliseconds, rounded half up."""
    seconds, fraction = divmod(ns, 10**9)
    if fraction > 999499999:
        seconds, fraction = seconds + 1, 0
    return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(seconds)) + ".%03dZ" % ((fraction + 500000) // 10**6)


class Processes:
    """Starts processes whose output lines are collected; stops every one of them at the end."""

    def __init__(self):
        self.all = []

    def start(self, argv):
        p = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        p.out, p.err = [], []
        for stream, lines in ((p.stdout, p.out), (p.stderr, p.err)):
            threading.Thread(target=lambda s=stream, l=lines: [l.append(x.decode("utf-8", "replace").rstrip("\n"))
                                                               for x in iter(s.readline, b"")], daemon=True).start()
        self.all.append(p)
        return p

    @staticmethod
    def stop(p, sig=signal.SIGTERM):
        """Sends sig, waits at most 10 s (then kills) and returns the exit status."""
        if p.poll() is None:
            p.send_signal(sig)
            try:
                p.wait(10)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait(10)
                raise Failure(f"{p.args[0]} did not end within 10 s of signal {sig}")
        time.sleep(0.1)  # its last lines
        return p.returncode

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        for p in reversed(self.all):
            if p.poll() is None:
                p.kill()
                p.wait(10)


def wait_for_link(path, bridge, timeout=15):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if os.path.islink(path) and os.path.exists(path):
            return os.readlink(path)
        if bridge.poll() is not None:
            raise Failure(f"tamrikctl ended with {bridge.returncode} before making {path}: {bridge.err}")
        time.sleep(0.02)
    raise Failure(f"{path} did not appear within {timeout} s")


def check_stream(args, tmp):
    capture = open(args.capture, "rb").read()
    link = os.path.join(tmp, "gps0")
    os.symlink("/dev/pts/9999", link)  # left by a run that was killed
    with Processes() as ps:
        bridge = ps.start([args.program, "--simulate=1", "--replay-fast", "--replay", args.capture,
                           "receiver", "--pty", link])
        target = wait_for_link(link, bridge)
        fd = os.open(link, os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK)
        got = bytearray()
        # Until the whole capture came, then half a second more: the unit pads its last, partial
        # report with zeros, and nothing else may follow.
        deadline, quiet = time.monotonic() + 60, None
        while time.monotonic() < (quiet or deadline):
            if select.select([fd], [], [], 0.1)[0]:
                got += os.read(fd, 65536)
            if quiet is None and len(got) >= len(capture):
                quiet = time.monotonic() + 0.5
        os.close(fd)
        status = Processes.stop(bridge)
    if got[:len(capture)] != capture:
        first = next((i for i, (a, b) in enumerate(zip(got, capture)) if a != b), min(len(got), len(capture)))
        raise Failure(f"read {len(got)} bytes; they differ from the capture's {len(capture)} at byte {first}")
    padding = got[len(capture):]
    if padding.strip(b"\0") or len(padding) >= 62:
        raise Failure(f"after the capture came {len(padding)} more bytes: {padding[:80]!r}")
    if status != 0 or os.path.lexists(link):
        raise Failure(f"after SIGTERM: exit status {status}, {link} still there: {os.path.lexists(link)}")
    if not target.startswith("/dev/pts/") or len(bridge.err) != 1 or f"go to {link} ({target})" not in bridge.err[0]:
        raise Failure(f"{link} pointed to {target}; tamrikctl wrote {bridge.err}")
    print(f"{os.path.basename(args.capture)}: {len(capture)} bytes through {target} as they are, "
          f"then {len(padding)} zeros of padding; SIGTERM took {link} away")


# --- with gpsd -------------------------------------------------------------------------------

SHM_KEYS = [0x4E545030 + unit for unit in range(2, 8)] + [0x47505344]  # NTP2..NTP7, gpsd's export


def shm_segments():
    """{key: attached processes} of the System V shared memory segments."""
    out = subprocess.run(["ipcs", "-m"], capture_output=True, text=True, timeout=10).stdout
    return {int(f[0], 16): int(f[5]) for f in (l.split() for l in out.splitlines())
            if len(f) >= 6 and f[0].startswith("0x")}


def gpsd_run(tmp, kind, fixes, user, want):
    """The bridge, gpsd, gpspipe and ntpshmmon for one kind of device; checks what gpsd reports."""
    link = os.path.join(tmp, f"gps-{kind}")
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    started = time.time()
    with Processes() as ps:
        bridge = ps.start(user + [os.path.join(tmp, "tamrikctl"), "--simulate=1", "--replay",
                                  os.path.join(tmp, "capture.ubx"), "receiver", f"--{kind}", link])
        wait_for_link(link, bridge)
        gpsd = ps.start(user + ["gpsd", "-N", "-n", "-b", "-S", str(port), "-F", os.path.join(tmp, f"{kind}.sock"), link])
        shm = ps.start(["ntpshmmon", "-t", "100"])
        pipe = None
        for _ in range(50):  # until gpsd listens
            time.sleep(0.2)
            pipe = ps.start(["gpspipe", "-w", f"127.0.0.1:{port}"])
            time.sleep(0.3)
            if pipe.poll() is None:
                break

        def reports():
            tpv = [json.loads(l) for l in list(pipe.out) if '"class":"TPV"' in l]
            samples = []  # the receiver's times of the samples that came since the start, in ns
            for f in (l.split() for l in list(shm.out)):
                if len(f) >= 5 and f[0] == "sample" and float(f[3]) >= started:
                    seconds, fraction = f[4].split(".")
                    samples.append(int(seconds) * 10**9 + int(fraction.ljust(9, "0")[:9]))
            return [t for t in tpv if "time" in t], samples

        deadline = time.monotonic() + 90
        while time.monotonic() < deadline and gpsd.poll() is None and bridge.poll() is None:
            tpv, samples = reports()
            if len(tpv) >= want and (kind == "pty" or len(samples) >= want):
                break
            time.sleep(0.2)
        tpv, samples = reports()
        devices = []  # a device gpsd knew before gpspipe came is listed in its DEVICES record
        for record in (json.loads(l) for l in list(pipe.out) if '"class":"DEVICE' in l):
            devices += record.get("devices", [record])
        for p in (pipe, shm, gpsd):
            Processes.stop(p)
        if Processes.stop(bridge) != 0 or os.path.lexists(link):
            raise Failure(f"tamrikctl: exit {bridge.returncode}, {link} left: {os.path.lexists(link)}; {bridge.err}")

    if not any(d.get("driver") == "u-blox" and d.get("path") == link for d in devices):
        raise Failure(f"gpsd did not report the u-blox driver on {link}: {devices}; gpsd wrote {gpsd.err[-5:]}")
    by_time = {iso_ms(ns): fix for ns, fix in fixes.items()}
    for t in tpv:
        if t["time"] not in by_time:
            raise Failure(f"gpsd reported a time that no NAV-PVT of the capture holds: {t}")
        lat, lon = by_time[t["time"]]
        if abs(t.get("lat", 0) - lat * 1e-7) > 5e-10 or abs(t.get("lon", 0) - lon * 1e-7) > 5e-10:
            raise Failure(f"TPV {t['time']} at {t.get('lat')}, {t.get('lon')}; the NAV-PVT says {lat}e-7, {lon}e-7")
    if len(tpv) < want:
        raise Failure(f"gpsd reported {len(tpv)} times and positions, expected {want}; gpsd wrote {gpsd.err[-5:]}")
    # Within a microsecond: gpsd may take the fraction of the second from NAV-TIMEGPS, which the
    # receiver rounds a nanosecond apart from NAV-PVT's.
    for ns in samples:
        if not any(abs(ns - t) <= 1000 for t in fixes):
            raise Failure(f"a time sample in gpsd's shared memory, {ns} ns, is no NAV-PVT time of the capture")
    if kind == "fifo" and len(samples) < want:
        raise Failure(f"{len(samples)} time samples in gpsd's shared memory, expected {want}: {shm.out}")
    return len(tpv), len(samples)


def gpsd_version():
    """gpsd's version as (major, minor), from `gpsd -V` ("gpsd: 3.25 (revision 3.25)")."""
    result = subprocess.run(["gpsd", "-V"], capture_output=True, text=True, timeout=30)
    found = re.search(r"(\d+)\.(\d+)", result.stdout + result.stderr)
    if not found:
        raise Failure(f"gpsd -V does not tell its version: {result.stdout!r} {result.stderr!r}")
    return int(found.group(1)), int(found.group(2))


def check_gpsd(args, tmp):
    for tool in ("gpsd", "gpspipe", "ntpshmmon", "ipcs", "ipcrm"):
        if shutil.which(tool) is None:
            print(f"SKIP: {tool} is not installed (Debian packages gpsd, gpsd-clients, gpsd-tools)")
            return SKIP
    # Started as root, gpsd takes shared memory units 0 and 1, the ones chrony and ntpd watch: here
    # it runs as nobody and takes units 2 to 7; so does the bridge, which needs no rights at all.
    user = []
    if os.geteuid() == 0:
        if shutil.which("setpriv") is None:
            print("SKIP: running as root without setpriv, gpsd would take shared memory units 0 and 1")
            return SKIP
        nobody = pwd.getpwnam("nobody")
        user = ["setpriv", f"--reuid={nobody.pw_uid}", f"--regid={nobody.pw_gid}", "--clear-groups"]
        os.chown(tmp, nobody.pw_uid, nobody.pw_gid)
    before = shm_segments()
    busy = [hex(k) for k in SHM_KEYS if before.get(k, 0) > 0]
    if busy:
        print(f"SKIP: shared memory segments {busy} are in use (a running gpsd or chrony); this test's gpsd "
              "would write into them")
        return SKIP
    # Copies that user can read, wherever the build tree and the captures are.
    for source, name in ((args.program, "tamrikctl"), (args.capture, "capture.ubx")):
        shutil.copy(source, os.path.join(tmp, name))
        os.chmod(os.path.join(tmp, name), 0o755)

    fixes = nav_pvt(open(args.capture, "rb").read())
    want = min(4, len(fixes) - 2)
    if want < 1:
        raise Failure(f"{args.capture} holds {len(fixes)} NAV-PVT with a valid time")
    try:
        tpv, samples = gpsd_run(tmp, "pty", fixes, user, want)
        print(f"pseudo-terminal: gpsd found the u-blox driver and reported {tpv} times and positions equal to "
              f"the capture's NAV-PVT; {samples} time samples in shared memory (none from a pseudo-terminal)")
        version = gpsd_version()
        if version >= (3, 24):
            print(f"SKIP: the named pipe's time samples: gpsd {'.'.join(map(str, version))} puts no time from a "
                  "pipe or pseudo-terminal into shared memory (3.24 and later); the pseudo-terminal part passed")
            return SKIP
        tpv, samples = gpsd_run(tmp, "fifo", fixes, user, want)
        print(f"named pipe: gpsd reported {tpv} times and positions equal to the capture's NAV-PVT and put "
              f"{samples} of those times into shared memory")
    finally:
        # The segments gpsd made stay after it ends: take away those that were not there before.
        for key in set(shm_segments()) & set(SHM_KEYS) - set(before):
            subprocess.run(["ipcrm", "-M", str(key)], capture_output=True, timeout=10)
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--capture", required=True)
    parser.add_argument("check", choices=["stream", "gpsd"])
    args = parser.parse_args()
    if not os.path.isfile(args.capture):
        if os.environ.get("CI") == "true":
            print(f"FAIL: receiver capture missing under CI: {args.capture}")
            return 1
        print(f"SKIP: receiver capture not available: {args.capture}")
        return SKIP
    return in_own_folder({"stream": check_stream, "gpsd": check_gpsd}[args.check], args, "tamrik-bridge-")


def in_own_folder(check, args, prefix):
    """Runs check(args, folder) in a temporary folder of its own, open to its owner alone, which
    is taken away after it: its exit status, 1 with the reason on a Failure."""
    tmp = tempfile.mkdtemp(prefix=prefix)
    try:
        return check(args, tmp) or 0
    except Failure as e:
        print(f"FAIL: {e}")
        return 1
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
