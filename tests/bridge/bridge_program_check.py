#!/usr/bin/env python3
"""Runs `tamrikctl --simulate=1 --replay CAPTURE receiver --pty PATH` as a user would and reads
what comes out of PATH.

  stream  replay as fast as read: PATH gives exactly the capture's bytes (then the zeros that pad
          the last, partial report); a stale link at PATH is replaced; SIGTERM takes it away and
          the program exits 0.
  faults  replay at the line rate, the unit unplugged and plugged back in meanwhile: the reader
          sees a pause, never an end, and then more of the capture, in order; SIGINT ends it.
  gpsd    the real gpsd reads PATH (a pseudo-terminal, then a named pipe): it finds the u-blox
          driver and reports the capture's NAV-PVT time, latitude and longitude, decoded here
          independently of the program; through the pipe it also hands the time to its shared
          memory for chrony (ntpshmmon shows it).

Exit status 0 when every check held, 1 otherwise, 77 (skip) when the capture is absent outside CI
or, for gpsd, when gpsd cannot run here. Every process started is stopped; every wait is bounded;
only the loopback interface is used; the machine's clock is never touched.
"""
import argparse
import calendar
import errno
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
REPORT_BYTES = 62  # receiver bytes in one input report


class Failure(Exception):
    pass


def frames(data):
    """(class, id, payload) of every UBX frame whose 8-bit Fletcher checksum is good."""
    i, n = 0, len(data)
    while i + 8 <= n:
        if data[i] != 0xB5 or data[i + 1] != 0x62:
            i += 1
            continue
        end = i + 8 + (data[i + 4] | data[i + 5] << 8)
        if end > n:
            i += 1
            continue
        a = b = 0
        for byte in data[i + 2:end - 2]:
            a = (a + byte) & 0xFF
            b = (b + a) & 0xFF
        if (a, b) == (data[end - 2], data[end - 1]):
            yield data[i + 2], data[i + 3], data[i + 6:end - 2]
            i = end
        else:
            i += 1


def nav_pvt(data):
    """{UTC in ns: (lat, lon in 1e-7 degrees)} of every NAV-PVT with a valid date and time."""
    fixes = {}
    for cls, mid, p in frames(data):
        if cls != 0x01 or mid != 0x07 or len(p) < 84:
            continue
        year, month, day, hour, minute, second, valid = struct.unpack_from("<HBBBBBB", p, 4)
        nano, = struct.unpack_from("<i", p, 16)
        lon, lat = struct.unpack_from("<ii", p, 24)
        if valid & 0x03 == 0x03:
            seconds = calendar.timegm((year, month, day, hour, minute, second, 0, 0, 0))
            fixes[seconds * 10**9 + nano] = (lat, lon)
    return fixes


def iso_ms(ns):
    """A time as gpsd writes it in JSON: milliseconds, rounded half up."""
    seconds, fraction = divmod(ns, 10**9)
    if fraction > 999499999:
        seconds, fraction = seconds + 1, 0
    return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(seconds)) + ".%03dZ" % ((fraction + 500000) // 10**6)


def runs_of(got, capture):
    """Splits what was read into stretches of the capture, each after the one before, or fails."""
    runs, pos, cpos = [], 0, 0
    while pos < len(got):
        probe = got[pos:pos + 64]
        start = capture.find(probe, cpos)
        if start < 0:
            raise Failure(f"bytes {pos}..{pos + len(probe)} of what was read are not the capture's next bytes")
        k = 0
        while pos + k < len(got) and start + k < len(capture) and got[pos + k] == capture[start + k]:
            k += 1
        runs.append((start, k))
        pos, cpos = pos + k, start + k
    return runs


class Program:
    """A process whose standard error is collected line by line."""

    def __init__(self, argv, **kwargs):
        self.argv = argv
        self.proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kwargs)
        self.lines, self.out = [], []
        self._threads = [threading.Thread(target=self._collect, args=(self.proc.stderr, self.lines), daemon=True),
                         threading.Thread(target=self._collect, args=(self.proc.stdout, self.out), daemon=True)]
        for t in self._threads:
            t.start()

    @staticmethod
    def _collect(stream, into):
        for line in iter(stream.readline, b""):
            into.append(line.decode("utf-8", "replace").rstrip("\n"))

    def stop(self, sig=signal.SIGTERM, timeout=10):
        """Sends sig and waits; kills when it does not end. Returns the exit status."""
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(10)
                raise Failure(f"{self.argv[0]} did not end within {timeout} s of signal {sig}")
        for t in self._threads:
            t.join(5)
        return self.proc.returncode


