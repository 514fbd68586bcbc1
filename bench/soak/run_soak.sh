#!/usr/bin/env bash
# Soak run: starts tamrik-config under a virtual display on simulated units and reports its CPU use
# and memory at the start and at the end. Not a test: run it by hand and read the figures.
#
#   bench/soak/run_soak.sh [build-dir] [seconds] [program options...]
#
# Defaults: build, 600 s, --simulate=1 (one unit streaming at the receiver's full rate).
# Examples: idle polling without a unit: run_soak.sh build 120 --simulate=0
set -euo pipefail
build=${1:-build}; shift || true
seconds=${1:-600}; shift || true
options=("$@")
[ ${#options[@]} -eq 0 ] && options=(--simulate=1)
program="$build/app/tamrik-config"
[ -x "$program" ] || { echo "no $program: build first" >&2; exit 2; }

display=:$((90 + RANDOM % 9))
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null || true' EXIT
sleep 1

DISPLAY=$display "$program" "${options[@]}" >/dev/null 2>&1 &
pid=$!
trap 'kill $pid 2>/dev/null || true; kill $xvfb 2>/dev/null || true' EXIT

ticks=$(getconf CLK_TCK)
cpu_seconds() { awk -v t="$ticks" '{print ($14 + $15) / t}' "/proc/$pid/stat"; }
rss_kib() { awk '/VmRSS/ {print $2}' "/proc/$pid/status"; }

warmup=10
sleep "$warmup"
cpu0=$(cpu_seconds); rss0=$(rss_kib); t0=$(date +%s.%N)
printf 'start (after %ss warm-up): RSS %s KiB\n' "$warmup" "$rss0"
half=$((seconds / 2))
sleep "$half"
printf 'middle: RSS %s KiB\n' "$(rss_kib)"
sleep $((seconds - half))
cpu1=$(cpu_seconds); rss1=$(rss_kib); t1=$(date +%s.%N)
kill "$pid"
wait "$pid" 2>/dev/null || true
awk -v c0="$cpu0" -v c1="$cpu1" -v t0="$t0" -v t1="$t1" -v r0="$rss0" -v r1="$rss1" -v opts="${options[*]}" 'BEGIN {
  wall = t1 - t0
  printf "options: %s\nwall %.0f s, CPU %.1f s = %.2f %% of one core\nRSS start %d KiB, end %d KiB, change %+d KiB\n",
         opts, wall, c1 - c0, 100 * (c1 - c0) / wall, r0, r1, r1 - r0
}'
