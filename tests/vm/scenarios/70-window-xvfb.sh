#!/bin/bash
# The window from the package, as the user at the seat: carol, who is not in plugdev, has an active
# logind session on seat0 (a login on tty3), so the uaccess tag of the rule gives her an ACL on the
# unit's node. tamrik-config runs as carol under Xvfb, lists the unit and reads it back: its serial,
# maker, product, firmware and output frequency in the snapshot, the maker by the same rule as list.
. "$TAMRIK_VM_LIB/lib.sh"
seat_user=carol
id "$seat_user" >/dev/null 2>&1 || useradd -m -s /bin/bash "$seat_user"
undo() { systemctl stop tamrik-seat-session.service >/dev/null 2>&1 || true; stop_unit; }
trap undo EXIT
# A login on tty3 through PAM, as getty's would be: pam_systemd opens the session on seat0.
systemd-run --unit=tamrik-seat-session --service-type=simple -p PAMName=login -p User="$seat_user" \
  -p TTYPath=/dev/tty3 -p StandardInput=tty -p StandardOutput=tty /bin/sleep 600 >/dev/null ||
  fail "systemd-run could not start a login session for $seat_user"
session_active() {
  loginctl list-sessions --no-legend 2>/dev/null | awk -v u="$seat_user" '$3 == u && $4 == "seat0"' | grep -q . &&
    [ "$(loginctl show-user "$seat_user" -P State 2>/dev/null)" = active ]
}
# Bring tty3 to the front (VT_ACTIVATE, VT_WAITACTIVE), as the user's switch to it would.
python3 -c 'import fcntl, os; fd = os.open("/dev/tty0", os.O_RDWR); fcntl.ioctl(fd, 0x5606, 3); fcntl.ioctl(fd, 0x5607, 3)' ||
  fail "could not switch to tty3"
wait_for 30 session_active || fail "no active seat0 session for $seat_user: $(loginctl list-sessions --no-legend | tr '\n' ' ')"

start_unit --serial VM0070 --firmware 0x0131 --manufacturer 'Tamrik Łódź'
attach_unit
node=$(wait_hidraw 60)
wait_for 30 sh -c "getfacl -p $node 2>/dev/null | grep -q '^user:$seat_user:rw-'" ||
  fail "$node has no ACL for $seat_user at the seat: $(getfacl -p "$node" 2>&1 | tr '\n' ' ')"
id -nG "$seat_user" | grep -qw plugdev && fail "$seat_user is in plugdev: the test proves nothing"

snapshot=/tmp/window.json
rm -f "$snapshot"
chmod 1777 /tmp
rc=0
timeout 180 runuser -u "$seat_user" -- env -i PATH=/usr/bin:/bin HOME="/home/$seat_user" LANG=C.UTF-8 \
  xvfb-run -a -s '-screen 0 1280x1024x24' tamrik-config --snapshot "$snapshot" --quit-after 20000 \
  > /tmp/window.log 2>&1 || rc=$?
cat /tmp/window.log
[ "$rc" = 0 ] || fail "tamrik-config ended with status $rc: $(tail -n 1 /tmp/window.log)"
[ -s "$snapshot" ] || fail "tamrik-config wrote no snapshot"
python3 - "$snapshot" <<'PY' || fail "the window's snapshot is not as expected (above)"
import json, sys
c = json.load(open(sys.argv[1]))["controls"]
shown = {k: c[k].get("text") for k in ("SerNo", "lblManuf", "lblProduct", "lblVersion", "Out1Freq")}
shown["SerNo items"] = c["SerNo"].get("items")
print(shown)
ok = (shown["SerNo items"] == ["VM0070"] and shown["lblManuf"].strip() == "Tamrik Aódz"
      and "1.31" in shown["lblVersion"] and shown["Out1Freq"] == "10000000"
      and "Tamrik GPS Reference Clock" in shown["lblProduct"])
sys.exit(0 if ok else 1)
PY
pass "tamrik-config as $seat_user (seat0, ACL from uaccess, not in plugdev) under Xvfb: VM0070, its maker, product, firmware 1.31 and 10 MHz read back"
