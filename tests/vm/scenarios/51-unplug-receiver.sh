#!/bin/bash
# A unit pulled out during `receiver --pty` and `receiver --chrony`: each says the unit was lost and
# that its pseudo-terminal or socket stays, waits, says the unit is back, and bytes and samples
# flow again in the same process, as on the simulator, where the same lines are printed.
. "$TAMRIK_VM_LIB/lib.sh"
mkdir -p /run/tamrik-test
# What the simulator says of the same unplug (its paths aside), taken before the unit is attached.
unplug_lines() { grep -E 'lost|trying again|is back' | sed "s/$1/UNIT/g; s/[^ ]*\/[^ ]*/PATH/g" | uniq; }
reference() {
  timeout -s INT 9 tamrikctl --simulate=1 --sim-faults unplug:SIM001@2500,replug:SIM001@5000 receiver "$@" 2>&1 >/dev/null |
    unplug_lines SIM001
}
said() { unplug_lines VM0051 < "$1"; }
sim_pty=$(reference --pty /run/tamrik-test/sim-gps)
sim_chrony=$(reference --chrony /run/tamrik-test/sim.sock)
[ -n "$sim_pty" ] && [ -n "$sim_chrony" ] || fail "the simulator said nothing of the unplug"
start_unit --serial VM0051
attach_unit
node=$(wait_hidraw 60)

# --pty: gpsd's side is a reader of the link.
sim=$sim_pty
timeout 300 tamrikctl --unit VM0051 receiver --pty /run/tamrik-test/gps 2>/tmp/pty.err &
bridge=$!
wait_for 60 test -L /run/tamrik-test/gps || fail "no link /run/tamrik-test/gps: $(cat /tmp/pty.err)"
wait_for 30 sh -c "[ \$(timeout 3 cat /run/tamrik-test/gps | head -c 100 | wc -c) -gt 0 ]" || fail "no bytes from the pty before the unplug"
detach_unit
wait_for 30 grep -q 'lost' /tmp/pty.err || fail "receiver --pty did not report the unplug: $(cat /tmp/pty.err)"
test -L /run/tamrik-test/gps || fail "the link went with the unit"
attach_unit
wait_hidraw 60 >/dev/null
wait_for 60 grep -q 'is back' /tmp/pty.err || fail "receiver --pty did not report the unit back: $(cat /tmp/pty.err)"
wait_for 30 sh -c "[ \$(timeout 3 cat /run/tamrik-test/gps | head -c 100 | wc -c) -gt 0 ]" || fail "no bytes from the pty after the unit came back"
kill -0 "$bridge" || fail "receiver --pty ended: $(cat /tmp/pty.err)"
kill -TERM "$bridge"; rc=0; wait "$bridge" || rc=$?
[ "$rc" = 0 ] || fail "receiver --pty ended with status $rc on SIGTERM"
test ! -e /run/tamrik-test/gps || fail "the link stayed after SIGTERM"
got=$(said /tmp/pty.err)
echo "pty, hidraw:"; echo "$got"; echo "pty, simulator:"; echo "$sim"
[ "$got" = "$sim" ] || fail "receiver --pty said otherwise than on the simulator: $(tr '\n' '|' <<<"$got")"

# --chrony: a socket that counts the samples, as chronyd's SOCK driver would take them.
sim=$sim_chrony
python3 - <<'PY' &
import os, socket, time
path = "/run/tamrik-test/chrony.sock"
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind(path)
s.settimeout(1)
end = time.time() + 200
with open("/tmp/samples", "w") as out:
    while time.time() < end and not os.path.exists("/tmp/samples.stop"):
        try:
            out.write("%d %d\n" % (time.time(), len(s.recv(200)))); out.flush()
        except socket.timeout:
            pass
os.unlink(path)
PY
sink=$!
wait_for 10 test -S /run/tamrik-test/chrony.sock || fail "the stand-in socket did not appear"
timeout 300 tamrikctl --unit VM0051 receiver --chrony /run/tamrik-test/chrony.sock 2>/tmp/chrony.err &
bridge=$!
wait_for 90 sh -c '[ -s /tmp/samples ]' || fail "no time sample before the unplug: $(cat /tmp/chrony.err)"
detach_unit
wait_for 30 grep -q 'lost' /tmp/chrony.err || fail "receiver --chrony did not report the unplug: $(cat /tmp/chrony.err)"
attach_unit
wait_hidraw 60 >/dev/null
wait_for 60 grep -q 'is back' /tmp/chrony.err || fail "receiver --chrony did not report the unit back: $(cat /tmp/chrony.err)"
back=$(date +%s)
wait_for 90 awk -v t="$back" '$1 > t { found = 1 } END { exit !found }' /tmp/samples || fail "no time sample after the unit came back"
kill -0 "$bridge" || fail "receiver --chrony ended: $(cat /tmp/chrony.err)"
kill -TERM "$bridge"; rc=0; wait "$bridge" || rc=$?
touch /tmp/samples.stop; wait "$sink" || true
[ "$rc" = 0 ] || fail "receiver --chrony ended with status $rc on SIGTERM"
got=$(said /tmp/chrony.err)
echo "chrony, hidraw:"; echo "$got"; echo "chrony, simulator:"; echo "$sim"
[ "$got" = "$sim" ] || fail "receiver --chrony said otherwise than on the simulator: $(tr '\n' '|' <<<"$got")"
pass "--pty and --chrony: lost, waiting, back, bytes and samples again in the same process, said as on the simulator"
