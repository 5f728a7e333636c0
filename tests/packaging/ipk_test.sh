#!/bin/sh
# The OpenWrt package as tools/make-ipk.sh made it, taken apart with ar and
# tar. One check per call:
#   control   the ar members, the control fields and the conffiles
#   files     the files, their modes, and every path the init script names
#   recipe    packaging/openwrt/Makefile makes the same package: files,
#             modes, conffiles, dependencies, version; except that the
#             recipe, built by the firmware's GCC, depends on its C++ runtime
#             and jsoncpp where this package carries its own (/usr/lib/kiv)
#
# Usage: sh ipk_test.sh SOURCE_DIR CHECK
set -u
source_dir=$1
check=$2
# shellcheck source=tests/packaging/package-test-lib.sh
. "$(dirname "$0")/package-test-lib.sh"

ipk=$(only_file "$source_dir"/build/packages/gatewayd_*_mipsel_*.ipk)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && ar x "$ipk" && mkdir control data && tar -xzf control.tar.gz -C control &&
  tar -xzf data.tar.gz -C data) || die "cannot unpack $ipk"

data_modes() {
  tar -tvzf "$work/data.tar.gz" | file_modes_of_listing
}

control_field() {
  sed -n "s/^$1: //p" "$work/control/control"
}

case "$check" in
  control)
    expect_equal "ar members" "debian-binary control.tar.gz data.tar.gz" "$(ar t "$ipk" | xargs)"
    expect_equal "format" "2.0" "$(cat "$work/debian-binary")"
    expect_equal "package" gatewayd "$(control_field Package)"
    expect_equal "architecture" mipsel_24kc "$(control_field Architecture)"
    expect_equal "depends" "libc, libpaho-mqtt-c, libopenssl, cjson" "$(control_field Depends)"
    expect_equal "installed size" \
      "$(find "$work/data" -type f -exec stat -c %s {} + | awk '{ s += $1 } END { print s }')" \
      "$(control_field Installed-Size)"
    expect_equal "conffiles" "/etc/config/gatewayd /opt/kiv/gw.cfg /opt/kiv/pynodes.py" \
      "$(xargs < "$work/control/conffiles")"
    for script in postinst prerm; do
      [ -x "$work/control/$script" ] || fail "control script $script missing or not executable"
    done
    ;;
  files)
    expect_equal "files and modes" "0600 /etc/config/gatewayd
0600 /opt/kiv/gw.cfg
0644 /usr/lib/kiv/libc++.so.1
0644 /usr/lib/kiv/libjsoncpp.so.25
0644 /usr/lib/libKIVIOcpp.so
0644 /usr/lib/libKIVKeycpp.so
0644 /usr/lib/libKIVSdkcpp.so
0755 /etc/init.d/gatewayd
0755 /opt/kiv/pynodes.py
0755 /usr/bin/gatewayd
0755 /usr/libexec/gatewayd-launch" "$(data_modes)"
    case "$(file -b "$work/data/usr/bin/gatewayd")" in
      "ELF 32-bit LSB"*MIPS*"interpreter /lib/ld-musl-mipsel-sf.so.1"*stripped) ;;
      *) fail "usr/bin/gatewayd is not a stripped 32-bit little-endian MIPS program for musl" ;;
    esac
    # /var is made at run time (RAM on OpenWrt); /etc/rc.common is the firmware's.
    for path in $(paths_named_in "$work/data/etc/init.d/gatewayd" | grep -v '^/var/'); do
      [ -e "$work/data$path" ] || fail "the init script names $path, which the package lacks"
    done
    ;;
  recipe)
    recipe=$source_dir/packaging/openwrt/Makefile
    # shellcheck disable=SC2016  # make's $(...), not the shell's
    recipe_files=$(sed -n 's/^\t$(INSTALL_\(BIN\|DATA\|CONF\)) [^ ]* $(1)\(.*\)$/\1 \2/p' "$recipe" |
      sed 's/^BIN/0755/; s/^DATA/0644/; s/^CONF/0600/' | sort)
    expect_equal "recipe files and modes" "$(data_modes | grep -v ' /usr/lib/kiv/')" "$recipe_files"
    expect_equal "recipe conffiles" "$(xargs < "$work/control/conffiles")" \
      "$(sed -n '/^define Package\/gatewayd\/conffiles/,/^endef/{/^\//p}' "$recipe" | xargs)"
    expect_equal "recipe depends" "$(control_field Depends)" \
      "libc, $(sed -n 's/^  DEPENDS:=//p' "$recipe" | sed 's/+//g; s/libstdcpp //; s/libjsoncpp //; s/ /, /g')"
    expect_equal "recipe version" "$(control_field Version)" \
      "$(sed -n 's/^PKG_VERSION:=//p' "$recipe")-$(sed -n 's/^PKG_RELEASE:=//p' "$recipe")"
    ;;
  *) die "unknown check $check" ;;
esac
finish "ipk $check"
