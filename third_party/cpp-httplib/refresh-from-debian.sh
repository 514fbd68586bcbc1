#!/usr/bin/env bash
# Fetches Debian 12's cpp-httplib source package again, takes its single header with Debian's patches
# applied (as Debian builds libcpp-httplib) and the licence, and rewrites SHA256SUMS. The source
# comes from the Debian mirror this machine's apt uses (tools/debian-mirror; TAMRIK_DEBIAN_MIRROR
# sets another), through a private apt state in a temporary folder: the machine's own sources and
# lists are left alone. apt checks the downloaded files against the signed .dsc.
set -euo pipefail
version=${1:-0.11.4+ds-1+deb12u1}
here=$(cd "$(dirname "$0")" && pwd)
mirror=$("$here/../../tools/debian-mirror")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/apt/lists/partial"
{
  echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror bookworm main"
  echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror bookworm-updates main"
} > "$work/apt/sources.list"
apt_private=(-o "Dir::Etc::SourceList=$work/apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
             -o "Dir::State::Lists=$work/apt/lists" -o Debug::NoLocking=1)
apt-get "${apt_private[@]}" update -qq
cd "$work"
apt-get "${apt_private[@]}" source --download-only "cpp-httplib=$version"
orig=$(ls cpp-httplib_*.orig.tar.*)
debian=$(ls cpp-httplib_*.debian.tar.*)
mkdir src
tar xf "$orig" -C src --strip-components=1
tar xf "$debian" -C src
rm -f "$here"/debian-patches/*.patch
sums=$(sha256sum "$orig" "$debian")
upstream=$(cd src && sha256sum httplib.h | sed 's|  httplib.h|  upstream/httplib.h|')
# Debian's patches in the order of its series; they also patch the tests, which are not kept.
while read -r p; do
  [ -n "$p" ] || continue
  (cd src && patch -p1 --batch --silent -i "debian/patches/$p")
  cp "src/debian/patches/$p" "$here/debian-patches/"
done < src/debian/patches/series
cp src/httplib.h src/LICENSE "$here/"
cd "$here"
{
  echo "$sums"
  echo "$upstream"
  sha256sum debian-patches/*.patch httplib.h LICENSE
} > SHA256SUMS
echo "Copied httplib.h of cpp-httplib $version with Debian's patches; check README.md."
