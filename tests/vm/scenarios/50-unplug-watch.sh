#!/bin/bash
# A unit pulled out during `tamrikctl watch`, twice: once by the kernel's side (usbip detach, the
# port empties), once by the unit's (the virtual unit drops its USB/IP connection on SIGUSR1 and is
# exported again on SIGUSR2). Each time watch says unit_disconnected, then unit_connected once the
# unit is attached again, as it does on the simulator, and never ends by itself.
. "$TAMRIK_VM_LIB/lib.sh"
start_unit --serial VM0050
attach_unit
node=$(wait_hidraw 60)
log=/tmp/watch.log
timeout 300 tamrikctl --unit VM0050 watch > "$log" 2>/tmp/watch.err &
watch_pid=$!
events() { grep -c "event=$1 " "$log"; }
wait_for 60 grep -q 'event=state connected=1' "$log" || fail "watch printed no connected state: $(cat "$log" /tmp/watch.err)"

detach_unit
wait_for 30 test ! -e "$node" || fail "$node stayed after usbip detach"
wait_for 30 sh -c "[ \$(grep -c 'event=unit_disconnected ' $log) -ge 1 ]" || fail "watch did not report the detach: $(tail -n 3 "$log")"
attach_unit
node=$(wait_hidraw 60)
wait_for 60 sh -c "[ \$(grep -c 'event=unit_connected ' $log) -ge 1 ]" || fail "watch did not report the unit back: $(tail -n 3 "$log")"

unit_signal USR1
wait_for 30 test ! -e "$node" || fail "$node stayed after the unit dropped its connection"
wait_for 30 sh -c "[ \$(grep -c 'event=unit_disconnected ' $log) -ge 2 ]" || fail "watch did not report the unit's unplug: $(tail -n 3 "$log")"
unit_signal USR2
wait_for 30 unit_exported || fail "the unit was not exported again after SIGUSR2"
attach_unit
wait_hidraw 60 >/dev/null
wait_for 60 sh -c "[ \$(grep -c 'event=unit_connected ' $log) -ge 2 ]" || fail "watch did not report the unit back after the replug: $(tail -n 3 "$log")"
kill -0 "$watch_pid" 2>/dev/null || fail "watch ended: $(cat /tmp/watch.err)"
kill -TERM "$watch_pid"
rc=0; wait "$watch_pid" || rc=$?
cat "$log"
[ "$rc" = 0 ] || fail "watch ended with status $rc on SIGTERM: $(cat /tmp/watch.err)"
last=$(grep 'event=unit_connected ' "$log" | tail -n 1)
grep -q 'disconnects=2 ' <<<"$last" || fail "watch counted otherwise than two disconnects: $last"
pass "watch: unit_disconnected and unit_connected for a usbip detach and for the unit's own unplug, disconnects=2, status 0 on SIGTERM"
