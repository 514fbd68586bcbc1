#!/bin/bash
# The machine as booted: systemd reached multi-user.target with no unit failed, both packages are
# installed at the version built, chrony's AppArmor profile is enforced, and the kernel modules
# the virtual unit needs load.
. "$TAMRIK_VM_LIB/lib.sh"

[ "$(ps -o comm= -p 1)" = systemd ] || fail "PID 1 is $(ps -o comm= -p 1), not systemd"
check "multi-user.target is not active" systemctl is-active --quiet multi-user.target
failed=$(systemctl list-units --state=failed --no-legend --plain | awk '{print $1}' | tr '\n' ' ')
[ -z "$failed" ] || fail "failed units: $failed"

for package in tamrikctl tamrik-config; do
  got=$(dpkg-query -W -f='${Status} ${Version}' "$package" 2>/dev/null)
  [ "$got" = "install ok installed $TAMRIK_VM_VERSION" ] ||
    fail "$package: '$got', not 'install ok installed $TAMRIK_VM_VERSION'"
done
tamrikctl --version | head -n 1
check "tamrikctl --version does not name ${TAMRIK_VM_VERSION%%-*}" sh -c "tamrikctl --version | grep -q '${TAMRIK_VM_VERSION%%-*}'"
# The window's program links with Qt as installed (ldd names every library it finds).
missing=$(ldd /usr/bin/tamrik-config | grep 'not found' || true)
[ -z "$missing" ] || fail "tamrik-config lacks libraries: $missing"
# Installing enabled and started nothing.
[ "$(systemctl is-enabled tamrik-exporter.service 2>&1)" = disabled ] ||
  fail "tamrik-exporter.service is $(systemctl is-enabled tamrik-exporter.service 2>&1) after install"
! pgrep -x tamrikctl >/dev/null || fail "a tamrikctl runs after install"

check "AppArmor is not enabled in the kernel" aa-enabled --quiet
aa-status > /tmp/aa-status.txt 2>&1 || fail "aa-status failed: $(tail -n 1 /tmp/aa-status.txt)"
chrony_profile=$(sed -n '/profiles are in enforce mode/,/profiles are in/p' /tmp/aa-status.txt | grep -m 1 chronyd | tr -d ' ')
[ -n "$chrony_profile" ] || fail "chronyd's AppArmor profile is not enforced: $(grep -c . /tmp/aa-status.txt) lines of aa-status, none enforcing chronyd"
# And the chronyd that runs is confined by it.
if pid=$(pgrep -x chronyd | head -n 1); then
  label=$(cat "/proc/$pid/attr/current" 2>/dev/null || true)
  case "$label" in *chronyd*enforce*) ;; *) fail "chronyd runs as '$label', not under its enforced profile" ;; esac
fi

for module in vhci-hcd usbip-core uhid; do
  modprobe "$module" || fail "modprobe $module failed"
done
for module in vhci_hcd usbip_core uhid; do
  [ -d "/sys/module/$module" ] || fail "module $module is not loaded after modprobe"
done
[ -c /dev/uhid ] || fail "no /dev/uhid after loading uhid"
pass "systemd $(systemctl --version | head -n 1 | cut -d' ' -f2) at multi-user, $TAMRIK_VM_VERSION installed, $chrony_profile enforcing, vhci-hcd usbip-core uhid loaded"
