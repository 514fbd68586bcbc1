#!/usr/bin/env bash
# Set-up, build, run and test on Debian 12 (bookworm) and Debian 13 (trixie), and on Raspberry Pi OS
# built on either (arm64, armhf).
#
#   ./setup.sh run [program options]  install what is missing, build, start the program on simulated
#                                     units (add real units by plugging them in)
#   ./setup.sh test                   install what is missing, build, run every test headless, then
#                                     cross-build for Windows and run the Windows tests under Wine
#                                     (TAMRIK_WINDOWS_TESTS=0 leaves the Windows part out; it needs
#                                     amd64 and is left out elsewhere)
#   ./setup.sh package [ARCH]         build the Debian source package and the binary packages
#                                     tamrikctl and tamrik-config (with -dbgsym) for this release
#                                     with dpkg-buildpackage into dist/, and check them; ARCH amd64,
#                                     arm64 or armhf (default: this machine's), other architectures
#                                     cross-built on amd64 (profiles cross, nocheck);
#                                     DEB_BUILD_OPTIONS=nocheck leaves the tests out of a native build
#   ./setup.sh cross-test ARCH        cross-build the window-free part for arm64 or armhf and run
#                                     its tests under qemu-user
#   ./setup.sh ci-packages            install what .ci/run needs beyond test: mmdebstrap for the
#                                     Debian 13 root, qemu-user-static for arm64's tests
#   ./setup.sh vm-test [12|13]        boot Debian 13 (or 12) under qemu (TCG, no network) from an
#                                     image made by mmdebstrap with the packages built for that
#                                     release installed, run the scenarios of tests/vm inside and
#                                     print each result and time (tests/vm/README.md); the image is
#                                     cached in /var/cache/tamrik-ci/vm
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

# Which system this is: Debian 12 or 13, or Raspberry Pi OS on one of them (ID=raspbian on armhf,
# ID=debian on arm64). Anything else ends here, before anything is installed.
OS_ID=unknown OS_RELEASE="" OS_NAME="this system"
if [ -r /etc/os-release ]; then
  # shellcheck disable=SC1091
  OS_ID=$(. /etc/os-release && echo "${ID:-unknown}")
  OS_RELEASE=$(. /etc/os-release && echo "${VERSION_ID:-}")
  OS_NAME=$(. /etc/os-release && echo "${PRETTY_NAME:-$OS_ID}")
fi
HOST_ARCH=$(dpkg --print-architecture 2>/dev/null || uname -m)
case "$OS_ID:$OS_RELEASE:$HOST_ARCH" in
  debian:12:amd64 | debian:13:amd64 | debian:12:arm64 | debian:13:arm64 | raspbian:12:armhf | raspbian:13:armhf | debian:12:armhf | debian:13:armhf) ;;
  *)
    echo "setup.sh supports Debian 12 and 13 (amd64) and Raspberry Pi OS on them (arm64, armhf), not $OS_NAME ($HOST_ARCH); elsewhere install CMake 3.25 or newer, Ninja, a C++20 compiler, Qt 6 Widgets, hidapi (hidraw), cpp-httplib, OpenSSL, yaml-cpp, libxcrypt and GoogleTest by hand and build with: cmake -S . -B build -G Ninja && cmake --build build" >&2
    exit 1
    ;;
esac

# The packages of each release. Debian 13 differs in Clang's runtime (the fuzz targets' libFuzzer).
case "$OS_RELEASE" in
  12) CLANG_RT=libclang-rt-14-dev ;;
  13) CLANG_RT=libclang-rt-19-dev ;;
esac
PACKAGES=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev libhidapi-dev libcpp-httplib-dev libssl-dev libyaml-cpp-dev libcrypt-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  fonts-liberation2
  xdg-utils desktop-file-utils
  xvfb xdotool imagemagick x11-utils python3 python3-prometheus-client
  clang "$CLANG_RT"
  udev usbip
  gpsd gpsd-clients gpsd-tools chrony socat
  prometheus openssl curl apache2-utils
  chromium chromium-driver python3-selenium
  dpkg-dev lintian appstream man-db groff-base librsvg2-bin patch
)

