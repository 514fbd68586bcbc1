#!/bin/bash
# Access rights through udev, never root: the attached unit's node is root:plugdev 0660, so a member
# of plugdev lists the unit and reads it, and a user outside the group is told the unit "may not be
# opened by this user" (list: on standard error; a command on the unit: status 3).
. "$TAMRIK_VM_LIB/lib.sh"
start_unit --serial VM0040
attach_unit
node=$(wait_hidraw 60)
member=$(user_in_plugdev)
outsider=$(user_outside)
[ "$(stat -c %G:%a "$node")" = plugdev:660 ] || fail "$node is $(stat -c %U:%G:%a "$node"), not root:plugdev 0660"

list=$(as_user "$member" timeout 60 tamrikctl list 2>&1) || fail "tamrikctl list as $member (plugdev) failed: $list"
grep -qx 'serial=VM0040' <<<"$list" && grep -qx 'usable=1' <<<"$list" ||
  fail "tamrikctl list as $member does not show VM0040 usable: $(tr '\n' ' ' <<<"$list")"
status=$(as_user "$member" timeout 60 tamrikctl --unit VM0040 status --wait 10 2>&1) ||
  fail "tamrikctl status as $member failed: $(tail -n 1 <<<"$status")"
grep -qx 'output_hz=10000000' <<<"$status" || fail "status as $member shows no output frequency: $(tr '\n' ' ' <<<"$status")"

rc=0
out=$(as_user "$outsider" timeout 60 tamrikctl list 2>/tmp/list.err) || rc=$?
err=$(cat /tmp/list.err)
echo "list as $outsider: status $rc, stdout '$out', stderr '$err'"
[ "$rc" = 0 ] || fail "tamrikctl list as $outsider ended with status $rc: $err"
[ -z "$out" ] || fail "tamrikctl list as $outsider listed a unit it cannot open: $out"
[ "$err" = "tamrikctl list: unit VM0040 is attached but may not be opened by this user (Permission denied)" ] ||
  fail "tamrikctl list as $outsider said: $err"
rc=0
err=$(as_user "$outsider" timeout 60 tamrikctl --unit VM0040 output off 2>&1 >/dev/null) || rc=$?
[ "$rc" = 3 ] || fail "tamrikctl output off as $outsider ended with status $rc, not 3: $err"
[ "$(wc -l <<<"$err")" = 1 ] && grep -q 'unit VM0040 is attached but may not be opened by this user' <<<"$err" ||
  fail "tamrikctl output off as $outsider said: $err"
# The refusal changed nothing: the member still reads the output on.
status=$(as_user "$member" timeout 60 tamrikctl --unit VM0040 status 2>&1) || fail "status as $member failed afterwards"
grep -qx 'output_enabled=1' <<<"$status" || fail "the output is no longer on after the refused command"
pass "$member (plugdev) lists and reads VM0040; $outsider is told it may not be opened (list: status 0, output off: status 3), nothing changed"
