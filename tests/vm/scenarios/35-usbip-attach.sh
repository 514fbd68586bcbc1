#!/bin/bash
# The counterpart of uhid-smoke, and the helpers the unit's scenarios stand on: the virtual unit
# attached over USB/IP is a USB device to the kernel, so 70-tamrik.rules gives its hidraw node to
# plugdev (0660, tagged uaccess); tamrikctl finds it; detached, the node goes away.
. "$TAMRIK_VM_LIB/lib.sh"
start_unit --serial VM0001
attach_unit
node=$(wait_hidraw 60)
echo "attached: $node"
udevadm info --attribute-walk "$node" | grep -q 'ATTRS{idVendor}=="1dd2"' || fail "$node has no USB parent with idVendor 1dd2"
[ "$(stat -c %G:%a "$node")" = plugdev:660 ] || fail "$node is $(stat -c %U:%G:%a "$node"), not root:plugdev 0660: the rule did not apply"
udevadm info --query=property "$node" | grep -q '^CURRENT_TAGS=.*:uaccess:' || fail "$node is not tagged uaccess"
list=$(timeout 60 tamrikctl list 2>&1) || fail "tamrikctl list failed: $(echo "$list" | tail -n 1)"
echo "$list"
grep -q VM0001 <<<"$list" || fail "tamrikctl list does not name VM0001: $(echo "$list" | tr '\n' ' ')"
detach_unit
wait_for 30 test ! -e "$node" || fail "$node stayed after usbip detach"
pass "$node root:plugdev 0660 with uaccess over vhci-hcd, listed by tamrikctl as VM0001, gone after detach"
