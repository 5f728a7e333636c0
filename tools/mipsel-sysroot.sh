#!/bin/sh
# Builds a mipsel-linux-gnu sysroot from Debian's mipsel packages, without
# multiarch: apt-get downloads the packages through a private apt state (its
# own lists, cache and architecture) and dpkg -x unpacks them into one folder.
# The host's apt is left alone: no `dpkg --add-architecture`, no change under
# /etc/apt or /var/lib/apt, no apt lock taken, no root needed.
#
# Usage: sh tools/mipsel-sysroot.sh [SYSROOT]   (default build/sysroot-mipsel)
# Safe to run again: a finished sysroot whose package list has not changed is
# kept as it is.
set -eu
cd "$(dirname "$0")/.."

SYSROOT=${1:-build/sysroot-mipsel}
ARCH=mipsel
# Runtime and development packages of everything we link, and the test
# libraries (the mipsel preset builds no benchmarks). The C library headers and start files come with the
# cross compiler (libc6-dev-mipsel-cross); libc6 brings /lib/ld.so.1 and the
# shared C library that qemu-mipsel loads from here.
PACKAGES="
  libc6
  libstdc++6 libgcc-s1 libatomic1
  libssl3 libssl-dev
  libpaho-mqtt1.3 libpaho-mqtt-dev
  libjsoncpp25 libjsoncpp-dev
  libcjson1 libcjson-dev
  libgtest-dev libgmock-dev
"

mkdir -p "$SYSROOT"
SYSROOT=$(cd "$SYSROOT" && pwd)
STAMP="$SYSROOT/.kiv-packages"
# One line, blanks collapsed: the list as the stamp file records it.
# shellcheck disable=SC2086,SC2116
WANTED=$(echo $PACKAGES)
if [ -f "$STAMP" ] && [ "$(cat "$STAMP")" = "$WANTED" ]; then
  echo "mipsel sysroot up to date: $SYSROOT"
  exit 0
fi

APT_STATE="$SYSROOT.apt"
rm -rf "$APT_STATE"
mkdir -p "$APT_STATE/lists/partial" "$APT_STATE/cache/archives/partial" "$APT_STATE/debs"
: > "$APT_STATE/status"

# The host's own sources and keys (so a mirror or proxy set up for the host
# is used too), with everything apt writes kept in $APT_STATE.
apt_private() {
  apt-get -q \
    -o APT::Architecture=$ARCH -o APT::Architectures::=$ARCH \
    -o Dir::State="$APT_STATE" -o Dir::State::Lists="$APT_STATE/lists" \
    -o Dir::State::status="$APT_STATE/status" \
    -o Dir::Cache="$APT_STATE/cache" -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache= \
    -o Debug::NoLocking=1 -o APT::Sandbox::User=root \
    "$@"
}

echo "downloading the $ARCH package lists"
# A source that has no mipsel index (a third-party one) only warns; whatever
# is really missing makes the download below fail.
apt_private update 2>&1 | grep -v -E '^(Get|Hit|Ign):' || true

echo "downloading the $ARCH packages"
# shellcheck disable=SC2086,SC2046
(cd "$APT_STATE/debs" && apt_private download $(for p in $PACKAGES; do printf '%s:%s ' "$p" "$ARCH"; done))

rm -rf "$SYSROOT"
mkdir -p "$SYSROOT"
for deb in "$APT_STATE"/debs/*.deb; do
  dpkg -x "$deb" "$SYSROOT"
done
echo "$WANTED" > "$STAMP"
echo "mipsel sysroot ready: $SYSROOT"
