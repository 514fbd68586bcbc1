#!/usr/bin/env bash
# Fetches Debian's hidapi source package again and copies the files this folder keeps, then
# rewrites SHA256SUMS. The source comes from the Debian mirror this machine's apt uses
# (tools/debian-mirror; TAMRIK_DEBIAN_MIRROR sets another), through a private apt state in a
# temporary folder: the machine's own sources and lists are left alone. apt checks the downloaded
# files against the signed .dsc.
set -euo pipefail
version=${1:-0.13.1-1}
here=$(cd "$(dirname "$0")" && pwd)
mirror=$("$here/../../tools/debian-mirror")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/apt/lists/partial"
echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror bookworm main" > "$work/apt/sources.list"
apt_private=(-o "Dir::Etc::SourceList=$work/apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
             -o "Dir::State::Lists=$work/apt/lists" -o Debug::NoLocking=1)
apt-get "${apt_private[@]}" update -qq
cd "$work"
apt-get "${apt_private[@]}" source --download-only "hidapi=$version"
orig=$(ls hidapi_*.orig.tar.gz)
tar xzf "$orig"
src=$(find . -maxdepth 1 -type d -name 'hidapi-*' | head -1)
cp "$src/hidapi/hidapi.h" "$here/hidapi/"
for f in hid.c hidapi_cfgmgr32.h hidapi_hidclass.h hidapi_hidpi.h hidapi_hidsdi.h; do
  cp "$src/windows/$f" "$here/windows/"
done
for f in LICENSE.txt LICENSE-bsd.txt LICENSE-orig.txt LICENSE-gpl3.txt; do cp "$src/$f" "$here/"; done
cd "$here"
find . -path ./patches -prune -o -type f \( -name '*.c' -o -name '*.h' -o -name 'LICENSE*' \) -print | sort |
  sed 's|^\./||' | xargs sha256sum > SHA256SUMS
for p in patches/*.patch; do patch -p1 --batch -i "$p"; done
{ sha256sum windows/hid.c; sha256sum patches/*.patch; } > patches/SHA256SUMS
echo "Copied hidapi $version and applied patches/; check README.md and PATCHES.md."
