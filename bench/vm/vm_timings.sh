#!/usr/bin/env bash
# Times of tests/vm/vm-test, not a test: the image built cold (an empty cache of its own: mmdebstrap
# downloads and installs every package), then the same run again with that image cached, each with
# its boot and scenarios. Prints both at the end.
#
#   bench/vm/vm_timings.sh [12|13] [--debs DIR] [--cached-only]
#
# The cold run uses a cache folder of its own under /var/tmp (removed afterwards), never the CI
# cache; --cached-only measures a run on the CI cache alone.
set -euo pipefail
cd "$(dirname "$0")/../.."
release=13 debs=() cached_only=0
while [ $# -gt 0 ]; do
  case "$1" in
    12 | 13) release=$1; shift ;;
    --debs) debs=(--debs "$2"); shift 2 ;;
    --cached-only) cached_only=1; shift ;;
    *) echo "usage: bench/vm/vm_timings.sh [12|13] [--debs DIR] [--cached-only]" >&2; exit 2 ;;
  esac
done
out=$(mktemp -d /var/tmp/tamrik-vm-bench.XXXXXX)
trap 'rm -rf "$out"' EXIT
old_pair=$(.ci/old-release 1.1.0)
run() {  # run LABEL [environment...]: one vm-test, its timings kept as LABEL
  local label=$1; shift
  local started=$SECONDS
  env "$@" tests/vm/vm-test "$release" ${debs[@]+"${debs[@]}"} --timings "$out/$label" || echo "($label: vm-test failed)"
  echo "total $((SECONDS - started))" >> "$out/$label"
}
if [ "$cached_only" = 0 ]; then
  mkdir -p "$out/cache"
  # The 1.1.0 pair where the cold cache expects it, so that only the image is cold.
  mkdir -p "$out/cache/$(basename "$old_pair")"
  cp "$old_pair"/*.deb "$out/cache/$(basename "$old_pair")/"
  run cold TAMRIK_CI_CACHE="$out/cache"
  run cached TAMRIK_CI_CACHE="$out/cache"
else
  run cached
fi
echo
echo "Debian $release, seconds:"
for label in cold cached; do
  [ -f "$out/$label" ] || continue
  echo "  $label:"
  sed 's/^/    /' "$out/$label"
done
