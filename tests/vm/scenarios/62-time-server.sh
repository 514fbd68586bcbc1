#!/bin/bash
# tamrikctl time-server on the packages' system with a virtual unit, AppArmor enforcing: setup
# --gpsd is followed by check exiting 0, chrony reaching TMRK and gpsd reading the pseudo-terminal;
# setup again changes nothing. Then one broken link at a time (the socket's group taken away, the
# bridge stopped, the refclock line pointing elsewhere, the unit unplugged), each mended after:
# check names that link as the fault and exits 5. undo leaves /etc (every file, link and folder,
# with its contents) and the enabled units as they were.
. "$TAMRIK_VM_LIB/lib.sh"
serial=VM62
bridge=tamrik-gps-bridge@$serial.service
refclock=/etc/chrony/conf.d/tamrik-$serial.conf
socket=/run/chrony.tamrik-$serial.sock
cleanup() {
  tamrikctl time-server undo >/dev/null 2>&1 || true
  systemctl stop gpsd.service gpsd.socket >/dev/null 2>&1 || true
  stop_unit
}
trap cleanup EXIT

state() {
  find /etc -xdev -printf '%p %y %m %u:%g %l\n' | sort
  find /etc -xdev -type f -print0 | sort -z | xargs -0 md5sum
  systemctl list-unit-files --state=enabled --no-legend --no-pager | awk '{ print $1 }' | sort
}
# check --json: status 5 and the link named as a fault.
names_fault() {
  local link=$1 out status
  out=$(tamrikctl time-server check --json 2>/tmp/check.err); status=$?
  echo "$out" > /tmp/check.json
  [ "$status" = 5 ] || { echo "status $status"; return 1; }
  python3 - "$link" /tmp/check.json <<'PY'
import json, sys
report = json.load(open(sys.argv[2]))
faults = [l["link"] for l in report["links"] if l["state"] == "fault"]
sys.exit(0 if sys.argv[1] in faults and not report["ok"] else 1)
PY
}
holds() { tamrikctl time-server check >/tmp/check.txt 2>&1; }

state > /tmp/before.state
start_unit --serial "$serial"
attach_unit
wait_hidraw 60 >/dev/null || fail "the unit's hidraw node did not appear"

timeout 300 tamrikctl time-server setup --unit "$serial" --gpsd > /tmp/setup.log 2>&1 ||
  { cat /tmp/setup.log; fail "setup failed: $(tail -n 3 /tmp/setup.log | tr '\n' ' ')"; }
cat /tmp/setup.log
grep -q 'chronyd (enforce)' "/proc/$(pidof chronyd | cut -d' ' -f1)/attr/current" || fail "chronyd is not confined by its AppArmor profile"
wait_for 60 holds || { cat /tmp/check.txt; fail "check after setup: $(grep fault /tmp/check.txt | head -n 1)"; }
cat /tmp/check.txt
grep -q "^chrony      ok      TMRK reach" /tmp/check.txt || fail "check does not show chrony reaching TMRK"
grep -q "^gpsd        ok      gpsd .* reads /run/tamrik/$serial/gps" /tmp/check.txt || fail "check does not show gpsd reading the pty"

state > /tmp/setup.state
again=$(tamrikctl time-server setup --unit "$serial" --gpsd 2>&1) || fail "setup again failed: $again"
echo "$again" | grep -qE '^(wrote|ran:|made) ' && fail "setup again changed something: $again"
state | cmp -s - /tmp/setup.state || fail "setup again changed /etc or the enabled units: $(state | diff /tmp/setup.state - | head -n 5 | tr '\n' ' ')"

# The socket's group taken away.
chgrp root "$socket"
names_fault socket || fail "a socket of root's group: check did not name the socket: $(cat /tmp/check.json /tmp/check.err)"
chgrp dialout "$socket"
wait_for 30 holds || fail "the socket's group given back: $(cat /tmp/check.txt)"

# The bridge stopped.
systemctl stop "$bridge"
names_fault bridge || fail "the bridge stopped: check did not name it: $(cat /tmp/check.json)"
systemctl start "$bridge"
wait_for 60 holds || fail "the bridge started again: $(cat /tmp/check.txt)"

# The refclock line pointing elsewhere.
cp "$refclock" /tmp/refclock.conf
sed -i "s|refclock SOCK $socket|refclock SOCK /run/chrony.elsewhere.sock|" "$refclock"
systemctl restart chrony
names_fault refclock || fail "the refclock line elsewhere: check did not name it: $(cat /tmp/check.json)"
cp /tmp/refclock.conf "$refclock"
systemctl restart chrony
wait_for 90 holds || fail "the refclock line given back: $(cat /tmp/check.txt)"

# The unit unplugged.
detach_unit
wait_for 30 unit_gone || fail "the unit did not go"
names_fault unit || fail "the unit unplugged: check did not name it: $(cat /tmp/check.json)"
summary=$(python3 -c 'import json; r = json.load(open("/tmp/check.json")); print(", ".join(l["link"] + " " + l["state"] for l in r["links"]))')

tamrikctl time-server undo > /tmp/undo.log 2>&1 || { cat /tmp/undo.log; fail "undo failed"; }
cat /tmp/undo.log
systemctl stop gpsd.service gpsd.socket >/dev/null 2>&1 || true
state > /tmp/after.state
cmp -s /tmp/before.state /tmp/after.state || fail "undo did not leave /etc and the enabled units as they were: $(diff /tmp/before.state /tmp/after.state | head -n 8 | tr '\n' ' ')"
pass "setup --gpsd then check 0 (chronyd confined, TMRK reached, gpsd on the pty); setup again changed nothing; the socket's group, the bridge, the refclock line and the unit each named when broken (unplugged: $summary); undo left /etc and the enabled units as they were"
