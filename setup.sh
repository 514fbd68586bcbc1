#!/usr/bin/env bash
# Set-up, build, run and test on Debian 12.
#
#   ./setup.sh run [program options]  install what is missing, build, start the program on simulated
#                                     units (add real units by plugging them in)
#   ./setup.sh test                   install what is missing, build, run every test headless, then
#                                     cross-build for Windows and run the Windows tests under Wine
#                                     (TAMRIK_WINDOWS_TESTS=0 leaves the Windows part out)
#   ./setup.sh package                build the Debian package dist/tamrik-config_<version>_<arch>.deb
#   ./setup.sh windows                cross-build for Windows (MinGW-w64), build the installer
#                                     dist/tamrik-config-<version>-setup.exe and the portable zip
#                                     dist/tamrik-config-<version>-windows-x64.zip, run the Windows
#                                     tests under Wine
#   ./setup.sh screenshots            run the end-to-end window tests and copy their screenshots of the
#                                     narrow, the wide and the Satellites window into docs/ (the
#                                     README's pictures)
#
# Run as root, or as a user who may use sudo: missing Debian packages are installed with apt-get.
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev libhidapi-dev libcpp-httplib-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  fonts-liberation2
  xdg-utils desktop-file-utils
  xvfb xdotool imagemagick x11-utils python3 python3-prometheus-client
  clang libclang-rt-14-dev
  udev
  gpsd gpsd-clients gpsd-tools chrony
  prometheus
  dpkg-dev lintian appstream man-db groff-base librsvg2-bin patch
)

# The Windows build: Debian's MinGW-w64 cross compilers (POSIX threads), Wine to run the programs and
# tests, NSIS for the installer. GoogleTest comes as sources with libgtest-dev and libgmock-dev.
WINDOWS_PACKAGES=(
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
  wine wine64
  nsis
)

install_missing() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# The programs and tests of run, test and windows are built without debug information: it would
# take a third of the build's time, and the package (package) is built with it on its own.
# Optimised as the package is (-O2), not with CMake's Release default of -O3.
BUILD_TYPE=(-DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG" "-DCMAKE_C_FLAGS_RELEASE=-O2 -DNDEBUG")

build() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$(nproc)"
}

# The Windows build in build-windows (preset windows). Its tests compare tamrikctl.exe with the
# Linux build's tamrikctl, so that one is built first.
build_windows() {
  # The Windows tests compare tamrikctl.exe and tamrik-config.exe with the Linux programs.
  [ -x build/app/tamrikctl/tamrikctl ] && [ -x build/app/tamrik-config ] || {
    cmake -S . -B build -G Ninja "${BUILD_TYPE[@]}" >/dev/null
    cmake --build build -j "$(nproc)" --target tamrikctl tamrik-config
  }
  cmake --preset windows "${BUILD_TYPE[@]}" "$@" >/dev/null
  cmake --build build-windows -j "$(nproc)"
}

run_windows_tests() {
  echo "Windows tests (under Wine):"
  ctest --test-dir build-windows --output-on-failure -j 2 "$@"
}

case "${1:-}" in
  run)
    shift
    install_missing "${PACKAGES[@]}"
    build build "${BUILD_TYPE[@]}"
    if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
      echo "No display found: starting on a virtual one (xvfb-run)." >&2
      exec xvfb-run -a build/app/tamrik-config --simulate "$@"
    fi
    exec build/app/tamrik-config --simulate "$@"
    ;;
  test)
    shift
    if [ "${TAMRIK_WINDOWS_TESTS:-1}" != 0 ]; then
      install_missing "${PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}"
    else
      install_missing "${PACKAGES[@]}"
    fi
    build build "${BUILD_TYPE[@]}"
    export QT_QPA_PLATFORM=offscreen
    linux_status=0
    ctest --test-dir build --output-on-failure -j 2 "$@" || linux_status=$?
    # The Windows part runs even when a Linux test failed, so that one run shows both.
    if [ "${TAMRIK_WINDOWS_TESTS:-1}" != 0 ]; then
      started=$SECONDS
      build_windows -DTAMRIK_WINDOWS_RELEASE=OFF
      windows_status=0
      run_windows_tests "$@" || windows_status=$?
      echo "Windows part (cross-build and tests under Wine): $((SECONDS - started)) s"
      [ "$windows_status" -eq 0 ] || exit "$windows_status"
    fi
    exit "$linux_status"
    ;;
  windows)
    shift
    install_missing "${PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}"
    # A release: the installer must hold both programs.
    build_windows -DTAMRIK_WINDOWS_RELEASE=ON
    cmake --build build-windows --target windows_installer
    mkdir -p dist
    for file in build-windows/packaging/windows/dist/tamrik-config-*-setup.exe \
                build-windows/packaging/windows/dist/tamrik-config-*-windows-x64.zip; do
      cp "$file" dist/
      echo "dist/$(basename "$file")"
    done
    run_windows_tests "$@"
    ;;
  package)
    shift
    install_missing "${PACKAGES[@]}"
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
    install_missing "${PACKAGES[@]}"
    cmake -S . -B build -G Ninja "${BUILD_TYPE[@]}" >/dev/null
    cmake --build build -j "$(nproc)" --target tamrik-config
    python3 tests/e2e/window_e2e.py --program build/app/tamrik-config --artifacts build/test-artifacts --docs docs
    python3 tests/e2e/satellites_e2e.py --program build/app/tamrik-config --artifacts build/test-artifacts --docs docs
    ;;
  *)
    sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//'
    exit 2
    ;;
esac
