#!/bin/bash
# A unit that stops answering feature requests: the kernel's own timeout for the control transfer
# ends tamrikctl's request, which fails with status 4 and the unit's name, as on the simulator;
# once the unit answers again, so does tamrikctl, and the refused command changed nothing.
. "$TAMRIK_VM_LIB/lib.sh"
sim=$(timeout 60 tamrikctl --simulate=1 --sim-faults no-answer:SIM001 output off 2>&1 >/dev/null)
[ -n "$sim" ] || fail "the simulator said nothing of a silent unit: nothing to compare with"
start_unit --serial VM0053
attach_unit
wait_hidraw 60 >/dev/null
timeout 60 tamrikctl status >/dev/null 2>&1 || fail "status failed before the stall"
unit_signal RTMIN
started=$(date +%s%N)
rc=0
err=$(timeout 120 tamrikctl output off 2>&1 >/dev/null) || rc=$?
took=$((($(date +%s%N) - started) / 1000000))
echo "hidraw: status $rc after $took ms: $err"
echo "simulator: $sim"
[ "$rc" = 4 ] || fail "output off on a silent unit ended with status $rc, not 4: $err"
[ "$(wc -l <<<"$err")" = 1 ] || fail "more than one line on stderr: $err"
[ "${err//VM0053/SIM001}" = "$sim" ] || fail "said otherwise than on the simulator: $err"
[ "$took" -ge 4000 ] || fail "ended after $took ms: not the kernel's 5 s timeout"
unit_signal RTMIN+1
out=$(timeout 60 tamrikctl status 2>&1) || fail "status failed after the unit answered again: $(tail -n 1 <<<"$out")"
grep -qx 'output_enabled=1' <<<"$out" || fail "the unanswered command changed the output"
out=$(timeout 60 tamrikctl output off 2>&1) || fail "output off failed after the unit answered again: $out"
pass "silent unit: status 4 after $took ms (the kernel's timeout), the simulator's words; answering again: status and output off work"
