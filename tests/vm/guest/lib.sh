# Helpers for the scenarios (bash): source "$TAMRIK_VM_LIB/lib.sh".
#
#   pass|skip|fail REASON        end the scenario with that result and one line of reason
#   check DESCRIPTION COMMAND... run COMMAND; fail with DESCRIPTION when it fails
#   wait_for SECONDS COMMAND...  poll COMMAND every 0.2 s until it succeeds; status 1 when time ran out
#   load_unit_modules            the kernel modules the virtual unit needs: vhci-hcd, usbip-core, uhid
#   need_virtual_unit            skip unless tamrik-virtual-unit is installed
#   start_unit [ARGS...]         start tamrik-virtual-unit on 127.0.0.1:3240, wait until it listens
#   attach_unit                  usbip attach -r 127.0.0.1 -b 1-1
#   wait_hidraw [SECONDS]        print the unit's /dev/hidrawN once it is there (bounded)
#   detach_unit                  usbip detach of every attached port
#   unit_gone                    status 0 while the unit has no hidraw node (for wait_for)
#   unit_exported                status 0 while the virtual unit offers bus ID 1-1 (for wait_for)
#   stop_unit                    detach, then end the virtual unit
#   unit_signal SIGNAL           send the virtual unit SIGNAL (USR1 unplug, USR2 plug in, RTMIN stall)
#   user_in_plugdev, user_outside  make (once) and name a user in plugdev and one outside it
#   as_user USER COMMAND...      run COMMAND as USER, without root's environment
#   metrics [ADDR:PORT]          print the exporter's /metrics (default 127.0.0.1:19347), bounded
#   metric TEXT NAME SERIAL      the value of NAME{serial="SERIAL"} in TEXT, or nothing
# Whatever a scenario starts is ended when it exits (cleanup runs on EXIT).
set -u
UNIT_VENDOR=1dd2
UNIT_PRODUCT=2211
UNIT_HID_ID=0003:00001DD2:00002211
VIRTUAL_UNIT=${TAMRIK_VIRTUAL_UNIT:-/usr/local/bin/tamrik-virtual-unit}
_unit_pid=""

pass() { echo "REASON: $*"; exit 0; }
skip() { echo "REASON: $*"; exit 77; }
fail() { echo "REASON: $*"; exit 1; }
check() {
  local what=$1; shift
  "$@" || fail "$what"
}
wait_for() {
  local seconds=$1; shift
  local end=$((SECONDS + seconds))
  while ! "$@" >/dev/null 2>&1; do
    [ "$SECONDS" -lt "$end" ] || return 1
    sleep 0.2
  done
}

load_unit_modules() {
  local m
  for m in vhci-hcd usbip-core uhid; do
    modprobe "$m" || fail "modprobe $m failed"
  done
}

need_virtual_unit() {
  [ -x "$VIRTUAL_UNIT" ] || skip "needs tamrik-virtual-unit"
}

_listening_3240() {
  # 3240 is 0x0CA8; state 0A is LISTEN.
  grep -q ':0CA8 00000000:0000 0A' /proc/net/tcp /proc/net/tcp6 2>/dev/null
}
start_unit() {
  need_virtual_unit
  load_unit_modules
  "$VIRTUAL_UNIT" "$@" &
  _unit_pid=$!
  wait_for 30 _listening_3240 || fail "tamrik-virtual-unit did not listen on port 3240 within 30 s"
}
attach_unit() {
  usbip attach -r 127.0.0.1 -b 1-1 || fail "usbip attach -r 127.0.0.1 -b 1-1 failed"
}
_unit_hidraw() {
  local uevent
  for uevent in /sys/class/hidraw/hidraw*/device/uevent; do
    [ -e "$uevent" ] || continue
    if grep -qx "HID_ID=$UNIT_HID_ID" "$uevent"; then
      uevent=${uevent%/device/uevent}
      [ -c "/dev/${uevent##*/}" ] && { echo "/dev/${uevent##*/}"; return 0; }
    fi
  done
  return 1
}
unit_gone() { ! _unit_hidraw >/dev/null; }
unit_exported() { usbip list -r 127.0.0.1 2>/dev/null | grep -q " 1-1:"; }
wait_hidraw() {
  local seconds=${1:-30}
  wait_for "$seconds" _unit_hidraw || fail "no hidraw node of $UNIT_VENDOR:$UNIT_PRODUCT within $seconds s"
  udevadm settle --timeout=30 || true
  _unit_hidraw
}
detach_unit() {
  local port
  for port in $(usbip port 2>/dev/null | sed -n 's/^Port \([0-9]*\):.*/\1/p'); do
    usbip detach -p "$port" >/dev/null 2>&1 || true
  done
}
stop_unit() {
  detach_unit
  if [ -n "$_unit_pid" ]; then
    kill "$_unit_pid" 2>/dev/null || true
    wait_for 10 sh -c "! kill -0 $_unit_pid" || kill -9 "$_unit_pid" 2>/dev/null || true
    wait "$_unit_pid" 2>/dev/null || true
    _unit_pid=""
  fi
}
unit_signal() {
  [ -n "$_unit_pid" ] || fail "no virtual unit to send SIG$1"
  kill -s "$1" "$_unit_pid" || fail "kill -s $1 of the virtual unit failed"
}

user_in_plugdev() {
  id alice >/dev/null 2>&1 || useradd -m -s /bin/bash -G plugdev alice
  echo alice
}
user_outside() {
  id bob >/dev/null 2>&1 || useradd -m -s /bin/bash bob
  echo bob
}
as_user() {
  local user=$1; shift
  runuser -u "$user" -- env -i PATH=/usr/bin:/bin HOME="/home/$user" "$@"
}

metrics() {
  python3 - "${1:-127.0.0.1:19347}" <<'PY'
import sys, urllib.request
try:
    print(urllib.request.urlopen("http://%s/metrics" % sys.argv[1], timeout=10).read().decode(), end="")
except Exception as e:
    sys.exit("metrics: %s" % e)
PY
}
metric() {
  printf '%s\n' "$1" | awk -v want="$2{serial=\"$3\"}" '$1 == want { print $2 }'
}

trap 'stop_unit' EXIT
