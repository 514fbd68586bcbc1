#!/usr/bin/env python3
"""Runs `tamrikctl --simulate=1 receiver --tcp 127.0.0.1:PORT` and reads the port with the tools
people point at it.

  gpsd     the real gpsd reading tcp://127.0.0.1:PORT: gpspipe -w shows TPV records with the
           simulated unit's position and SKY records with its satellites; what gpsd writes to the
           port is thrown away (the stream is read-only), said once.
  ubxtool  with --receiver-polls: `ubxtool -f PTY -p MON-VER` on a pseudo-terminal that socat links
           to the port gets the simulated receiver's MON-VER; `ubxtool -d NMEA` (configuration) is
           refused by name and the receiver's epochs keep coming.
  clients  ten clients at once and one that connects and stops reading: each of the ten gets every
           epoch from its first on, at the receiver's pace, the same bytes as the others.

Exit status 0 when every check held, 1 otherwise, 77 (skip) when a tool is missing or, for gpsd,
when gpsd cannot run here without touching shared memory another gpsd uses. Every process started
is stopped, every wait is bounded and only the loopback interface is used.
"""
import argparse
import json
import os
import pwd
import select
import shutil
import socket
import struct
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bridge_program_check import SHM_KEYS, Failure, Processes, in_own_folder, shm_segments  # noqa: E402

SKIP = 77
# The simulated unit SIM001's antenna (platform/sim/receiver_model.h), in degrees.
LAT, LON = 46.0569, 14.5058


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_bridge(ps, program, port, *more):
    """The bridge on a simulated unit, once it listens on the port."""
    bridge = ps.start([program, "--simulate=1", "receiver", "--tcp", f"127.0.0.1:{port}", *more])
    deadline = time.monotonic() + 15
    while time.monotonic() < deadline:
        if any(f"tcp://127.0.0.1:{port}" in line for line in list(bridge.err)):
            return bridge
        if bridge.poll() is not None:
            raise Failure(f"tamrikctl ended with {bridge.returncode}: {bridge.err}")
        time.sleep(0.05)
    raise Failure(f"tamrikctl did not listen on 127.0.0.1:{port} within 15 s: {bridge.err}")


def stop_bridge(bridge):
    if Processes.stop(bridge) != 0:
        raise Failure(f"tamrikctl exited with {bridge.returncode} after SIGTERM: {bridge.err}")


def frames(data):
    """(class, id, payload, offset) of every UBX frame with a good checksum."""
    found, i = [], 0
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
        found.append((data[i + 2], data[i + 3], bytes(data[i + 6:end - 2]), i))
        i = end
    return found


# --- gpsd ------------------------------------------------------------------------------------------

def check_gpsd(args, tmp):
    for tool in ("gpsd", "gpspipe", "ipcs", "ipcrm"):
        if shutil.which(tool) is None:
            print(f"SKIP: {tool} is not installed (Debian packages gpsd, gpsd-clients, util-linux)")
            return SKIP
    # As root gpsd would take NTP's shared memory units 0 and 1: it runs as nobody, as in
    # bridge_program_check.py, and the segments it made are taken away after it.
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
    port, gpsd_port = free_port(), free_port()
    try:
        with Processes() as ps:
            bridge = start_bridge(ps, args.program, port)
            gpsd = ps.start(user + ["gpsd", "-N", "-n", "-S", str(gpsd_port), "-F", os.path.join(tmp, "gpsd.sock"),
                                    f"tcp://127.0.0.1:{port}"])
            pipe = None
            for _ in range(50):  # until gpsd listens
                time.sleep(0.2)
                pipe = ps.start(["gpspipe", "-w", f"127.0.0.1:{gpsd_port}"])
                time.sleep(0.3)
                if pipe.poll() is None:
                    break

            def records(kind):
                return [json.loads(line) for line in list(pipe.out) if f'"class":"{kind}"' in line]

            deadline = time.monotonic() + 60
            while time.monotonic() < deadline and gpsd.poll() is None and bridge.poll() is None:
                fixes = [t for t in records("TPV") if t.get("mode") == 3]
                skies = [s for s in records("SKY") if s.get("satellites")]
                if len(fixes) >= 3 and len(skies) >= 2:
                    break
                time.sleep(0.2)
            fixes = [t for t in records("TPV") if t.get("mode") == 3]
            skies = [s for s in records("SKY") if s.get("satellites")]
            for p in (pipe, gpsd):
                Processes.stop(p)
            stop_bridge(bridge)
    finally:
        for key in set(shm_segments()) & set(SHM_KEYS) - set(before):
            subprocess.run(["ipcrm", "-M", str(key)], capture_output=True, timeout=10)

    if len(fixes) < 3 or len(skies) < 2:
        raise Failure(f"gpsd reported {len(fixes)} 3D fixes and {len(skies)} skies with satellites in 60 s; "
                      f"gpsd wrote {gpsd.err[-5:]}; tamrikctl wrote {bridge.err}")
    for t in fixes:
        if abs(t["lat"] - LAT) > 1e-6 or abs(t["lon"] - LON) > 1e-6:
            raise Failure(f"TPV at {t['lat']}, {t['lon']}; the simulated unit is at {LAT}, {LON}")
    used = {s["PRN"] for s in skies[-1]["satellites"] if s.get("used")}
    if not 4 <= len(used) <= 12:
        raise Failure(f"the last SKY has {len(used)} satellites used: {skies[-1]}")
    if not any("client 127.0.0.1:" in line and "connected" in line for line in bridge.err):
        raise Failure(f"tamrikctl did not say that gpsd connected: {bridge.err}")
    print(f"gpsd on tcp://127.0.0.1:{port}: {len(fixes)} TPV records at the simulated position, {len(skies)} SKY "
          f"records, {len(used)} satellites used in the last")
    return 0


