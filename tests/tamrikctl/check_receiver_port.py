#!/usr/bin/env python3
"""`tamrikctl receiver --tcp --ntp-shm --metrics` as a program, tamrikctl.exe under Wine too.

    check_receiver_port.py --tamrikctl PATH [--runner WORD...]

A simulated unit's bridge with its TCP port, NTP's shared memory (a unit no ntpd uses) and its
figures, on free loopback ports. A test client connects: its first bytes are a whole UBX frame,
then NAV-PVT frames with good checksums arrive once a second; what it sends (a receiver reset) is
thrown away, said in one line, and the simulated receiver sends on as before. The figures (checked
by promtool where it is installed, always under CI) count the client and the samples made for
ntpd, which is not there to take them. Every process started is stopped; every wait is bounded;
only the loopback interface is used. The shared-memory segment made on Linux is removed.
"""
import argparse
import os
import re
import select
import shutil
import socket
import struct
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from prometheus_harness import Failure, checked_samples, get, sample, stop_all, wait_for  # noqa: E402

NTP_UNIT = 251  # a unit no ntpd here uses; world-writable (2 and up)
NTP_KEY = 0x4E545030 + NTP_UNIT


def frames(data):
    """The UBX frames with good checksums in data: (offset, class, id, payload)."""
    out, i = [], 0
    while i + 8 <= len(data):
        if data[i] != 0xB5 or data[i + 1] != 0x62:
            i += 1
            continue
        length = struct.unpack_from("<H", data, i + 4)[0]
        end = i + 6 + length + 2
        if end > len(data):
            break
        a = b = 0
        for byte in data[i + 2:end - 2]:
            a = (a + byte) & 0xFF
            b = (b + a) & 0xFF
        if (a, b) == (data[end - 2], data[end - 1]):
            out.append((i, data[i + 2], data[i + 3], bytes(data[i + 6:end - 2])))
            i = end
        else:
            i += 1
    return out


def ubx(cls, msg_id, payload):
    body = bytes([cls, msg_id]) + struct.pack("<H", len(payload)) + payload
    a = b = 0
    for byte in body:
        a = (a + byte) & 0xFF
        b = (b + a) & 0xFF
    return b"\xb5\x62" + body + bytes([a, b])


def figures(url):
    status, text = get(url)
    if status != 200:
        raise Failure(f"{url} answered {status}")
    return checked_samples(text)


def check(args):
    runner = args.runner or []
    bridge = subprocess.Popen([*runner, args.tamrikctl, "--simulate=1", "receiver", "--tcp", "127.0.0.1:0",
                               "--ntp-shm", str(NTP_UNIT), "--metrics", "127.0.0.1:0"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    processes = [(bridge, "the bridge")]
    lines = []
    try:
        ready, _, _ = select.select([bridge.stderr], [], [], 60)
        first = bridge.stderr.readline() if ready else f"nothing within 60 s"
        m = re.search(r"receiver bytes on tcp://127\.0\.0\.1:(\d+).*time samples to ntpd in NTP shared memory unit "
                      + str(NTP_UNIT) + r".*its figures at (http://127\.0\.0\.1:\d+/metrics)", first)
        if not m:
            raise Failure(f"the bridge's first line: {first!r}")
        port, url = int(m.group(1)), m.group(2)
        os.set_blocking(bridge.stderr.fileno(), False)

        def more_lines():
            try:
                chunk = bridge.stderr.read()
            except (BlockingIOError, TypeError):
                chunk = None
            if chunk:
                lines.extend(chunk.splitlines())
            return lines

        client = socket.create_connection(("127.0.0.1", port), timeout=10)
        client.settimeout(0.5)
        got, started = bytearray(), time.monotonic()
        reset_sent = False
        while time.monotonic() - started < 40:
            try:
                chunk = client.recv(65536)
                if not chunk:
                    raise Failure("the bridge closed the client's connection")
                got += chunk
            except socket.timeout:
                pass
            pvts = [f for f in frames(got) if f[1:3] == (0x01, 0x07)]
            if pvts and not reset_sent:
                # A receiver reset (CFG-RST, a hot start): thrown away, never sent to the unit.
                client.sendall(ubx(0x06, 0x04, bytes([0, 0, 1, 0])))
                reset_sent = True
            if len(pvts) >= 4:
                break
        found = frames(got)
        if not found or found[0][0] != 0:
            raise Failure(f"the client's first bytes are not a whole UBX frame: {bytes(got[:16]).hex()}")
        pvt_count = sum(1 for f in found if f[1:3] == (0x01, 0x07))
        if pvt_count < 4:
            raise Failure(f"{pvt_count} NAV-PVT frames in {time.monotonic() - started:.0f} s on the TCP port")
        wait_for("the line that the client's bytes are thrown away",
                 lambda: any("thrown away" in l for l in more_lines()), 10)

        # The figures: one client; samples made once the receiver has its time; no ntpd reads them,
        # so none counts as taken, and each one the next found still there as not taken.
        def samples():
            v = figures(url)
            untaken = sample(v, "tamrik_bridge_samples_not_taken_total", to="ntpd")
            return v if untaken and untaken > 0 and sample(v, "tamrik_bridge_tcp_clients") == 1 else None
        v = wait_for("samples ntpd left untaken, and the client counted", samples, 40)
        taken = sample(v, "tamrik_bridge_samples_sent_total", to="ntpd")
        if taken != 0:
            raise Failure(f"{taken} samples counted as taken by an ntpd that does not run")
        print(f"TCP port {port}: {pvt_count} NAV-PVT frames, whole from the first byte; "
              f"{sample(v, 'tamrik_bridge_samples_made_total'):.0f} time samples made, "
              f"{sample(v, 'tamrik_bridge_samples_not_taken_total', to='ntpd'):.0f} left untaken with no ntpd")
        client.close()
    finally:
        stop_all(processes, kill_first=bool(runner))
        if not runner and shutil.which("ipcrm"):
            subprocess.run(["ipcrm", "-M", hex(NTP_KEY)], capture_output=True, timeout=10)
    print("the bridge said: " + " | ".join(l.removeprefix("tamrikctl receiver: ") for l in lines))
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tamrikctl", required=True)
    parser.add_argument("--runner", action="append")
    args = parser.parse_args()
    try:
        return check(args)
    except Failure as e:
        print(f"FAIL: {e}")
        return 1


if __name__ == "__main__":
    sys.exit(main())
