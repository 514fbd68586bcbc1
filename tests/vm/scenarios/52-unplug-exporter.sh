#!/bin/bash
# A unit pulled out while the exporter runs: tamrik_up and tamrik_unit_connected go to 0 and the
# disconnect is counted, then the unit is up again once attached, in the same process.
. "$TAMRIK_VM_LIB/lib.sh"
start_unit --serial VM0052
attach_unit
wait_hidraw 60 >/dev/null
timeout 300 tamrikctl exporter --listen 127.0.0.1:19400 2>/tmp/exporter.err &
exporter=$!
up() { [ "$(metric "$(metrics 127.0.0.1:19400 2>/dev/null)" tamrik_up VM0052)" = "$1" ]; }
wait_for 60 up 1 || fail "the exporter never served tamrik_up 1 for VM0052: $(metrics 127.0.0.1:19400 | grep -m 3 VM0052)"
detach_unit
wait_for 30 up 0 || fail "tamrik_up stayed $(metric "$(metrics 127.0.0.1:19400)" tamrik_up VM0052) after the unplug"
m=$(metrics 127.0.0.1:19400)
[ "$(metric "$m" tamrik_unit_connected VM0052)" = 0 ] || fail "tamrik_unit_connected is not 0 after the unplug"
[ "$(metric "$m" tamrik_unit_disconnects_total VM0052)" = 1 ] || fail "the unplug was not counted: $(metric "$m" tamrik_unit_disconnects_total VM0052)"
attach_unit
wait_hidraw 60 >/dev/null
wait_for 60 up 1 || fail "tamrik_up did not come back to 1 after the unit was attached again"
kill -0 "$exporter" || fail "the exporter ended: $(cat /tmp/exporter.err)"
kill -TERM "$exporter"; rc=0; wait "$exporter" || rc=$?
[ "$rc" = 0 ] || fail "the exporter ended with status $rc on SIGTERM"
pass "tamrik_up 1, 0 with tamrik_unit_connected 0 and one disconnect counted, 1 again, same process"