# The real ntpd of the bridge's check with ntpd (tests/bridge/bridge_ntpsec_check.py): Debian's
# ntpsec, never installed, since as a package it conflicts with chrony. tools/fetch-ntpsec keeps its
# .deb, and any library it needs that this system lacks, in this folder; the check unpacks them.
NTPSEC_DEBS=${TAMRIK_NTPSEC_DEBS:-${XDG_CACHE_HOME:-$HOME/.cache}/tamrik-config/ntpsec}
fetch_ntpsec() {
  local sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  # Once more after apt-get update, for package lists that are missing or older than the archive.
  tools/fetch-ntpsec "$NTPSEC_DEBS" 2>/dev/null ||
    { "${sudo[@]}" apt-get update -qq && tools/fetch-ntpsec "$NTPSEC_DEBS"; } ||
    echo "setup.sh: ntpsec could not be fetched; the check with ntpd cannot run" >&2
  export TAMRIK_NTPSEC_DEBS=$NTPSEC_DEBS
}

# The Windows build: Debian's MinGW-w64 cross compilers (POSIX threads), Wine to run the programs and
# tests, NSIS for the installer. GoogleTest comes as sources with libgtest-dev and libgmock-dev.
WINDOWS_PACKAGES=(
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
  wine wine64
  nsis
)

# Building and checking the Debian packages (./setup.sh package); the build dependencies themselves
# come from debian/control through apt-get build-dep.
PACKAGE_TOOLS=(dpkg-dev debhelper fakeroot lintian python3 desktop-file-utils appstream man-db groff-base)

# CI's other runs: Debian roots made with mmdebstrap, and the programs of other architectures run
# under qemu-user.
CI_PACKAGES=(mmdebstrap qemu-user-static)

# The virtual machine of vm-test: its image made by mmdebstrap and mke2fs, booted by qemu.
VM_PACKAGES=(mmdebstrap qemu-system-x86 e2fsprogs git)

# Cross builds for ARCH (arm64, armhf) on amd64: Debian's cross compilers, the libraries of ARCH
# (multiarch), Qt's host tools from this machine's qt6-base-dev. GoogleTest is built from the sources
# of libgtest-dev.
cross_packages() {
  local arch=$1 gui=$2
  CROSS_PACKAGES=("crossbuild-essential-$arch" qemu-user-static
                  "libhidapi-dev:$arch" "libcpp-httplib-dev:$arch" "libssl-dev:$arch" "libyaml-cpp-dev:$arch"
                  "libcrypt-dev:$arch" "libstdc++6:$arch")
  [ "$gui" = ON ] && CROSS_PACKAGES+=("qt6-base-dev:$arch")
  return 0
}

# Adds the dpkg architecture of ARCH-qualified names (name:arm64) that this machine lacks (multiarch).
add_architectures() {
  local sudo=() arch p
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  for p in "$@"; do
    case "$p" in *:*) arch=${p##*:} ;; *) continue ;; esac
    [ "$arch" = "$HOST_ARCH" ] && continue
    dpkg --print-foreign-architectures | grep -qx "$arch" && continue
    echo "Adding the architecture $arch (multiarch)"
    "${sudo[@]}" dpkg --add-architecture "$arch"
  done
}

