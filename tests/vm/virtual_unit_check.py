#!/usr/bin/env python3
"""Speaks USB/IP to tamrik-virtual-unit over loopback, as vhci-hcd and the usbip tool do.

The device list and the import; the enumeration a kernel makes (descriptors, strings, the report
descriptor); feature reports read from and handed to the simulated firmware, recorded
as the golden traces write them; input reports on the interrupt endpoint carrying the receiver's
answer; unanswered transfers given up by UNLINK; garbled input that closes one connection only;
unplugging and plugging in again by signal and by the unit's own re-enumeration; a capture
replayed through the input reports. `usbip list -r` is asked too where the usbip tool is
installed.

Exit status 0 when every check held, 1 otherwise. Every process started is stopped and every
wait is bounded.
"""
import argparse
import os
import random
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

SOURCE = os.path.dirname(os.path.abspath(__file__))
GOLDEN = os.path.join(SOURCE, "..", "golden", "data", "update.trace")
VERSION = 0x0111
EPIPE, ECONNRESET = 32, 104
SERIAL = "Zé\U0001F6F042"  # beyond Latin-1 and beyond the BMP
PRODUCT = "Tamrik Ω Clock"


class Failure(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failure(what)


def recv_exact(sock, n, timeout=5.0):
    data = b""
    deadline = time.monotonic() + timeout
    while len(data) < n:
        left = deadline - time.monotonic()
        if left <= 0:
            raise Failure(f"no reply within {timeout} s ({len(data)} of {n} bytes)")
        sock.settimeout(left)
        try:
            chunk = sock.recv(n - len(data))
        except TimeoutError:
            continue
        if not chunk:
            raise Failure(f"connection closed after {len(data)} of {n} bytes")
        data += chunk
    return data


def closed_by_server(sock, timeout=3.0):
    """True when the server closes the connection within the bound (anything sent before is skipped)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        sock.settimeout(max(deadline - time.monotonic(), 0.01))
        try:
            if not sock.recv(4096):
                return True
        except TimeoutError:
            return False
        except ConnectionResetError:
            return True
    return False


class Unit:
    """The program, started on a free port."""

    def __init__(self, program, *args):
        # The log goes to a file: a pipe nobody reads would hold the program up once it is full.
        self.log = tempfile.TemporaryFile(mode="w+")
        self.proc = subprocess.Popen([program, "--port", "0", *args], stdout=subprocess.PIPE,
                                     stderr=self.log, text=True)
        # The first line is written once it listens.
        ready, _, _ = select.select([self.proc.stdout], [], [], 10)
        line = self.proc.stdout.readline() if ready else ""
        if not line.startswith("listening on 127.0.0.1:"):
            self.proc.kill()
            self.proc.wait()
            raise Failure(f"no start within 10 s: {line!r}")
        self.port = int(line.split(":")[1].split(",")[0])

    def connect(self):
        return socket.create_connection(("127.0.0.1", self.port), timeout=5)

    def signal(self, sig):
        self.proc.send_signal(sig)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
                raise Failure("SIGTERM did not end the program within 10 s")
        self.log.seek(0)
        log = self.log.read()
        self.log.close()
        self.proc.stdout.close()
        check(self.proc.returncode == 0, f"exit status {self.proc.returncode}:\n{log}")
        return log

    def devlist(self):
        with self.connect() as s:
            s.sendall(struct.pack(">HHI", VERSION, 0x8005, 0))
            version, code, status, count = struct.unpack(">HHII", recv_exact(s, 12))
            check((version, code, status) == (VERSION, 0x0005, 0), "devlist reply header")
            devices = []
            for _ in range(count):
                d = parse_device(recv_exact(s, 312))
                d["interfaces"] = [recv_exact(s, 4)[:3] for _ in range(d["interfaces"])]
                devices.append(d)
            check(closed_by_server(s), "the devlist connection stays open")
            return devices


def parse_device(b):
    busnum, devnum, speed, vid, pid, bcd = struct.unpack(">IIIHHH", b[288:306])
    return {"path": b[:256].rstrip(b"\0").decode(), "busid": b[256:288].rstrip(b"\0").decode(),
            "devid": busnum << 16 | devnum, "speed": speed, "vid": vid, "pid": pid, "bcd": bcd,
            "class": b[306], "interfaces": b[311]}


class Imported:
    """One imported device: URBs out, replies matched by seqnum."""

    def __init__(self, unit, busid="1-1"):
        self.sock = unit.connect()
        self.sock.sendall(struct.pack(">HHI", VERSION, 0x8003, 0) + busid.encode().ljust(32, b"\0"))
        version, code, self.status = struct.unpack(">HHI", recv_exact(self.sock, 8))
        check((version, code) == (VERSION, 0x0003), "import reply header")
        self.device = parse_device(recv_exact(self.sock, 312)) if self.status == 0 else None
        self.seq = 0
        self.replies = {}
        self.in_seqs = set()  # the IN transfers: their replies carry data
        self.buffer = b""

    def close(self):
        self.sock.close()

    def submit(self, ep, direction, length, setup=b"\0" * 8, data=b""):
        self.seq += 1
        self.sock.sendall(struct.pack(">IIIIIIIIII", 1, self.seq, self.device["devid"], direction, ep, 0, length,
                                      0, 0, 0) + setup + data)
        return self.seq

    def unlink(self, target):
        self.seq += 1
        self.sock.sendall(struct.pack(">IIIIII", 2, self.seq, self.device["devid"], 0, 0, target) + b"\0" * 24)
        return self.seq

    def fill(self, n, deadline):
        """False when fewer than n bytes are buffered by the deadline."""
        while len(self.buffer) < n:
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            self.sock.settimeout(left)
            try:
                chunk = self.sock.recv(65536)
            except TimeoutError:
                return False
            if not chunk:
                raise Failure("the server closed the imported connection")
            self.buffer += chunk
        return True

    def reply(self, seq, timeout=5.0):
        """(command, status, data) of the reply to seq."""
        deadline = time.monotonic() + timeout
        while seq not in self.replies:
            if not self.fill(48, deadline):
                raise Failure(f"no reply to seqnum {seq} within {timeout} s")
            command, rseq, _, _, _, status, actual = struct.unpack(">IIIIIiI", self.buffer[:28])
            size = actual if command == 3 and rseq in self.in_seqs else 0
            if not self.fill(48 + size, deadline):
                raise Failure(f"the reply to seqnum {rseq} is incomplete")
            self.replies[rseq] = (command, status, self.buffer[48:48 + size])
            self.buffer = self.buffer[48 + size:]
        return self.replies.pop(seq)

    def no_reply(self, seq, wait=0.3):
        try:
            self.reply(seq, wait)
        except Failure:
            return True
        return False

    def control_in(self, request_type, request, value, index, length):
        seq = self.submit(0, 1, length, struct.pack("<BBHHH", request_type, request, value, index, length))
        self.in_seqs.add(seq)
        return seq

    def control_out(self, request_type, request, value, index, data):
        return self.submit(0, 0, len(data), struct.pack("<BBHHH", request_type, request, value, index, len(data)), data)

    def interrupt_in(self, length=64):
        seq = self.submit(1, 1, length)
        self.in_seqs.add(seq)
        return seq

    def get(self, request_type, request, value, index, length):
        command, status, data = self.reply(self.control_in(request_type, request, value, index, length))
        check(command == 3, "RET_SUBMIT expected")
        return status, data

    def descriptor(self, kind, index=0, length=255, recipient=0x80, w_index=0):
        status, data = self.get(recipient, 6, kind << 8 | index, w_index, length)
        return data if status == 0 else status

    def get_feature(self):
        status, data = self.get(0xA1, 1, 0x0300, 0, 64)
        check(status == 0, f"GET_REPORT(feature): status {status}")
        return data

    def set_feature(self, frame):
        command, status, _ = self.reply(self.control_out(0x21, 9, 0x0300, 0, frame.ljust(64, b"\0")))
        check(command == 3 and status == 0, f"SET_REPORT(feature): status {status}")


def import_when_free(unit, timeout=3.0):
    """An import, once the server has seen the previous importer go."""
    deadline = time.monotonic() + timeout
    while True:
        imp = Imported(unit)
        if imp.status == 0:
            return imp
        imp.close()
        check(time.monotonic() < deadline, f"the device is not free to import within {timeout} s")
        time.sleep(0.02)


def string(imp, index):
    data = imp.descriptor(3, index)
    check(isinstance(data, bytes) and data[0] == len(data) and data[1] == 3, f"string {index}")
    return data[2:].decode("utf-16-le")


def check_list_and_enumeration(program, frames):
    unit = Unit(program, "--serial", SERIAL, "--product", PRODUCT, "--firmware", "0x0114",
                "--record-frames", frames)
    try:
        devices = unit.devlist()
        check(len(devices) == 1, f"{len(devices)} devices listed")
        d = devices[0]
        check((d["busid"], d["vid"], d["pid"], d["bcd"], d["speed"]) == ("1-1", 0x1DD2, 0x2211, 0x0114, 2),
              f"listed as {d}")
        check(d["interfaces"] == [b"\x03\x00\x00"], f"interfaces {d['interfaces']}")
        if shutil.which("usbip"):
            listed = subprocess.run(["usbip", "--tcp-port", str(unit.port), "list", "-r", "127.0.0.1"],
                                    capture_output=True, text=True, timeout=30)
            check(listed.returncode == 0 and "1-1:" in listed.stdout and "(1dd2:2211)" in listed.stdout
                  and "(03/00/00)" in listed.stdout, f"usbip list -r:\n{listed.stdout}{listed.stderr}")
        else:
            print("usbip is not installed: `usbip list -r` left out")

        wrong = Imported(unit, "2-1")
        check(wrong.status != 0 and closed_by_server(wrong.sock), "an unknown bus ID is imported")
        wrong.close()

        imp = Imported(unit)
        check(imp.status == 0 and imp.device["devid"] == d["devid"], "import")
        busy = Imported(unit)
        check(busy.status != 0, "a second import of the same device")
        busy.close()

        # The kernel's enumeration.
        dev = imp.descriptor(1, length=64)
        check(len(dev) == 18 and struct.unpack("<BBHBBBBHHHBBBB", dev) ==
              (18, 1, 0x0200, 0, 0, 0, 64, 0x1DD2, 0x2211, 0x0114, 1, 2, 3, 1), f"device descriptor {dev.hex()}")
        head = imp.descriptor(2, length=9)
        total = struct.unpack("<H", head[2:4])[0]
        config = imp.descriptor(2, length=total)
        check(len(config) == total == 34, f"configuration of {len(config)} bytes")
        interface, hid, endpoint = config[9:18], config[18:27], config[27:34]
        check(interface[1] == 4 and interface[4] == 1 and interface[5] == 3, "interface: HID, one endpoint")
        check(endpoint[1:4] == b"\x05\x81\x03" and struct.unpack("<H", endpoint[4:6])[0] == 64 and 1 <= endpoint[6] <= 10,
              f"endpoint {endpoint.hex()}")
        check(imp.descriptor(6) == -EPIPE, "a full-speed device has no device qualifier")
        check(imp.get(0x00, 9, 1, 0, 0)[0] == 0 and imp.get(0x80, 8, 0, 0, 1) == (0, b"\x01"), "SET_CONFIGURATION")
        check(imp.get(0x80, 0, 0, 0, 2) == (0, b"\0\0"), "GET_STATUS")
        check(imp.get(0x21, 0x0A, 0, 0, 0)[0] == 0, "SET_IDLE")
        check(string(imp, 0).encode("utf-16-le") == b"\x09\x04", "language IDs")
        check((string(imp, 1), string(imp, 2), string(imp, 3)) == ("Tamrik", PRODUCT, SERIAL), "strings")
        report = imp.descriptor(0x22, recipient=0x81, length=hid[7] | hid[8] << 8)
        # Its lengths, as the program parses them, are checked by virtual_unit_tests.
        check(len(report) == (hid[7] | hid[8] << 8) and report[-1] == 0xC0, "report descriptor as the HID descriptor says")

        # Feature reports: the firmware's settings report, and commands that change it.
        settings = imp.get_feature()
        check(len(settings) == 64 and settings[:2] == b"\x03\x03", f"settings report {settings[:8].hex()}")
        check(int.from_bytes(settings[2:5], "little") == 2875000, "the settings block's GPS frequency")
        trace = [line.split("hex=")[1].strip() for line in open(GOLDEN, encoding="utf-8") if " set " in line]
        # A window's Update, frame by frame: its version query (the first frame) is answered by the
        # next read, and its last divider set is what the unit then reports.
        check(trace[0] == "000a04", "the golden trace starts with the version query")
        for frame in trace:
            imp.set_feature(bytes.fromhex(frame)[1:])
        check(imp.get_feature()[:2] == b"\x14\x01", "the version query's answer")
        check(imp.get_feature()[2:21] == bytes.fromhex(trace[-1])[2:21], "the settings block of the last frame")
        imp.set_feature(bytes([1, 0]))       # output off
        imp.set_feature(bytes([3, 1]))       # 16 mA
        check(imp.get_feature()[:2] == b"\x00\x01", "output and drive strength after SET_REPORT")
        sent = trace + ["0001", "000301"]
        with open(frames, encoding="ascii") as f:
            recorded = f.read().splitlines()
        # Each at the report's length (the importer pads to it), with the report ID byte the wire
        # leaves out.
        check(recorded == [f"len=65 hex={h}" for h in sent], f"recorded frames {recorded}")

        # Input reports: the receiver's ACK of the CFG-MSG just sent comes within a few reports.
        imp.set_feature(bytes.fromhex("0806010800010701"))
        seen = b""
        for _ in range(50):
            command, status, data = imp.reply(imp.interrupt_in())
            check(command == 3 and status == 0 and len(data) == 64, "an input report")
            if data[1] & 0x80:
                seen += data[2:]
            if b"\xb5\x62\x05\x01" in seen:
                break
        check(b"\xb5\x62\x05\x01" in seen, "no ACK-ACK from the receiver in 50 input reports")
        answered = imp.interrupt_in()
        imp.reply(answered)
        command, status, _ = imp.reply(imp.unlink(answered))
        check(command == 4 and status == 0, "UNLINK of an answered URB")

        # Garbage on other connections closes those alone.
        for garbage in [struct.pack(">HHI", 0x0106, 0x8005, 0), struct.pack(">HHI", VERSION, 0x1234, 0),
                        b"\xff" * 7]:
            with unit.connect() as s:
                s.sendall(garbage)
                if len(garbage) < 8:
                    s.shutdown(socket.SHUT_WR)
                check(closed_by_server(s), f"garbage {garbage.hex()} leaves the connection open")
        with unit.connect() as s:
            s.sendall(struct.pack(">HH", VERSION, 0x8005))
            check(closed_by_server(s, timeout=8), "an incomplete request is waited for without end")
        check(imp.get_feature()[:2] == b"\x00\x01", "the imported device after garbage elsewhere")

        # ... and on the imported one, it closes it and the device may be imported again.
        imp.sock.sendall(struct.pack(">IIIIIIIIII", 1, 99, imp.device["devid"], 0, 0, 0, 0x7FFFFFFF, 0, 0, 0) + b"\0" * 8)
        check(closed_by_server(imp.sock), "an absurd transfer length is taken")
        imp.close()
        again = Imported(unit)
        check(again.status == 0, "import after a dropped connection")
        again.sock.sendall(struct.pack(">I", 7) + b"\0" * 44)
        check(closed_by_server(again.sock), "an unknown command is taken")
        again.close()
        # Random headers after an import, each on a connection of its own: whatever the server
        # makes of them, it stays up and the device can be imported and read again.
        rng = random.Random(7)
        for _ in range(60):
            imp = import_when_free(unit)
            head = struct.pack(">IIII", rng.choice([0, 1, 2, 3, 4, 0xFFFFFFFF]), rng.getrandbits(32),
                               rng.choice([imp.device["devid"], rng.getrandbits(32)]), rng.getrandbits(2))
            imp.sock.sendall(head + rng.randbytes(rng.randrange(32, 200)))
            imp.close()
        imp = import_when_free(unit)
        check(imp.get_feature()[:2] == b"\x00\x01", "the device after random headers")
        imp.close()
        check(len(unit.devlist()) == 1, "the device after garbled connections")
    finally:
        unit.stop()


def check_unanswered_and_unlink(program):
    # Feature requests unanswered from the start, input reports stopped by the schedule.
    unit = Unit(program, "--stall-control", "--sim-faults", "stall:SIM001@0")
    try:
        imp = Imported(unit)
        check(isinstance(imp.descriptor(1, length=18), bytes), "descriptors are answered while stalled")
        interrupt = imp.interrupt_in()
        get = imp.control_in(0xA1, 1, 0x0300, 0, 64)
        check(imp.no_reply(interrupt) and imp.no_reply(get), "stalled transfers were answered")
        for seq in (get, interrupt):
            command, status, _ = imp.reply(imp.unlink(seq))
            check(command == 4 and status == -ECONNRESET, f"UNLINK of a pending URB: status {status}")
        command, status, _ = imp.reply(imp.unlink(12345))
        check(command == 4 and status == 0, "UNLINK of an unknown seqnum")
        check(imp.no_reply(interrupt, 0.1) and imp.no_reply(get, 0.1), "an unlinked URB was answered after all")
        # Answers come back on SIGRTMIN+1, and a transfer still pending gets its answer then.
        pending = imp.control_in(0xA1, 1, 0x0300, 0, 64)
        unit.signal(signal.SIGRTMIN + 1)
        command, status, data = imp.reply(pending)
        check(status == 0 and data[:2] == b"\x03\x03", "GET_REPORT after the answers came back")
        imp.close()
    finally:
        unit.stop()


def check_replay_and_unplug(program, capture):
    # Three reports' worth of receiver bytes, none zero: they leave in three full input reports.
    data = bytes(1 + i % 255 for i in range(3 * 62))
    with open(capture, "wb") as f:
        f.write(data)
    unit = Unit(program, "--replay", capture)
    try:
        imp = Imported(unit)
        received = b""
        for _ in range(200):
            _, status, report = imp.reply(imp.interrupt_in())
            check(status == 0 and len(report) == 64, "an input report")
            if report[1] & 0x80:
                received += report[2:]
            if len(received) >= len(data):
                break
        check(received == data, f"the capture's bytes came as {received.hex()}")

        first = imp.device["devid"]
        unit.signal(signal.SIGUSR1)
        check(closed_by_server(imp.sock), "SIGUSR1 leaves the importer connected")
        imp.close()
        check(unit.devlist() == [], "an unplugged unit is listed")
        gone = Imported(unit)
        check(gone.status != 0, "an unplugged unit is imported")
        gone.close()
        unit.signal(signal.SIGUSR2)
        deadline = time.monotonic() + 3
        while not unit.devlist() and time.monotonic() < deadline:
            time.sleep(0.05)
        imp = Imported(unit)
        check(imp.status == 0 and imp.device["devid"] != first, "plugged in again under a new address")
        # Programming a serial number: the unit drops off and comes back under it.
        imp.set_feature(b"\x53N" + b"Q00042")
        check(closed_by_server(imp.sock), "the importer stays connected through a serial change")
        imp.close()
        deadline = time.monotonic() + 5
        while not unit.devlist() and time.monotonic() < deadline:
            time.sleep(0.1)
        imp = Imported(unit)
        check(imp.status == 0 and string(imp, 3) == "Q00042", "re-enumerated under the new serial")
        imp.close()
    finally:
        log = unit.stop()
    check("SIGUSR1" in log and "SIGUSR2" in log, f"the signals are not logged:\n{log}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--program", required=True)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as work:
        try:
            check_list_and_enumeration(args.program, os.path.join(work, "frames.txt"))
            check_unanswered_and_unlink(args.program)
            check_replay_and_unplug(args.program, os.path.join(work, "capture.ubx"))
        except Failure as e:
            print(f"FAILED: {e}")
            return 1
    print("the virtual unit held every check")
    return 0


if __name__ == "__main__":
    sys.exit(main())