class Processes:
    """Every process a check starts, stopped at the end whatever happens."""

    def __init__(self):
        self.all = []

    def start(self, argv, **kwargs):
        p = Program(argv, **kwargs)
        self.all.append(p)
        return p

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        for p in reversed(self.all):
            if p.proc.poll() is None:
                p.proc.kill()
                p.proc.wait(10)


def wait_for_link(path, program, timeout=15):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        target = os.readlink(path) if os.path.islink(path) else ""
        if target and os.path.exists(path):
            return target
        if program.proc.poll() is not None:
            raise Failure(f"tamrikctl ended with {program.proc.returncode} before making {path}: {program.lines}")
        time.sleep(0.02)
    raise Failure(f"{path} did not appear within {timeout} s")


def read_until(fd, enough, timeout, hangups):
    """Reads fd (non-blocking) until enough(data) or the timeout; counts ends and errors."""
    data = bytearray()
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline and not enough(data):
        ready, _, _ = select.select([fd], [], [], 0.1)
        if not ready:
            continue
        try:
            chunk = os.read(fd, 65536)
        except BlockingIOError:
            continue
        except OSError as e:
            hangups.append(errno.errorcode.get(e.errno, str(e.errno)))
            time.sleep(0.05)
            continue
        if not chunk:
            hangups.append("end of file")
            time.sleep(0.05)
            continue
        data += chunk
    return data


def check_stream(args, tmp):
    capture = open(args.capture, "rb").read()
    link = os.path.join(tmp, "gps0")
    os.symlink("/dev/pts/no-such-terminal", link)  # left by a run that was killed
    with Processes() as ps:
        bridge = ps.start([args.program, "--simulate=1", "--replay-fast", "--replay", args.capture,
                           "receiver", "--pty", link])
        target = wait_for_link(link, bridge)
        if not target.startswith("/dev/pts/"):
            raise Failure(f"{link} points to {target}")
        fd = os.open(link, os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK)
        hangups = []
        got = read_until(fd, lambda d: len(d) >= len(capture), 60, hangups)
        # The unit pads its last, partial report with zeros; nothing else may follow.
        got += read_until(fd, lambda d: False, 0.5, hangups)
        os.close(fd)
        if got[:len(capture)] != capture:
            first = next((i for i, (a, b) in enumerate(zip(got, capture)) if a != b), min(len(got), len(capture)))
            raise Failure(f"read {len(got)} bytes; they differ from the capture's {len(capture)} at byte {first}")
        padding = got[len(capture):]
        if padding.strip(b"\0") or len(padding) >= REPORT_BYTES:
            raise Failure(f"after the capture came {len(padding)} more bytes: {padding[:80]!r}")
        if hangups:
            raise Failure(f"the reader saw {hangups}")
        status = bridge.stop(signal.SIGTERM)
        if status != 0:
            raise Failure(f"tamrikctl exited with {status} after SIGTERM: {bridge.lines}")
        if os.path.lexists(link):
            raise Failure(f"{link} is still there after SIGTERM")
        if len(bridge.lines) != 1 or "receiver bytes go to " + link not in bridge.lines[0]:
            raise Failure(f"tamrikctl wrote: {bridge.lines}")
    print(f"{os.path.basename(args.capture)}: {len(capture)} bytes through {target} as they are, "
          f"then {len(padding)} zeros of padding; SIGTERM took {link} away")


