#!/bin/bash
# The receiver through the kernel's interrupt endpoint: a real receiver's capture replayed by the
# virtual unit gives `tamrikctl receiver` the same JSON lines as `--simulate --replay` of the same
# capture, and `record` keeps the same bytes: the capture, then the zeros that fill the report its
# end left unfull. A replay starts when the unit is first opened, by the kernel's first feature
# request or by a listing, before the program opens it to read: on the simulator that gap takes no
# time, through the emulated kernel some hundred milliseconds, and the bytes of that time go to
# nobody, as a real unit's would. So what arrives through hidraw may begin a little later in the
# capture (at most about two seconds' worth are allowed); from there on it must be the
# simulator's messages line for line and the capture's bytes byte for byte.
. "$TAMRIK_VM_LIB/lib.sh"
capture=$TAMRIK_VM_LIB/ubx/gpsd_ublox-neo-m8n.ubx
[ -f "$capture" ] || skip "no receiver capture in the image (the host had no ../shared/data/ubx)"
count=16
# The simulator first, with no unit attached (the virtual unit is SIM001 too): the whole capture.
timeout 120 tamrikctl --replay "$capture" --replay-fast receiver --duration 10 > /tmp/sim.json 2>/tmp/sim.err ||
  fail "the simulator's receiver failed: $(cat /tmp/sim.err)"
timeout 120 tamrikctl --replay "$capture" --replay-fast record /tmp/sim.ubx --duration 5 2>/tmp/sim.err ||
  fail "the simulator's record failed: $(cat /tmp/sim.err)"
[ "$(wc -l < /tmp/sim.json)" -gt $((count + 4)) ] || fail "the simulator decoded only $(wc -l < /tmp/sim.json) messages"

start_unit --replay "$capture"
attach_unit
wait_hidraw 60 >/dev/null
timeout 120 tamrikctl receiver --count $count > /tmp/hid.json 2>/tmp/hid.err || fail "receiver through hidraw failed: $(cat /tmp/hid.err)"
# Where the hidraw run begins in the simulator's: within the first two epochs.
skipped=$(python3 - /tmp/sim.json /tmp/hid.json <<'PY'
import sys
sim, hid = (open(f).read().splitlines() for f in sys.argv[1:3])
for k in range(5):
    if hid and hid == sim[k:k + len(hid)]:
        print(k); break
PY
)
if [ -z "$skipped" ] || [ "$(wc -l < /tmp/hid.json)" != $count ]; then
  diff /tmp/sim.json /tmp/hid.json | cut -c1-200 | head -n 10
  fail "receiver --count $count through hidraw: $(wc -l < /tmp/hid.json) lines, not a run of the simulator's"
fi
stop_unit

# The whole capture again from its start (the unit replays from when it is first opened).
start_unit --replay "$capture"
attach_unit
wait_hidraw 60 >/dev/null
size=$(stat -c %s "$capture")
seconds=$((size / 900 + 5))  # 9600 baud, and room
timeout $((seconds + 60)) tamrikctl record /tmp/hid.ubx --duration $seconds 2>/tmp/hid.err || fail "record through hidraw failed: $(cat /tmp/hid.err)"
# The bytes that arrived while nobody read were dropped with the reports that would have carried
# them, so the reader's first report may begin anywhere in the capture: from there on the record is
# the capture, byte for byte, and then only the zeros of the last report's fill.
skipped_bytes=$(python3 - "$capture" /tmp/hid.ubx <<'PY'
import sys
capture, hid = (open(f, "rb").read() for f in sys.argv[1:3])
k = capture.find(hid[:62])
if hid and 0 <= k < 2400:
    body, fill = hid[:len(capture) - k], hid[len(capture) - k:]
    if body == capture[k:] and len(fill) < 62 and fill.count(0) == len(fill):
        print(k)
        sys.exit(0)
print("hidraw's record (%d bytes) begins at byte %d of the capture (%d bytes) but does not follow it"
      % (len(hid), k, len(capture)), file=sys.stderr)
PY
)
[ -n "$skipped_bytes" ] || fail "record through hidraw ($(stat -c %s /tmp/hid.ubx) bytes) is not the capture from the first byte it got on, then the last report's fill"
cmp -s -n "$size" "$capture" /tmp/sim.ubx || fail "the simulator's record does not begin with the capture"
extra=$(($(stat -c %s /tmp/hid.ubx) + skipped_bytes - size))
pass "$count messages as JSON equal to the simulator's from message $((skipped + 1)); record: the capture byte for byte from byte $skipped_bytes, then $extra bytes of the last report's fill"
