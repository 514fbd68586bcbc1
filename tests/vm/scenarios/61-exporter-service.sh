#!/bin/bash
# The packaged exporter service: enabled and started with systemctl, it serves /metrics on
# 127.0.0.1:19347 with tamrik_up 1 for the unit, running as its dynamic user in plugdev; after an
# unplug it reports the unit away (tamrik_up 0, tamrik_unit_connected 0).
. "$TAMRIK_VM_LIB/lib.sh"
service=tamrik-exporter.service
undo() { systemctl disable --now "$service" >/dev/null 2>&1 || true; stop_unit; }
trap undo EXIT
start_unit --serial VM0061
attach_unit
wait_hidraw 60 >/dev/null
systemctl enable --now "$service" || fail "systemctl enable --now $service failed"
up() { [ "$(metric "$(metrics 2>/dev/null)" tamrik_up VM0061)" = "$1" ]; }
wait_for 60 up 1 || fail "/metrics has no tamrik_up 1 for VM0061: $(metrics 2>&1 | grep -m 3 -e VM0061 -e metrics:); $(journalctl -q -u "$service" -n 3 --no-pager | tr '\n' ' ')"
pid=$(systemctl show -P MainPID "$service")
user=$(ps -o user= -p "$pid")
[ "$user" != root ] || fail "$service runs as root"
awk -v g="$(getent group plugdev | cut -d: -f3)" '$1 == "Groups:" { for (i = 2; i <= NF; i++) if ($i == g) f = 1 } END { exit !f }' "/proc/$pid/status" ||
  fail "$service is not in plugdev: $(grep ^Groups: "/proc/$pid/status")"
detach_unit
wait_for 30 up 0 || fail "tamrik_up for VM0061 stayed $(metric "$(metrics)" tamrik_up VM0061) after the unplug"
[ "$(metric "$(metrics)" tamrik_unit_connected VM0061)" = 0 ] || fail "tamrik_unit_connected is not 0 after the unplug"
[ "$(systemctl show -P MainPID "$service")" = "$pid" ] || fail "$service was restarted by the unplug"
pass "$service as $user (plugdev): tamrik_up 1 for VM0061, then 0 and tamrik_unit_connected 0 after the unplug, same process"
