#!/bin/bash
# tamrikctl time-server calibrate against a second chronyd on loopback playing the network server.
# The system's chronyd follows it with `offset`, which shifts the time it steers by a known 0.2 s,
# and runs with -x for the test (it measures and selects, and leaves the clock alone: the server
# serves this same clock, which a real discipline would chase). calibrate finds the unit's delay
# (its first report 40 ms after the second, plus 62 bytes at 9600 baud) plus the shift, within the
# tolerance it states and the few milliseconds USB adds; --apply then writes that offset and takes
# noselect away. Without the server, calibrate says that no other source steers the clock.
. "$TAMRIK_VM_LIB/lib.sh"
serial=VM63
refclock=/etc/chrony/conf.d/tamrik-$serial.conf
shift_s=0.2
# Where chronyd's AppArmor profile lets a chronyd read its configuration and write its PID.
server_conf=/etc/chrony/tamrik-test-server.conf
server_pid=/run/chrony/tamrik-test-server.pid
cleanup() {
  [ -f "$server_pid" ] && kill "$(cat "$server_pid")" 2>/dev/null
  rm -f /etc/chrony/conf.d/test-server.conf "$server_conf"
  [ -f /tmp/default-chrony ] && cp /tmp/default-chrony /etc/default/chrony
  tamrikctl time-server undo >/dev/null 2>&1 || true
  systemctl restart chrony >/dev/null 2>&1 || true
  stop_unit
}
trap cleanup EXIT

start_unit --serial "$serial"
attach_unit
wait_hidraw 60 >/dev/null || fail "the unit's hidraw node did not appear"
cp /etc/default/chrony /tmp/default-chrony
sed -i 's/^DAEMON_OPTS="\(.*\)"/DAEMON_OPTS="\1 -x"/' /etc/default/chrony
grep -q -- '-x"' /etc/default/chrony || fail "could not give chronyd -x: $(cat /etc/default/chrony)"
timeout 300 tamrikctl time-server setup --unit "$serial" > /tmp/setup.log 2>&1 || { cat /tmp/setup.log; fail "setup failed"; }

# No other source yet: nothing to measure against, and nothing changed.
before=$(md5sum < "$refclock")
status=0; timeout 200 tamrikctl time-server calibrate --duration 0.5 > /tmp/none.out 2> /tmp/none.err || status=$?
[ "$status" = 5 ] && grep -q "no other source steered the clock" /tmp/none.err ||
  fail "calibrate without another source: status $status, $(cat /tmp/none.err)"
[ "$(md5sum < "$refclock")" = "$before" ] || fail "calibrate without another source changed $refclock"

# The network server.
# No command socket of its own (bindcmdaddress /): the system's chronyd keeps chronyc's.
cat > "$server_conf" <<CONF
port 11123
cmdport 0
bindcmdaddress /
bindaddress 127.0.0.1
allow 127.0.0.1
local stratum 2
pidfile $server_pid
CONF
chronyd -x -f "$server_conf" || fail "the server's chronyd did not start"
echo "server 127.0.0.1 port 11123 iburst minpoll -1 maxpoll -1 offset $shift_s" > /etc/chrony/conf.d/test-server.conf
systemctl restart chrony
selected() { chronyc -c -n sources | grep -q '^\^,\*,127.0.0.1,'; }
wait_for 60 selected || fail "chronyd did not select the server: $(chronyc -n sources | tr '\n' ' ')"

timeout 300 tamrikctl time-server calibrate --duration 1.5 > /tmp/calibrate.out 2> /tmp/calibrate.err ||
  fail "calibrate failed: $(tail -n 2 /tmp/calibrate.err | tr '\n' ' ')"
cat /tmp/calibrate.out
value() { sed -n "s/^$1=//p" /tmp/calibrate.out; }
offset=$(value offset); tolerance=$(value tolerance); samples=$(value samples)
[ -n "$offset" ] && [ -n "$tolerance" ] || fail "calibrate printed no offset and tolerance: $(cat /tmp/calibrate.out)"
expected=$(awk -v s="$shift_s" 'BEGIN { printf "%.4f", 0.040 + 62 * 10 / 9600 + s }')
awk -v o="$offset" -v e="$expected" -v t="$tolerance" 'BEGIN { exit !(o >= e - 0.002 - t && o <= e + 0.030 + t) }' ||
  fail "calibrate found offset $offset (±$tolerance); the unit's delay plus the shift is $expected"
grep -q "^# calibration: .* offset $offset " "$refclock" || fail "the measurement was not kept in $refclock: $(cat "$refclock")"

# --apply alone applies the kept measurement.
tamrikctl time-server calibrate --apply > /tmp/apply.out 2>&1 || fail "calibrate --apply failed: $(cat /tmp/apply.out)"
line=$(grep '^refclock SOCK' "$refclock")
case "$line" in *"offset $offset"*) ;; *) fail "--apply wrote '$line', not offset $offset" ;; esac
case "$line" in *noselect*) fail "--apply kept noselect: $(cat /tmp/apply.out)" ;; esac
chronyc -n sources | grep -E 'TMRK|127.0.0.1' || true
pass "no other source: status 5, nothing changed; against the server shifted by $shift_s s: offset $offset (±$tolerance) from $samples samples, expected $expected; --apply wrote '$line'"
