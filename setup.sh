#!/usr/bin/env bash
# Set-up, build, run and test on Debian 12.
#
#   ./setup.sh run [program options]  install what is missing, build, start the program on simulated
#                                     units (add real units by plugging them in)
#   ./setup.sh test                   install what is missing, build, run every test headless
#   ./setup.sh package                build the Debian package dist/tamrik-config_<version>_<arch>.deb
#   ./setup.sh screenshots            run the end-to-end window test and copy its screenshots of the
#                                     narrow and the wide window into docs/ (the README's pictures)
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
  xvfb xdotool imagemagick x11-utils python3 python3-prometheus-client
  clang libclang-rt-14-dev
  udev
  gpsd gpsd-clients gpsd-tools
  dpkg-dev lintian appstream man-db groff-base librsvg2-bin
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
  package)
    shift
    install_missing
    # A release build with Debian's compiler and linker flags (hardening included), without the
    # tests and benchmarks; CPack then packs what `cmake --install` would put in place.
    export DEB_BUILD_MAINT_OPTIONS=hardening=+all
    build build-package -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMRIK_BUILD_TESTS=OFF -DTAMRIK_BUILD_BENCH=OFF \
      "-DCMAKE_CXX_FLAGS=$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
      "-DCMAKE_EXE_LINKER_FLAGS=$(dpkg-buildflags --get LDFLAGS)"
    rm -rf build-package/cpack
    cpack --config build-package/CPackConfig.cmake -B build-package/cpack
    mkdir -p dist
    for deb in build-package/cpack/*.deb; do
      cp "$deb" dist/
      echo "dist/$(basename "$deb")"
    done
    ;;
  screenshots)
    shift
    install_missing
    cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build build -j "$(nproc)" --target tamrik-config
    python3 tests/e2e/window_e2e.py --program build/app/tamrik-config --artifacts build/test-artifacts --docs docs
    ;;
  *)
    sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//'
    exit 2
    ;;
esac
