#!/usr/bin/env bash
# Set-up, build, run and test on Debian 12.
#
#   ./setup.sh run [program options]  install what is missing, build, start the program on simulated
#                                     units (add real units by plugging them in)
#   ./setup.sh test                   install what is missing, build, run every test headless
#
# Run as root, or as a user who may use sudo: missing Debian packages are installed with apt-get.
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev libhidapi-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  fonts-liberation2
  xdg-utils desktop-file-utils
  xvfb xdotool imagemagick x11-utils python3
  clang libclang-rt-14-dev
  udev
)

install_missing() {
  local missing=()
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

build() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$(nproc)"
}

case "${1:-}" in
  run)
    shift
    install_missing
    build build -DCMAKE_BUILD_TYPE=RelWithDebInfo
    if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
      echo "No display found: starting on a virtual one (xvfb-run)." >&2
      exec xvfb-run -a build/app/tamrik-config --simulate "$@"
    fi
    exec build/app/tamrik-config --simulate "$@"
    ;;
  test)
    shift
    install_missing
    build build -DCMAKE_BUILD_TYPE=RelWithDebInfo
    export QT_QPA_PLATFORM=offscreen
    ctest --test-dir build --output-on-failure -j 2 "$@"
    ;;
  *)
    sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'
    exit 2
    ;;
esac