# --- ubxtool through socat --------------------------------------------------------------------

def check_ubxtool(args, tmp):
    for tool in ("ubxtool", "socat"):
        if shutil.which(tool) is None:
            print(f"SKIP: {tool} is not installed (Debian packages gpsd-clients, socat)")
            return SKIP
    port = free_port()
    pty = os.path.join(tmp, "ubx0")
    with Processes() as ps:
        bridge = start_bridge(ps, args.program, port, "--receiver-polls")
        socat = ps.start(["socat", f"pty,link={pty},raw,echo=0", f"tcp:127.0.0.1:{port}"])
        deadline = time.monotonic() + 15
        while not os.path.exists(pty):
            if time.monotonic() > deadline or socat.poll() is not None:
                raise Failure(f"socat did not make {pty}: {socat.err}")
            time.sleep(0.05)
        # Until the bridge serves socat the receiver's epochs (a client starts at an epoch).
        deadline = time.monotonic() + 20
        while not any("connected" in line for line in list(bridge.err)):
            if time.monotonic() > deadline:
                raise Failure(f"socat did not connect: {bridge.err}")
            time.sleep(0.05)
        poll = subprocess.run(["ubxtool", "-f", pty, "-p", "MON-VER", "-P", "18", "-w", "5"], capture_output=True,
                              text=True, timeout=60)
        config = subprocess.run(["ubxtool", "-f", pty, "-d", "NMEA", "-P", "18", "-w", "3"], capture_output=True,
                                text=True, timeout=60)
        Processes.stop(socat)
        stop_bridge(bridge)

    answer = poll.stdout.split("UBX-MON-VER:\n  Poll request", 1)[-1]
    wanted = ["swVersion ROM CORE 3.01 (107888)", "hwVersion 00080000", "extension PROTVER=18.00"]
    missing = [w for w in wanted if w not in answer]
    if poll.returncode != 0 or missing:
        raise Failure(f"ubxtool -p MON-VER: exit {poll.returncode}, missing {missing} in {poll.stdout[-2000:]!r} "
                      f"{poll.stderr[-500:]!r}; tamrikctl wrote {bridge.err}")
    refused = [line for line in bridge.err if "refused UBX CFG-" in line]
    if not refused or "UBX-NAV-" not in config.stdout:
        raise Failure(f"ubxtool -d NMEA: tamrikctl refused {refused}; ubxtool saw {config.stdout[-1500:]!r}")
    print(f"ubxtool through socat: MON-VER answered ({', '.join(wanted)}); its configuration refused: {refused[0]}")
    return 0


# --- ten clients and one that stops reading ---------------------------------------------------

def check_clients(args, tmp):
    port = free_port()
    seconds = 15
    with Processes() as ps:
        bridge = start_bridge(ps, args.program, port)
        stalled = socket.socket()
        stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1024)
        stalled.connect(("127.0.0.1", port))
        clients = [socket.create_connection(("127.0.0.1", port), timeout=5) for _ in range(10)]
        got = [bytearray() for _ in clients]
        first = [None] * len(clients)
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            ready, _, _ = select.select(clients, [], [], 0.5)
            for c in ready:
                i = clients.index(c)
                data = c.recv(65536)
                if not data:
                    raise Failure(f"client {i} was closed by the bridge: {bridge.err}")
                if first[i] is None:
                    first[i] = time.monotonic()
                got[i] += data
        for c in clients + [stalled]:
            c.close()
        stop_bridge(bridge)

    epochs, fromEpoch = [], []
    for i, data in enumerate(got):
        found = frames(data)
        pvts = [f for f in found if f[:2] == (0x01, 0x07)]
        # Before the receiver's rhythm is known a client starts at a frame; after, at an epoch.
        if not pvts or found[0][3] != 0:
            raise Failure(f"client {i} did not start with a whole frame: {bytes(data[:16]).hex()}")
        tows = [struct.unpack_from("<I", f[2], 0)[0] for f in pvts]
        gaps = [b - a for a, b in zip(tows, tows[1:]) if b - a != 1000]
        if gaps:
            raise Failure(f"client {i} missed epochs: steps of {gaps} ms between its NAV-PVT")
        epochs.append((len(tows), len(data), tows[0]))
        fromEpoch.append(data[pvts[0][3]:])
    counts = [e[0] for e in epochs]
    # At the receiver's pace: one epoch a second for the whole window, less the wait for the first
    # and the rhythm's first seconds, on a busy machine.
    if min(counts) < seconds - 8 or max(counts) - min(counts) > 1:
        raise Failure(f"epochs per client in {seconds} s: {counts}")
    # From the first epoch two clients share, they got the same bytes.
    for i, (n, size, tow) in enumerate(epochs):
        j = next(k for k, e in enumerate(epochs) if e[2] == tow)
        common = min(len(fromEpoch[i]), len(fromEpoch[j]))
        if fromEpoch[i][:common] != fromEpoch[j][:common]:
            raise Failure(f"clients {i} and {j} got different bytes from their first epoch, {tow}")
    if any("does not keep up" in line for line in bridge.err):
        raise Failure(f"a client was dropped: {bridge.err}")
    print(f"ten clients and one that stopped reading, {seconds} s: epochs per client {counts}, bytes "
          f"{[e[1] for e in epochs]}")
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("check", choices=["gpsd", "ubxtool", "clients"])
    args = parser.parse_args()
    check = {"gpsd": check_gpsd, "ubxtool": check_ubxtool, "clients": check_clients}[args.check]
    return in_own_folder(check, args, "tamrik-tcp-")


if __name__ == "__main__":
    sys.exit(main())
