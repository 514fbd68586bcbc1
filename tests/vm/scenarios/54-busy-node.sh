#!/bin/bash
# Another program and the unit. hidraw shares a node among all who open it: a process holding it
# open leaves the unit usable. A program that takes the unit's USB interface itself (as libusb
# programs do: the kernel's HID driver lets go and the hidraw node goes away) makes it busy:
# list and --unit say "attached but busy" and name that program; once it lets go, the unit is
# usable again.
. "$TAMRIK_VM_LIB/lib.sh"
start_unit --serial VM0054
attach_unit
node=$(wait_hidraw 60)
sleep 300 3<>"$node" &
holder=$!
out=$(timeout 60 tamrikctl --unit VM0054 status 2>&1) || { kill "$holder"; fail "status failed while another process holds $node open: $(tail -n 1 <<<"$out")"; }
kill "$holder"; wait "$holder" 2>/dev/null || true

usb=$(grep -l '^1dd2$' /sys/bus/usb/devices/*/idVendor | head -n 1)
usb=${usb%/idVendor}
devnode=$(printf '/dev/bus/usb/%03d/%03d' "$(cat "$usb/busnum")" "$(cat "$usb/devnum")")
cat > /tmp/claim.py <<'PY'
# Takes interface 0 of a USB device with usbfs, as a libusb program does (the kernel's driver lets
# go), until SIGTERM, then gives it back to the kernel's driver.
import fcntl, os, signal, struct, sys
USBDEVFS_DISCONNECT_CLAIM = 0x8108551B
USBDEVFS_RELEASEINTERFACE = 0x80045510
USBDEVFS_IOCTL = 0xC0105512
USBDEVFS_CONNECT = 0x5517
fd = os.open(sys.argv[1], os.O_RDWR)
fcntl.ioctl(fd, USBDEVFS_DISCONNECT_CLAIM, struct.pack("II256s", 0, 0, b""))
print("claimed", flush=True)
def release(*_):
    fcntl.ioctl(fd, USBDEVFS_RELEASEINTERFACE, struct.pack("I", 0))
    fcntl.ioctl(fd, USBDEVFS_IOCTL, struct.pack("iiP", 0, USBDEVFS_CONNECT, 0))
    os._exit(0)
signal.signal(signal.SIGTERM, release)
while True:
    signal.pause()
PY
python3 /tmp/claim.py "$devnode" > /tmp/claim.out 2>&1 &
claimer=$!
wait_for 20 grep -q claimed /tmp/claim.out || fail "the stand-in program could not claim $devnode: $(cat /tmp/claim.out)"
wait_for 20 test ! -e "$node" || fail "$node stayed while the interface is claimed"
expected="unit VM0054 is attached but busy: another program holds it (python3 (process $claimer))"
rc=0
out=$(timeout 60 tamrikctl list 2>/tmp/list.err) || rc=$?
err=$(cat /tmp/list.err)
echo "list: status $rc, stdout '$out', stderr '$err'"
[ "$err" = "tamrikctl list: $expected" ] || fail "list said: $err"
rc=0
err=$(timeout 60 tamrikctl --unit VM0054 status 2>&1 >/dev/null) || rc=$?
[ "$rc" = 3 ] || fail "status --unit VM0054 ended with status $rc, not 3: $err"
[ "$err" = "tamrikctl status: $expected" ] || fail "status --unit VM0054 said: $err"
kill -TERM "$claimer"; wait "$claimer" 2>/dev/null || true
wait_hidraw 60 >/dev/null
out=$(timeout 60 tamrikctl --unit VM0054 status 2>&1) || fail "status failed after the other program let go: $(tail -n 1 <<<"$out")"
pass "a process holding $node open shares it; a program that claimed the interface: busy, named (python3), status 3; usable again once it let go"
