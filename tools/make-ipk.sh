#!/bin/sh
# Builds the OpenWrt package of gatewayd from the musl cross build (preset
# mipsel-musl: OpenWrt's C library, MIPS32r2 soft float as mipsel_24kc),
# with ar and tar alone (no OpenWrt SDK):
#   build/packages/gatewayd_<version>-1_<architecture>.ipk
# It holds the component gatewayd of the build (program, our three
# libraries, the service launcher), the init script, its UCI file, the
# default settings and the example node script: the files of the feed
# recipe packaging/openwrt/Makefile (tests/packaging checks it). The C
# libraries come from the firmware (musl, Paho MQTT C with OpenSSL, cJSON).
# The C++ parts do not: OpenWrt's C++ runtime is GCC's libstdcpp, which
# this clang/libc++ build cannot use, and its libjsoncpp is built against
# it. So the package carries libc++ and jsoncpp in /usr/lib/kiv, found
# through the RUNPATH of our files (KIV_PRIVATE_RUNTIME_DIR), where the
# feed recipe, built by the firmware's own GCC, depends on libstdcpp and
# libjsoncpp instead. Built as we ship it, tests/packaging runs it over the
# root of a musl firmware under qemu.
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
# OpenWrt package names of the firmware's libraries gatewayd and our
# libraries link (the packages with an ABI version also provide the bare
# name): DEPENDS in packaging/openwrt/Makefile less the C++ runtime and
# jsoncpp, which this package carries or links itself.
DEPENDS="libc, libpaho-mqtt-c, libopenssl, cjson"
PRESET=mipsel-musl
# The C++ parts the package carries: jsoncpp, and the C++ runtime shared by
# the program, our three libraries and jsoncpp.
PRIVATE_DIR=usr/lib/kiv

# cxx_runtime <output>: the package's libc++.so.1, made of the parts of the
# stack's libc++, libc++abi and libunwind archives that the packaged files
# import (all of libc++abi and libunwind: exceptions): about 0.6 MiB less
# than the whole runtime the test root has. musl's loader binds every symbol
# at load, so a part left out would stop the program at its start.
cxx_runtime() {
  whole=$MUSL_STACK/root/usr/lib/libc++.so.1
  archives=$MUSL_STACK/cxx-archives
  readelf --dyn-syms -W "$whole" | awk '$7 != "UND" && $8 != "" { sub(/@.*/, "", $8); print $8 }' |
    sort -u > "$work/runtime-symbols"
  find "$data" -type f -name '*.so*' -o -type f -path '*/bin/*' | while read -r file; do
    readelf --dyn-syms -W "$file" | awk '$7 == "UND" && $8 != "" { sub(/@.*/, "", $8); print $8 }'
  done | sort -u | comm -12 - "$work/runtime-symbols" | sed 's/^/-Wl,-u,/' > "$work/runtime-imports"
  # shellcheck disable=SC2046  # one -Wl,-u,SYMBOL word per import
  "$MUSL_STACK/bin/mipsel-musl-cc" -shared -Wl,-soname,libc++.so.1 -Wl,--gc-sections \
    -Wl,--version-script="$MUSL_STACK/share/local-symbols.map" -Wl,--undefined-version \
    -o "$work/libc++.so.1" $(cat "$work/runtime-imports") \
    -Wl,--whole-archive "$archives/libc++abi.a" "$archives/libunwind.a" -Wl,--no-whole-archive \
    "$archives/libc++.a"
  "$MUSL_STACK/bin/mipsel-musl-strip" -o "$1" "$work/libc++.so.1"
}

build_gatewayd $PRESET
version=$(project_version $PRESET)
output=$(pwd)/build/packages/gatewayd_${version}-${RELEASE}_${ARCH}.ipk

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
data=$work/data
control=$work/control
mkdir -p "$control"

cmake --install build/$PRESET --component gatewayd --prefix "$data/usr" --strip >/dev/null
mkdir -p "$data/$PRIVATE_DIR"
"$MUSL_STACK/bin/mipsel-musl-strip" -o "$data/$PRIVATE_DIR/libjsoncpp.so.25" \
  "$MUSL_STACK/root/usr/lib/libjsoncpp.so.25"
cxx_runtime "$data/$PRIVATE_DIR/libc++.so.1"
chmod 0644 "$data/$PRIVATE_DIR/libc++.so.1" "$data/$PRIVATE_DIR/libjsoncpp.so.25"

# Every library a packaged file needs comes from the firmware or the package.
find "$data" -type f | while read -r file; do
  case "$(file -b "$file")" in ELF*) ;; *) continue ;; esac
  for library in $(readelf -d "$file" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    for place in "$MUSL_STACK/firmware/lib" "$MUSL_STACK/firmware/usr/lib" "$data/usr/lib" "$data/$PRIVATE_DIR" ""; do
      [ -n "$place" ] || { echo "error: ${file#"$data"} needs $library, which neither the firmware nor the package holds" >&2; exit 1; }
      [ -e "$place/$library" ] && break
    done
  done
done
install -D -m 0755 packaging/openwrt/gatewayd.init "$data/etc/init.d/gatewayd"
install -D -m 0600 packaging/openwrt/gatewayd.config "$data/etc/config/gatewayd"
install -D -m 0600 examples/gw.cfg "$data/opt/kiv/gw.cfg"
install -D -m 0755 examples/pynodes.py "$data/opt/kiv/pynodes.py"
# The state folder on the flash: the journal of held records, the device id.
install -d -m 0755 "$data/opt/kiv/state"

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
