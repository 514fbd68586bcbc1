#!/bin/bash
# The packages' life on a running systemd: the 1.1.0 pair installed, the exporter and a bridge
# instance enabled and running, the upgrade to the new pair with apt (both restarted on the new
# program), apt remove (no tamrik process left), apt purge (no file of theirs left but those named
# below). It ends with the new pair installed again and nothing enabled, as the image was built,
# so that the scenarios after it find the machine as they expect. With the virtual unit a second
# bridge instance holds it (running, not enabled) and must be a new process on the new program
# after the upgrade, as the exporter.
. "$TAMRIK_VM_LIB/lib.sh"
new=$TAMRIK_VM_LIB/new-pair
old=$TAMRIK_VM_LIB/old-pair
bridge=tamrik-gps-bridge@TEST.service
held=tamrik-gps-bridge@VMLIFE.service
exporter=tamrik-exporter.service
apt_get() {
  DEBIAN_FRONTEND=noninteractive apt-get -y -q -o Dpkg::Use-Pty=0 --no-install-recommends "$@"
}
restore() {
  systemctl disable --now "$exporter" "$bridge" "$held" >/dev/null 2>&1 || true
  systemctl reset-failed "$bridge" "$exporter" "$held" >/dev/null 2>&1 || true
  stop_unit
  apt_get install --allow-downgrades "$new"/tamrikctl_*.deb "$new"/tamrik-config_*.deb >/dev/null 2>&1 || true
}
trap restore EXIT

show() { systemctl show -P "$2" "$1"; }
exe_of() { stat -L -c %d:%i "/proc/$1/exe" 2>/dev/null; }
tamrik_processes() { pgrep -a -f '^(/usr/bin/)?tamrik(ctl|-config)( |$)'; }

# From nothing: the image's pair purged first.
apt_get purge tamrik-config tamrikctl >/dev/null || fail "purging the image's packages failed"

# The 1.1.0 pair, where it can be installed: it was built on Debian 12 and names that release's
# libraries. Elsewhere the upgrade is the new pair over itself (the same maintainer scripts run,
# with the installed version as the one before).
from="" # empty: from 1.1.0
if ! apt_get install "$old"/tamrikctl_*.deb "$old"/tamrik-config_*.deb > /tmp/old-install.txt 2>&1; then
  cat /tmp/old-install.txt
  unmet=$(grep -o 'Depends: [^ ]*' /tmp/old-install.txt | sort -u | tr '\n' ' ')
  old_version=$(dpkg-deb -f "$(ls "$old"/tamrikctl_*.deb)" Version)
  [ "${old_version##*~deb}" != "${TAMRIK_VM_VERSION##*~deb}" ] || fail "the 1.1.0 pair of this release does not install: $unmet"
  from="the same version ($old_version cannot be installed on Debian $TAMRIK_VM_RELEASE: $unmet)"
  apt_get install "$new"/tamrikctl_*.deb "$new"/tamrik-config_*.deb >/dev/null || fail "installing the new pair failed"
fi
before_version=$(dpkg-query -W -f='${Version}' tamrikctl)
echo "installed: tamrikctl $before_version"

systemctl enable --now "$exporter" || fail "systemctl enable --now $exporter failed"
systemctl enable "$bridge" >/dev/null 2>&1 || fail "systemctl enable $bridge failed"
systemctl start --no-block "$bridge"
wait_for 20 sh -c "[ \"\$(systemctl show -P MainPID $exporter)\" != 0 ]" || fail "$exporter has no process"
exporter_pid=$(show "$exporter" MainPID)
exporter_exe=$(exe_of "$exporter_pid")
# The bridge finds no unit, ends with status 3 and is started again every 5 s.
wait_for 60 sh -c "[ \"\$(systemctl show -P NRestarts $bridge)\" -ge 1 ]" ||
  fail "$bridge was not started again after it found no unit: $(show "$bridge" ActiveState)/$(show "$bridge" SubState)"
journalctl -q -u "$bridge" -n 3 --no-pager | cat
held_pid=""
if [ -x "$VIRTUAL_UNIT" ]; then
  start_unit --serial VMLIFE
  attach_unit
  wait_hidraw 60 >/dev/null
  systemctl start "$held" || fail "$held did not start on the attached unit: $(journalctl -q -u "$held" -n 3 --no-pager | tr '\n' ' ')"
  held_pid=$(show "$held" MainPID)
  [ -L /run/tamrik/VMLIFE/gps ] || fail "$held runs without its link /run/tamrik/VMLIFE/gps"
fi

upgrade_started=$(cut -d' ' -f1 /proc/uptime | tr -d .)0000  # in microseconds, as systemd's monotonic stamps
apt_get install "$new"/tamrikctl_*.deb "$new"/tamrik-config_*.deb ${from:+--reinstall --allow-downgrades} > /tmp/upgrade.txt 2>&1 ||
  { cat /tmp/upgrade.txt; fail "the upgrade with apt failed"; }
after_version=$(dpkg-query -W -f='${Version}' tamrikctl)
[ "$after_version" = "$TAMRIK_VM_VERSION" ] || fail "after the upgrade tamrikctl is $after_version, not $TAMRIK_VM_VERSION"
new_exe=$(stat -c %d:%i /usr/bin/tamrikctl)

# The exporter: a new process, on the new file.
wait_for 30 sh -c "p=\$(systemctl show -P MainPID $exporter); [ \"\$p\" != 0 ] && [ \"\$p\" != $exporter_pid ]" ||
  fail "$exporter was not restarted by the upgrade (still PID $(show "$exporter" MainPID), state $(show "$exporter" ActiveState))"
