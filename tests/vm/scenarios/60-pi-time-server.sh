#!/bin/bash
# README.md's "Raspberry Pi time server", run as it stands by the user pi (in plugdev, with sudo)
# on a unit whose serial is the guide's 1234: every indented shell line of the section but those
# for the build machine, with the package of this machine's architecture. Then: the packaged
# bridge runs and holds the unit under its sandbox; chronyd, confined by its AppArmor profile,
# reaches the TMRK source within a bounded number of polls, its offset inside the guide's
# calibration window; gpsd gives gpspipe TPV records through the bridge's pseudo-terminal.
. "$TAMRIK_VM_LIB/lib.sh"
readme=$TAMRIK_VM_LIB/README.md
bridge=tamrik-gps-bridge@1234.service
undo() {
  tamrikctl time-server undo >/dev/null 2>&1 || true
  systemctl disable --now "$bridge" >/dev/null 2>&1 || true
  systemctl stop gpsd.service gpsd.socket >/dev/null 2>&1 || true
  rm -f /etc/chrony/conf.d/allow-lan.conf
  systemctl daemon-reload
  systemctl restart chrony >/dev/null 2>&1 || true
  stop_unit
}
trap undo EXIT

# The guide's shell lines: the indented blocks of the section, less the build machine's block.
awk '/^## Raspberry Pi time server$/ { on = 1; next } on && /^## / { exit } on' "$readme" > /tmp/pi-section.md
[ -s /tmp/pi-section.md ] || fail "README.md has no section \"Raspberry Pi time server\""
awk '
  /^    / { block = block substr($0, 5) "\n"; next }
  /^$/ && block != "" { block = block "\n"; next }
  { if (block != "") { print block > ("/tmp/pi-block." ++n) }; block = "" }
  END { if (block != "") print block > ("/tmp/pi-block." ++n) }
' /tmp/pi-section.md
: > /tmp/pi-guide.sh
for block in /tmp/pi-block.*; do
  grep -q 'setup.sh package' "$block" && continue  # on the build machine
  cat "$block" >> /tmp/pi-guide.sh
done
arch=$(dpkg --print-architecture)
sed -i "s/_arm64\.deb/_${arch}.deb/g" /tmp/pi-guide.sh
grep -q 'time-server setup --unit 1234' /tmp/pi-guide.sh || fail "the guide's lines do not set the time server up: $(cat /tmp/pi-guide.sh)"
echo "--- the guide's lines"; cat /tmp/pi-guide.sh; echo "---"

id pi >/dev/null 2>&1 || useradd -m -s /bin/bash -G plugdev pi
echo 'pi ALL=(ALL) NOPASSWD: ALL' > /etc/sudoers.d/pi
cp "$TAMRIK_VM_LIB"/new-pair/tamrikctl_*.deb /home/pi/
chown pi: /home/pi/*.deb

start_unit --serial 1234
attach_unit
wait_hidraw 60 >/dev/null
# The guide as pi would type it, in pi's home, failing at the first line that fails.
(cd /home/pi && runuser -u pi -- env -i PATH=/usr/bin:/bin:/usr/sbin:/sbin HOME=/home/pi LANG=C.UTF-8 \
   timeout 300 bash -e -x /tmp/pi-guide.sh) > /tmp/pi-guide.log 2>&1 ||
  { cat /tmp/pi-guide.log; fail "the guide's lines failed: $(tail -n 1 /tmp/pi-guide.log)"; }
cat /tmp/pi-guide.log
grep -qx 'serial=1234' /tmp/pi-guide.log || fail "tamrikctl list as pi did not show the unit 1234"

# The bridge: running, on the unit, as a dynamic user, its link in place.
wait_for 60 test -L /run/tamrik/1234/gps || fail "$bridge made no /run/tamrik/1234/gps: $(journalctl -q -u "$bridge" -n 5 --no-pager | tr '\n' ' ')"
[ "$(systemctl show -P ActiveState "$bridge")" = active ] || fail "$bridge is $(systemctl show -P ActiveState "$bridge")"
pid=$(systemctl show -P MainPID "$bridge")
user=$(ps -o user= -p "$pid")
[ "$user" != root ] || fail "$bridge runs as root"
node=$(ls -l /proc/"$pid"/fd 2>/dev/null | grep -o '/dev/hidraw[0-9]*' | head -n 1)
[ -n "$node" ] || fail "$bridge (PID $pid) holds no hidraw node"
echo "bridge: PID $pid as $user, holding $node"

# chronyd: confined, reaching TMRK; each poll is 8 s (poll 3).
grep -q 'chronyd (enforce)' "/proc/$(pidof chronyd | cut -d' ' -f1)/attr/current" || fail "chronyd is not confined by its AppArmor profile"
tmrk() { chronyc -c sources 2>/dev/null | awk -F, '$3 == "TMRK"'; }
reached() { r=$(tmrk | cut -d, -f6); [ -n "$r" ] && [ "$r" != 0 ]; }
wait_for 150 reached || fail "chronyd did not reach TMRK within 150 s: $(chronyc sources 2>&1 | tr '\n' ' '); bridge: $(journalctl -q -u "$bridge" -n 5 --no-pager | tr '\n' ' ')"
wait_for 60 sh -c 'chronyc -c sourcestats | awk -F, "\$1 == \"TMRK\" && \$2 >= 4 { f = 1 } END { exit !f }"' ||
  fail "chronyd gathered fewer than 4 TMRK samples: $(chronyc sourcestats | tr '\n' ' ')"
chronyc sources -v | grep -E 'TMRK|MS Name' || true
chronyc sourcestats | grep -E 'TMRK|Name' || true
offset=$(chronyc -c sourcestats | awk -F, '$1 == "TMRK" { print $7 }')
# The guide's offset leaves the receiver's delay within a tenth of a second either way.
awk -v o="$offset" 'BEGIN { exit !(o > -0.1 && o < 0.1) }' || fail "TMRK's offset is $offset s, outside ±0.1 s"
aa_denied=$(journalctl -q -k --no-pager | grep -c 'apparmor="DENIED".*chronyd' || true)
[ "$aa_denied" = 0 ] || fail "AppArmor denied chronyd $aa_denied times: $(journalctl -q -k --no-pager | grep 'apparmor="DENIED"' | tail -n 2)"

# gpsd, through the bridge's pseudo-terminal.
wait_for 60 sh -c 'timeout 20 gpspipe -w -n 30 2>/dev/null | grep -q "\"class\":\"TPV\".*\"time\""' ||
  fail "gpspipe got no TPV with a time from gpsd: $(timeout 10 gpspipe -w -n 5 2>&1 | tr '\n' ' ' | cut -c1-300); gpsd: $(journalctl -q -u gpsd -n 5 --no-pager | tr '\n' ' ')"
tpv=$(timeout 20 gpspipe -w -n 30 | grep -m 1 '"class":"TPV"' | cut -c1-160)
pass "the guide's lines ran as pi; $bridge as $user on $node; chronyd (AppArmor enforcing) reaches TMRK, offset $offset s; gpspipe: $tpv"