install_missing() {
  add_architectures "$@"
  local missing=() native
  native=$(dpkg --print-architecture)
  for p in "$@"; do
    if [[ $p == *:* ]]; then
      dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
    else
      # A name without an architecture is this machine's (or one for all): another architecture's
      # copy does not count (libyaml-cpp-dev, for one, is installed for one architecture at a time,
      # and a cross build replaces it).
      dpkg-query -W -f='${Status} ${Architecture}\n' "$p" 2>/dev/null | grep -Eq "ok installed ($native|all)\$" ||
        missing+=("$p")
    fi
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

# The Windows part needs amd64 (MinGW-w64's x86-64 compilers, Wine).
windows_part() {
  [ "${TAMRIK_WINDOWS_TESTS:-1}" != 0 ] || return 1
  if [ "$HOST_ARCH" != amd64 ]; then
    echo "The Windows part needs amd64: left out on $HOST_ARCH."
    return 1
  fi
}

# The CMake toolchain of a cross build for ARCH, or none for this machine's own.
toolchain_of() {
  local arch=$1
  if [ "$arch" = "$HOST_ARCH" ]; then
    return 0
  fi
  case "$HOST_ARCH:$arch" in
    amd64:arm64 | amd64:armhf) echo "-DCMAKE_TOOLCHAIN_FILE=$PWD/cmake/toolchains/debian-$arch.cmake" ;;
    *)
      echo "setup.sh: cannot build for $arch on $HOST_ARCH; cross builds for arm64 and armhf are made on amd64" >&2
      return 1
      ;;
  esac
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
    with_windows=0
    windows_part && with_windows=1
    if [ "$with_windows" = 1 ]; then
      install_missing "${PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}"
    else
      install_missing "${PACKAGES[@]}"
    fi
    fetch_ntpsec
    started=$SECONDS
    build build "${BUILD_TYPE[@]}"
    export QT_QPA_PLATFORM=offscreen
    linux_status=0
    set +e
    ctest --test-dir build --output-on-failure -j 2 "$@" 2>&1 | tee build/ctest.log
    linux_status=${PIPESTATUS[0]}
    set -e
    # Under CI every tool is installed: a test that skipped did not run, unless it is allowed to.
    if [ "${CI:-}" = true ] && [ "$linux_status" = 0 ]; then .ci/check-skips build/ctest.log || linux_status=1; fi
    echo "Linux part on $OS_NAME ($HOST_ARCH), build and tests: $((SECONDS - started)) s, $([ "$linux_status" = 0 ] && echo passed || echo FAILED)"
    # The Windows part runs even when a Linux test failed, so that one run shows both.
    if [ "$with_windows" = 1 ]; then
      started=$SECONDS
      build_windows -DTAMRIK_WINDOWS_RELEASE=OFF
      windows_status=0
      set +e
      run_windows_tests "$@" 2>&1 | tee build-windows/ctest.log
      windows_status=${PIPESTATUS[0]}
      set -e
      if [ "${CI:-}" = true ] && [ "$windows_status" = 0 ]; then .ci/check-skips build-windows/ctest.log || windows_status=1; fi
      echo "Windows part (cross-build and tests under Wine): $((SECONDS - started)) s, $([ "$windows_status" = 0 ] && echo passed || echo FAILED)"
      [ "$windows_status" -eq 0 ] || exit "$windows_status"
    fi
    exit "$linux_status"
    ;;
  windows)
    shift
    if [ "$HOST_ARCH" != amd64 ]; then
      echo "setup.sh: the Windows build needs amd64, this machine is $HOST_ARCH" >&2
      exit 1
    fi
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
    arch=${1:-$HOST_ARCH}
    case "$arch" in
      amd64 | arm64 | armhf) ;;
      *) echo "setup.sh package: no architecture $arch; choose amd64, arm64 or armhf" >&2; exit 2 ;;
    esac
    [ "$arch" = "$HOST_ARCH" ] || toolchain_of "$arch" >/dev/null || exit 1
    install_missing "${PACKAGE_TOOLS[@]}"
    # The build dependencies are debian/control's: a cross build takes the target's libraries and
    # leaves the tests out (the cross and nocheck build profiles), as Debian's cross builds do;
    # DEB_BUILD_OPTIONS=nocheck leaves them out of a native build.
    build_args=(-us -uc -sa "-j$(nproc)")
    check_args=()
    depends_args=()
    if [ "$arch" != "$HOST_ARCH" ]; then
      cross_packages "$arch" ON
      install_missing "${CROSS_PACKAGES[@]}"
      build_args+=("--host-arch=$arch" -Pcross,nocheck)
      check_args=(-a "$arch" -P cross,nocheck)
      depends_args=("--host-architecture=$arch" -Pcross,nocheck)
    elif [[ " ${DEB_BUILD_OPTIONS:-} " == *" nocheck "* ]]; then
      build_args+=(-Pnocheck)
      check_args=(-P nocheck)
      depends_args=(-Pnocheck)
    fi
    if ! dpkg-checkbuilddeps ${check_args[@]+"${check_args[@]}"} debian/control 2>/dev/null; then
      sudo=()
      [ "$(id -u)" -ne 0 ] && sudo=(sudo)
      "${sudo[@]}" apt-get update -qq
      DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get build-dep -y -qq --no-install-recommends \
        ${depends_args[@]+"${depends_args[@]}"} ./
    fi
    # The receiver captures that some tests replay, where the project sits beside shared/, and
    # ntpsec for the check with ntpd, when the tests run.
    [ -d ../shared/data/ubx ] && export TAMRIK_SHARED_DIR="$(cd ../shared && pwd)"
    [ ${#depends_args[@]} -eq 0 ] && fetch_ntpsec
    # The source package for this machine's release, then its binary packages.
    rm -rf build-deb
    tree=$(tools/source-package build-deb | tail -n 1)
    (cd "$tree" && dpkg-buildpackage "${build_args[@]}")
    changes=$(ls build-deb/*_"$arch".changes)
    # dist/ keeps one build of each architecture: an earlier version's files of this one go.
    mkdir -p dist
    rm -f dist/tamrikctl_*_"$arch".deb dist/tamrikctl-dbgsym_*_"$arch".deb dist/tamrik-config_*_"$arch".* \
      dist/tamrik-config-dbgsym_*_"$arch".deb dist/tamrik-config_*.dsc dist/tamrik-config_*.orig.tar.* \
      dist/tamrik-config_*.debian.tar.*
    for file in $(sed -n '/^Files:/,/^[^ ]/s/^ .* \([^ ]*\)$/\1/p' "$changes") "$(basename "$changes")"; do
      cp "build-deb/$file" dist/
      echo "dist/$file"
    done
    # lintian-clean, whatever the architecture, and the checks of tests/packaging (another
    # architecture's programs run under qemu-user).
    old_pair=()
    [ -n "${TAMRIK_OLD_PAIR:-}" ] && old_pair=(--old-pair "$TAMRIK_OLD_PAIR")
    python3 tests/packaging/check_package.py --changes "dist/$(basename "$changes")" ${old_pair[@]+"${old_pair[@]}"} all
    ;;
  cross-test)
    shift
    arch=${1:-}
    case "$arch" in
      arm64 | armhf) shift ;;
      *) echo "setup.sh cross-test: choose arm64 or armhf" >&2; exit 2 ;;
    esac
    toolchain=$(toolchain_of "$arch") || exit 1
    [ -n "$toolchain" ] || { echo "setup.sh cross-test: this machine is $arch; use ./setup.sh test" >&2; exit 2; }
    cross_packages "$arch" OFF
    install_missing cmake ninja-build pkg-config python3 libgtest-dev libgmock-dev "${CROSS_PACKAGES[@]}"
    started=$SECONDS
    # Its tamrikctl is compared with this machine's, which is built first when missing.
    [ -x build/app/tamrikctl/tamrikctl ] || {
      install_missing "${PACKAGES[@]}"
      cmake -S . -B build -G Ninja "${BUILD_TYPE[@]}" >/dev/null
      cmake --build build -j "$(nproc)" --target tamrikctl
    }
    # The window-free part: the core, the planner, tamrikctl, the bridge and the simulated units.
    # The planner's long comparisons (label slow, and the whole walks of hard requests, which take
    # 8 s here and over 2 minutes under qemu) and the Prometheus server's checks (this machine's
    # promtool, label prometheus) are left to the native run.
    cmake -S . -B "build-$arch" -G Ninja "$toolchain" "${BUILD_TYPE[@]}" -DTAMRIK_BUILD_GUI=OFF -DTAMRIK_BUILD_BENCH=OFF >/dev/null
    cmake --build "build-$arch" -j "$(nproc)" --target tamrikctl core_tests tamrik_planner_tests tamrikctl_tests bridge_tests sim_tests
    status=0
    ctest --test-dir "build-$arch" --output-on-failure -j 2 -L '^(core|planner|tamrikctl|bridge|sim)$' -LE '^(slow|prometheus)$' \
      -E '^Equivalence\.WholeWalksOfHardRequests' "$@" ||
      status=$?
    echo "$arch part (cross-build, tests under qemu-user): $((SECONDS - started)) s, $([ "$status" = 0 ] && echo passed || echo FAILED)"
    exit "$status"
    ;;
  ci-packages)
    install_missing "${CI_PACKAGES[@]}"
    ;;
  vm-test)
    shift
    if [ "$HOST_ARCH" != amd64 ]; then
      echo "setup.sh vm-test: the virtual machine is amd64 and its image is made on amd64, not $HOST_ARCH" >&2
      exit 1
    fi
    install_missing "${VM_PACKAGES[@]}"
    exec tests/vm/vm-test "$@"
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
    sed -n '2,/^# Run as root/p' "$0" | sed 's/^# \{0,1\}//'
    exit 2
    ;;
esac