def check_faults(args, tmp):
    capture = open(args.capture, "rb").read()
    link = os.path.join(tmp, "gps0")
    with Processes() as ps:
        bridge = ps.start([args.program, "--simulate=1", "--replay", args.capture,
                           "--sim-faults", "unplug:SIM001@1500,replug:SIM001@3000", "receiver", "--pty", link])
        wait_for_link(link, bridge)
        fd = os.open(link, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        hangups = []
        got = read_until(fd, lambda d: any("lost" in l for l in bridge.lines), 20, hangups)
        got += read_until(fd, lambda d: any("is back" in l for l in bridge.lines), 20, hangups)
        mark = len(got)
        got += read_until(fd, lambda d: len(d) >= mark + 1500, 20, hangups)
        os.close(fd)
        status = bridge.stop(signal.SIGINT)
        if status != 0:
            raise Failure(f"tamrikctl exited with {status} after SIGINT: {bridge.lines}")
        if os.path.lexists(link):
            raise Failure(f"{link} is still there after SIGINT")
    if hangups:
        raise Failure(f"the reader saw {hangups} while the unit was away")
    lost = [i for i, l in enumerate(bridge.lines) if "unit SIM001 lost" in l]
    back = [i for i, l in enumerate(bridge.lines) if l.endswith("unit SIM001 is back")]
    if len(lost) != 1 or len(back) != 1 or lost[0] > back[0]:
        raise Failure(f"tamrikctl wrote: {bridge.lines}")
    if len(got) < mark + 1500:
        raise Failure(f"only {len(got) - mark} bytes came after the unit was back")
    runs = runs_of(bytes(got), capture)
    # From the start; then, after the gap, what the unit's buffer held and what the line brought.
    if runs[0][0] != 0 or runs[0][1] < 1000 or len(runs) > 4:
        raise Failure(f"the bytes read are these stretches of the capture (start, length): {runs}")
    print(f"{len(got)} bytes read as {len(runs)} stretches of the capture {runs}, no end seen while the "
          f"unit was away; SIGINT took {link} away")


# --- with gpsd -------------------------------------------------------------------------------

SHM_KEYS = [0x4E545030 + unit for unit in range(2, 8)] + [0x47505344]  # NTP2..NTP7, gpsd's export


def shm_segments():
    """{key: attached processes} of the System V shared memory segments."""
    out = subprocess.run(["ipcs", "-m"], capture_output=True, text=True, timeout=10).stdout
    segments = {}
    for line in out.splitlines():
        fields = line.split()
        if len(fields) >= 6 and fields[0].startswith("0x"):
            segments[int(fields[0], 16)] = int(fields[5])
    return segments


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def gpsd_run(args, tmp, kind, fixes, user, want):
    """One run of bridge and gpsd; returns (TPV records matched, SHM samples matched)."""
    capture = os.path.join(tmp, "capture.ubx")
    program = os.path.join(tmp, "tamrikctl")
    link = os.path.join(tmp, f"gps-{kind}")
    port = free_port()
    started = time.time()
    with Processes() as ps:
        bridge = ps.start(user + [program, "--simulate=1", "--replay", capture, "receiver", f"--{kind}", link])
        wait_for_link(link, bridge)
        gpsd = ps.start(user + ["gpsd", "-N", "-n", "-b", "-S", str(port), "-F", os.path.join(tmp, f"gpsd-{kind}.sock"),
                                link])
        shm = ps.start(["ntpshmmon", "-t", "60"])
        pipe = None
        deadline = time.monotonic() + 20
        while pipe is None or (pipe.proc.poll() is not None and time.monotonic() < deadline):
            if gpsd.proc.poll() is not None:
                raise Failure(f"gpsd ended with {gpsd.proc.returncode}: {gpsd.lines}")
            time.sleep(0.2)
            pipe = ps.start(["gpspipe", "-w", f"127.0.0.1:{port}"])
            time.sleep(0.3)

        def matched():
            tpv = [json.loads(l) for l in list(pipe.out) if '"class":"TPV"' in l]
            samples = []
            for line in list(shm.out):
                f = line.split()
                if len(f) >= 5 and f[0] == "sample" and float(f[3]) >= started:
                    seconds, fraction = f[4].split(".")
                    samples.append(int(seconds) * 10**9 + int(fraction.ljust(9, "0")[:9]))
            return tpv, samples

        deadline = time.monotonic() + 90
        while time.monotonic() < deadline:
            tpv, samples = matched()
            if len([t for t in tpv if "lat" in t]) >= want and (kind == "pty" or len(samples) >= want):
                break
            if gpsd.proc.poll() is not None or bridge.proc.poll() is not None:
                break
            time.sleep(0.2)
        tpv, samples = matched()
        # A device gpsd identified before gpspipe came is listed in its DEVICES record.
        devices = []
        for record in (json.loads(l) for l in list(pipe.out) if '"class":"DEVICE' in l):
            devices += record.get("devices", [record])
        for p in (pipe, shm, gpsd):
            p.stop(signal.SIGTERM)
        status = bridge.stop(signal.SIGTERM)
        if status != 0 or os.path.lexists(link):
            raise Failure(f"tamrikctl: exit {status}, {link} left: {os.path.lexists(link)}; {bridge.lines}")

    if not any(d.get("driver") == "u-blox" and d.get("path") == link for d in devices):
        raise Failure(f"gpsd did not report the u-blox driver on {link}: {devices} {gpsd.lines[-5:]}")
    by_time = {iso_ms(ns): fix for ns, fix in fixes.items()}
    with_fix = [t for t in tpv if "lat" in t]
    for t in tpv:
        if "time" in t and t["time"] not in by_time:
            raise Failure(f"gpsd reported a time that no NAV-PVT of the capture holds: {t}")
    for t in with_fix:
        lat, lon = by_time[t["time"]]
        if abs(t["lat"] - lat * 1e-7) > 5e-10 or abs(t["lon"] - lon * 1e-7) > 5e-10:
            raise Failure(f"TPV {t['time']} at {t['lat']}, {t['lon']}; the NAV-PVT says {lat}e-7, {lon}e-7")
    if len(with_fix) < want:
        raise Failure(f"gpsd reported {len(with_fix)} positions, expected {want}; gpsd wrote {gpsd.lines[-5:]}")
    # Within a microsecond: gpsd may take the epoch's fraction of a second from NAV-TIMEGPS, which
    # the receiver rounds a nanosecond apart from NAV-PVT's.
    for ns in samples:
        if not any(abs(ns - t) <= 1000 for t in fixes):
            raise Failure(f"a time sample in gpsd's shared memory, {ns} ns, is no NAV-PVT time of the capture")
    if kind == "fifo" and len(samples) < want:
        raise Failure(f"{len(samples)} time samples in gpsd's shared memory, expected {want}: {shm.out}")
    return len(with_fix), len(samples)


def check_gpsd(args, tmp):
    for tool in ("gpsd", "gpspipe", "ntpshmmon", "ipcs", "ipcrm"):
        if shutil.which(tool) is None:
            print(f"SKIP: {tool} is not installed (Debian packages gpsd, gpsd-clients, gpsd-tools)")
            return SKIP
    # gpsd started as root takes shared memory units 0 and 1, the ones chrony and ntpd watch by
    # default: it runs as nobody here and takes units 2 to 7, and so does the bridge, which
    # needs no rights at all.
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
        print(f"SKIP: shared memory segments {busy} are in use by another program (a running gpsd or "
              "chrony); this test's gpsd would write into them")
        return SKIP
    # Copies the tests's users can read, wherever the build tree and the captures are.
    shutil.copy(args.program, os.path.join(tmp, "tamrikctl"))
    shutil.copy(args.capture, os.path.join(tmp, "capture.ubx"))
    for name in ("tamrikctl", "capture.ubx"):
        os.chmod(os.path.join(tmp, name), 0o755)

    fixes = nav_pvt(open(args.capture, "rb").read())
    want = min(4, len(fixes) - 2)
    if want < 1:
        raise Failure(f"{args.capture} holds {len(fixes)} NAV-PVT with a valid time")
    try:
        tpv, samples = gpsd_run(args, tmp, "pty", fixes, user, want)
        print(f"pseudo-terminal: gpsd found the u-blox driver and reported {tpv} positions and times "
              f"equal to the capture's NAV-PVT; {samples} time samples in shared memory "
              "(gpsd hands none on from a pseudo-terminal)")
        tpv, samples = gpsd_run(args, tmp, "fifo", fixes, user, want)
        print(f"named pipe: gpsd reported {tpv} positions and times equal to the capture's NAV-PVT "
              f"and put {samples} of those times into shared memory")
    finally:
        # The segments gpsd made stay after it ends; take away those that were not there before.
        for key in SHM_KEYS:
            if key in shm_segments() and key not in before:
                subprocess.run(["ipcrm", "-M", str(key)], capture_output=True, timeout=10)
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--capture", required=True)
    parser.add_argument("check", choices=["stream", "faults", "gpsd"])
    args = parser.parse_args()
    if not os.path.isfile(args.capture):
        if os.environ.get("CI") == "true":
            print(f"FAIL: receiver capture missing under CI: {args.capture}")
            return 1
        print(f"SKIP: receiver capture not available: {args.capture}")
        return SKIP
    tmp = tempfile.mkdtemp(prefix="tamrik-bridge-")
    try:
        result = {"stream": check_stream, "faults": check_faults, "gpsd": check_gpsd}[args.check](args, tmp)
        return result or 0
    except Failure as e:
        print(f"FAIL: {e}")
        return 1
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
