#!/bin/sh
# Builds the OpenWrt package of gatewayd from the mipsel cross build, with
# ar and tar alone (no OpenWrt SDK):
#   build/packages/gatewayd_<version>-1_<architecture>.ipk
# It holds the same files, at the same paths and with the same dependencies,
# as the feed recipe packaging/openwrt/Makefile (tests/packaging checks it):
# the component gatewayd of the build (program, our three libraries, the
# service launcher), the init script, its UCI file, the default settings
# and the example node script.
#
# The default cross toolchain is Debian's (glibc): that package runs under
# qemu-mipsel here and on glibc firmware. For a musl or uClibc board, point
# the toolchain at the board's SDK first (KIV_CROSS_PREFIX, KIV_SYSROOT and
# KIV_EMULATOR="", see cmake/toolchain-mipsel.cmake), or build the feed
# recipe in the board's OpenWrt tree.
#
# Usage: sh tools/make-ipk.sh
#   IPK_ARCH  the package architecture opkg on the board accepts
#             (default mipsel_24kc; `opkg print-architecture` on the board)
set -eu
cd "$(dirname "$0")/.."
. tools/packaging-common.sh
sh tools/install-deps.sh

ARCH=${IPK_ARCH:-mipsel_24kc}
RELEASE=1
# OpenWrt package names of what gatewayd and our libraries link (the
# packages with an ABI version also provide the bare name): keep equal to
# DEPENDS in packaging/openwrt/Makefile.
DEPENDS="libc, libstdcpp, libpaho-mqtt-c, libopenssl, libjsoncpp, cjson"

build_gatewayd mipsel
version=$(project_version mipsel)
output=$(pwd)/build/packages/gatewayd_${version}-${RELEASE}_${ARCH}.ipk

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
data=$work/data
control=$work/control
mkdir -p "$control"

cmake --install build/mipsel --component gatewayd --prefix "$data/usr" --strip >/dev/null
install -D -m 0755 packaging/openwrt/gatewayd.init "$data/etc/init.d/gatewayd"
install -D -m 0600 packaging/openwrt/gatewayd.config "$data/etc/config/gatewayd"
install -D -m 0600 examples/gw.cfg "$data/opt/kiv/gw.cfg"
install -D -m 0755 examples/pynodes.py "$data/opt/kiv/pynodes.py"

installed_size=$(find "$data" -type f -exec stat -c %s {} + | awk '{ size += $1 } END { print size }')
cat > "$control/control" <<EOF
Package: gatewayd
Version: $version-$RELEASE
Depends: $DEPENDS
Source: packaging/openwrt
SourceName: gatewayd
Section: net
Architecture: $ARCH
Installed-Size: $installed_size
Maintainer: KIV gateway maintainers <gateway@kiv.example>
Description: gateway publishing node data to a device platform over MQTT
 gatewayd runs the node script /opt/kiv/pynodes.py each publish interval,
 publishes its output to the platform's MQTT broker and answers the
 platform's requests; a procd service (/etc/init.d/gatewayd) with its
 settings in /etc/config/gatewayd and /opt/kiv/gw.cfg.
EOF
printf '%s\n' /etc/config/gatewayd /opt/kiv/gw.cfg /opt/kiv/pynodes.py > "$control/conffiles"
install -m 0755 packaging/openwrt/postinst packaging/openwrt/prerm "$control/"

# Reproducible archives: fixed owner, order and time; members named ./path
# as opkg expects.
mtime=$(git log -1 --format=%ct 2>/dev/null || echo 0)
pack() {
  tar --format=gnu --numeric-owner --owner=0 --group=0 --sort=name --mtime="@$mtime" \
    -C "$1" -cf - . | gzip -9n > "$2"
}
pack "$data" "$work/data.tar.gz"
pack "$control" "$work/control.tar.gz"
echo "2.0" > "$work/debian-binary"
mkdir -p build/packages
rm -f "$output"
(cd "$work" && ar -rcD "$output" debian-binary control.tar.gz data.tar.gz)
echo "${output#"$(pwd)"/}: $(stat -c %s "$output") bytes"
