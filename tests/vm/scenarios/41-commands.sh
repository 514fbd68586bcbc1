#!/bin/bash
# The changing commands through hidraw, usbhid and vhci-hcd: each command of the golden file that
# pins them on the simulator (tests/golden/data/tamrikctl_commands.frames) runs on the virtual unit,
# which records every feature report it takes by SET_REPORT; what tamrikctl prints (its read-back
# of the unit) and what the unit took must equal the file line for line, byte for byte. Then the
# unit's identity as the kernel passes it on: manufacturer, product and serial as UTF-16 string
# descriptors with code units above 0x7F (and above 0xFF), the firmware version as bcdDevice, shown
# by list and status as on the simulator with the same strings.
. "$TAMRIK_VM_LIB/lib.sh"
golden=$TAMRIK_VM_LIB/golden/tamrikctl_commands.frames
[ -f "$golden" ] || fail "no $golden in the image"
frames=/tmp/frames.txt
: > "$frames"
start_unit --record-frames "$frames"
attach_unit
wait_hidraw 60 >/dev/null

# One block per command: "$ ARGS", then "> " lines printed, then the frames.
commands=0 args=()
while IFS= read -r line; do
  case "$line" in
    '$ '*) args+=("${line#\$ }") ;;
  esac
done < "$golden"
for command in "${args[@]}"; do
  expected=$(awk -v c="\$ $command" '$0 == c { on = 1; next } /^\$ / { on = 0 } on' "$golden")
  before=$(wc -l < "$frames")
  # shellcheck disable=SC2086 # the arguments are words
  out=$(timeout 60 tamrikctl $command 2>/tmp/err) || fail "tamrikctl $command failed: $(cat /tmp/err)"
  sleep 0.2
  got=$( { sed 's/^/> /' <<<"$out"; tail -n +$((before + 1)) "$frames"; } )
  if [ "$got" != "$expected" ]; then
    diff <(echo "$expected") <(echo "$got") | head -n 20
    fail "tamrikctl $command through hidraw differs from the simulator's (see the diff above)"
  fi
  commands=$((commands + 1))
  if [ "${command%% *}" = set-serial ]; then
    # The unit takes its new serial, drops off the bus and comes back 1.5 s later as a new device;
    # over USB/IP that is a new export, attached again as a host would enumerate it.
    wait_for 30 unit_gone || fail "the unit stayed attached after set-serial"
    wait_for 30 unit_exported || fail "the unit was not exported again after set-serial"
    detach_unit
    attach_unit
    wait_hidraw 60 >/dev/null
    list=$(timeout 60 tamrikctl list 2>&1)
    grep -qx "serial=${command#set-serial }" <<<"$list" || fail "after set-serial the unit is listed as: $(tr '\n' ' ' <<<"$list")"
  fi
done
[ "$commands" -ge 8 ] || fail "only $commands commands in $golden"
stop_unit

# The identity: the simulator's "wide strings" are these (each serial character moved up by 0x100).
manufacturer='Tamrik Łódź' product='GPS – Ω Reference' serial='œŉōİİı'
sim_list=$(timeout 60 tamrikctl --simulate=1 --sim-faults wide-strings:SIM001,firmware:SIM001=0x0131 list 2>&1) ||
  fail "the simulator's list failed: $sim_list"
start_unit --manufacturer "$manufacturer" --product "$product" --serial "$serial" --firmware 0x0131
attach_unit
node=$(wait_hidraw 60)
# (udevadm's attribute walk leaves out values beyond ASCII: sysfs is read directly.)
usb=$(grep -l "^$UNIT_VENDOR\$" /sys/bus/usb/devices/*/idVendor | head -n 1)
echo "the kernel's strings: $(for a in manufacturer product serial bcdDevice; do printf '%s=%s ' "$a" "$(cat "${usb%/idVendor}/$a" 2>/dev/null)"; done)"
list=$(timeout 60 tamrikctl list 2>&1) || fail "tamrikctl list failed: $list"
if [ "$list" != "$sim_list" ]; then
  diff <(echo "$sim_list") <(echo "$list")
  fail "list through hidraw shows the identity otherwise than the simulator: $(tr '\n' ' ' <<<"$list")"
fi
status=$(timeout 60 tamrikctl status 2>&1 | head -n 4)
[ "$status" = "$(head -n 4 <<<"$sim_list")" ] || fail "status shows the identity as: $(tr '\n' ' ' <<<"$status")"
pass "$commands commands: read-back and frames equal the golden file; identity with wide strings and firmware 0x0131 as on the simulator ($(sed -n 2p <<<"$list"))"