exporter_new_pid=$(show "$exporter" MainPID)
[ "$(exe_of "$exporter_new_pid")" = "$new_exe" ] ||
  fail "$exporter (PID $exporter_new_pid) runs $(readlink "/proc/$exporter_new_pid/exe"), not the new /usr/bin/tamrikctl"
[ "$exporter_exe" != "$new_exe" ] || [ -n "$from" ] || fail "the upgrade left /usr/bin/tamrikctl as it was"
# The bridge: still enabled and still being tried, each try after the upgrade on the new file.
wait_for 30 sh -c "[ \"\$(systemctl show -P ExecMainStartTimestampMonotonic $bridge)\" -gt $upgrade_started ]" ||
  fail "$bridge was not started after the upgrade: $(show "$bridge" ActiveState)/$(show "$bridge" SubState)"
case "$(show "$bridge" ActiveState)" in
  activating | active | deactivating) ;;
  *) fail "$bridge is $(show "$bridge" ActiveState) after the upgrade, no longer tried" ;;
esac
if [ -n "$held_pid" ]; then
  wait_for 60 sh -c "p=\$(systemctl show -P MainPID $held); [ \"\$p\" != 0 ] && [ \"\$p\" != $held_pid ] && [ -L /run/tamrik/VMLIFE/gps ]" ||
    fail "$held was not restarted by the upgrade (PID $(show "$held" MainPID), was $held_pid; $(show "$held" ActiveState))"
  held_new_pid=$(show "$held" MainPID)
  [ "$(exe_of "$held_new_pid")" = "$new_exe" ] ||
    fail "$held (PID $held_new_pid) runs $(readlink "/proc/$held_new_pid/exe"), not the new /usr/bin/tamrikctl"
  echo "bridge on the unit: $held_pid -> $held_new_pid"
fi
# No process left on the old file.
stale=$(for pid in $(pgrep -x tamrikctl); do readlink "/proc/$pid/exe" | grep -q '(deleted)' && echo "$pid"; done)
[ -z "$stale" ] || fail "processes still on the replaced program after the upgrade: $stale"
echo "upgraded from $before_version: exporter $exporter_pid -> $exporter_new_pid, bridge started again at ${upgrade_started}"

# Removal stops them all.
apt_get remove tamrik-config tamrikctl > /tmp/remove.txt 2>&1 || { cat /tmp/remove.txt; fail "apt remove failed"; }
wait_for 20 sh -c '! pgrep -f "^(/usr/bin/)?tamrikctl( |$)"' ||
  fail "tamrik processes left after apt remove: $(tamrik_processes | tr '\n' ';')"
sleep 6  # longer than RestartSec: nothing comes back
left=$(tamrik_processes || true)
[ -z "$left" ] || fail "a tamrik process came back after apt remove: $left"
dpkg-query -W -f='${Status}\n' tamrikctl | grep -q 'config-files' || fail "tamrikctl is not in state config-files after remove"

# Purging forgets them: no file of the packages, no enablement link, nothing of theirs in dpkg's and
# deb-systemd-helper's records. What remains is listed with the reason it stays.
listed=$(for deb in "$new"/*.deb; do dpkg-deb -c "$deb"; done | awk '$1 !~ /^d/ {print substr($6, 2)}' | sort -u)
apt_get purge tamrik-config tamrikctl > /tmp/purge.txt 2>&1 || { cat /tmp/purge.txt; fail "apt purge failed"; }
for path in $listed; do
  [ ! -e "$path" ] && [ ! -L "$path" ] || fail "$path is left after apt purge"
done
remaining=$(find / -xdev \( -path /usr/local/lib/tamrik-vm -o -path /proc -o -path /sys \) -prune -o \
  -name '*tamrik*' -print 2>/dev/null; find /run -name '*tamrik*' 2>/dev/null)
# The machine's own test harness is not the packages'.
remaining=$(printf '%s\n' $remaining | grep -v -e 'tamrik-vm' -e 'tamrik-virtual-unit' || true)
kept=() unexpected=()
for path in $remaining; do
  case "$path" in
    /var/log/journal/*) kept+=("$path: the journal keeps the services' logs") ;;
    /run/*) kept+=("$path: runtime state, gone at the next boot") ;;
    /tmp/*) ;;
    *) unexpected+=("$path") ;;
  esac
done
printf 'kept after purge: %s\n' "${kept[@]+"${kept[@]}"}"
[ ${#unexpected[@]} -eq 0 ] || fail "left after apt purge: ${unexpected[*]}"
if [ "$(systemctl is-enabled "$exporter" 2>&1)" != not-found ] && systemctl cat "$exporter" >/dev/null 2>&1; then
  fail "$exporter is still known after purge"
fi

# Back to the image's state.
apt_get install "$new"/tamrikctl_*.deb "$new"/tamrik-config_*.deb > /tmp/reinstall.txt 2>&1 ||
  { cat /tmp/reinstall.txt; fail "installing the new pair again failed"; }
[ "$(dpkg-query -W -f='${Version}' tamrik-config)" = "$TAMRIK_VM_VERSION" ] || fail "tamrik-config is not at $TAMRIK_VM_VERSION at the end"
[ "$(systemctl is-enabled "$exporter" 2>&1)" = disabled ] || fail "$exporter is $(systemctl is-enabled "$exporter" 2>&1) after a fresh install"
trap stop_unit EXIT
pass "from ${from:-1.1.0 ($before_version)}: exporter and bridge${held_pid:+s (one on the virtual unit)} restarted on the new program, remove left no process, purge left ${#kept[@]} runtime/journal paths only"
