#!/usr/bin/python3
"""A HID device made through /dev/uhid with the unit's vendor and product gets a hidraw node, but
70-tamrik.rules does not give it to plugdev or the seat: the rule matches the USB device above the
node (ATTRS{idVendor}), and a uhid device has no USB parent. This is why the scenarios with a unit
attach one over USB/IP (vhci-hcd), where the kernel sees a real USB device."""
import glob
import os
import struct
import subprocess
import sys
import time

UHID_DESTROY = 1
UHID_CREATE2 = 11
BUS_USB = 3
VENDOR, PRODUCT = 0x1DD2, 0x2211
HID_ID = "0003:00001DD2:00002211"
RULE = "/usr/lib/udev/rules.d/70-tamrik.rules"
EVENT_SIZE = 4 + 4372  # struct uhid_event with its largest member, uhid_create2_req
# Vendor page, 64-byte input and output reports.
DESCRIPTOR = bytes.fromhex("06 00 ff 09 01 a1 01 15 00 26 ff 00 75 08 95 40 09 01 81 02 09 01 91 02 c0")


def result(verdict, reason):
    print("REASON: " + reason)
    sys.exit({"PASS": 0, "SKIP": 77}.get(verdict, 1))


def event(kind, payload=b""):
    return (struct.pack("<I", kind) + payload).ljust(EVENT_SIZE, b"\0")


def unit_hidraw():
    for uevent in glob.glob("/sys/class/hidraw/hidraw*/device/uevent"):
        with open(uevent) as f:
            if "HID_ID=" + HID_ID in f.read().split():
                return uevent.split("/")[4]
    return None


def main():
    if not os.path.exists(RULE):
        result("FAIL", RULE + " is not installed")
    subprocess.run(["modprobe", "uhid"], check=True)
    before = unit_hidraw()
    if before:
        result("FAIL", before + " with the unit's ID exists before the uhid device was made")
    fd = os.open("/dev/uhid", os.O_RDWR | os.O_CLOEXEC)
    try:
        create = struct.pack("<128s64s64sHHIIII4096s", b"Tamrik uhid smoke", b"tamrik-vm/uhid", b"UHID0001",
                             len(DESCRIPTOR), BUS_USB, VENDOR, PRODUCT, 0x0100, 0, DESCRIPTOR)
        os.write(fd, event(UHID_CREATE2, create))
        end = time.monotonic() + 20
        node = None
        while node is None and time.monotonic() < end:
            node = unit_hidraw()
            if node is None:
                time.sleep(0.1)
        if node is None:
            result("FAIL", "no hidraw node with HID_ID %s within 20 s of UHID_CREATE2" % HID_ID)
        subprocess.run(["udevadm", "settle", "--timeout=30"], check=False)
        dev = "/dev/" + node
        end = time.monotonic() + 10
        while not os.path.exists(dev) and time.monotonic() < end:
            time.sleep(0.1)
        if not os.path.exists(dev):
            result("FAIL", dev + " did not appear")
        syspath = os.path.realpath("/sys/class/hidraw/%s/device" % node)
        props = subprocess.run(["udevadm", "info", "--query=property", dev], capture_output=True, text=True).stdout
        tags = " ".join(line.split("=", 1)[1] for line in props.splitlines() if line.startswith(("TAGS=", "CURRENT_TAGS=")))
        parents = subprocess.run(["udevadm", "info", "--attribute-walk", dev], capture_output=True, text=True).stdout
        st = os.stat(dev)
        group = subprocess.run(["stat", "-c", "%G", dev], capture_output=True, text=True).stdout.strip()
        print("%s at %s, group %s, mode %o, tags '%s'" % (dev, syspath, group, st.st_mode & 0o777, tags))
        if "/virtual/misc/uhid/" not in syspath:
            result("FAIL", "%s sits at %s, not under the uhid device" % (node, syspath))
        if "idVendor" in parents:
            result("FAIL", "%s has a parent with idVendor: the uhid device is not what this checks" % dev)
        if "uaccess" in tags or group == "plugdev":
            result("FAIL", "70-tamrik.rules matched the uhid device %s (group %s, tags %s)" % (dev, group, tags))
        os.write(fd, event(UHID_DESTROY))
        end = time.monotonic() + 20
        while unit_hidraw() and time.monotonic() < end:
            time.sleep(0.1)
        if unit_hidraw():
            result("FAIL", "%s stayed after UHID_DESTROY" % node)
    finally:
        os.close(fd)
    result("PASS", "%s appeared for uhid %04x:%04x (no USB parent) as root:%s %o without uaccess: "
           "70-tamrik.rules matches USB devices only, so the unit needs USB/IP" % (dev, VENDOR, PRODUCT, group, st.st_mode & 0o777))


if __name__ == "__main__":
    main()
