#!/bin/sh
# The Debian packages as tools/make-deb.sh made them, read with dpkg-deb.
# One check per call:
#   info      control fields, conffiles, maintainer scripts; every library
#             the packaged programs need comes from a package in Depends
#   contents  the files and their modes; the mipsel package holds the same
#             paths, built for mipsel
#   unit      systemd-analyze verify finds nothing to say about the unit;
#             its exposure is 3.0 or lower; every path it names is packaged
#
# Usage: sh deb_test.sh SOURCE_DIR CHECK
set -u
source_dir=$1
check=$2
# shellcheck source=tests/packaging/package-test-lib.sh
. "$(dirname "$0")/package-test-lib.sh"

host_arch=$(dpkg --print-architecture)
deb=$(only_file "$source_dir"/build/packages/gatewayd_*_"$host_arch".deb)
mipsel_deb=$(only_file "$source_dir"/build/packages/gatewayd_*_mipsel.deb)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dpkg-deb --extract "$deb" "$work/root" || die "cannot unpack $deb"

field() {
  dpkg-deb --field "$1" "$2"
}

file_modes() {
  dpkg-deb --contents "$1" | file_modes_of_listing
}

# package_of PATH: the package that holds the file, also when dpkg knows it
# under the other name of a merged /usr (/lib/x or /usr/lib/x).
package_of() {
  for candidate in "$1" "/usr$1" "${1#/usr}"; do
    dpkg -S "$candidate" 2>/dev/null | sed -n '1s/:.*//p' | grep . && return
  done
}

case "$check" in
  info)
    expect_equal "package" gatewayd "$(field "$deb" Package)"
    expect_equal "architecture" "$host_arch" "$(field "$deb" Architecture)"
    expect_equal "mipsel architecture" mipsel "$(field "$mipsel_deb" Architecture)"
    dpkg-deb --ctrl-tarfile "$deb" | tar -x -C "$work" || die "no control archive"
    expect_equal "conffiles" "/etc/kiv/gw.cfg /etc/kiv/pynodes.py /etc/default/gatewayd" \
      "$(xargs < "$work/conffiles")"
    for script in postinst prerm postrm; do
      [ -x "$work/$script" ] || fail "maintainer script $script missing or not executable"
    done
    depends=" $(field "$deb" Depends | sed 's/([^)]*)//g; s/[,|]/ /g' | xargs) "
    # Each library a packaged file links directly (DT_NEEDED), where this
    # machine's loader finds it (ldd), traced to the package that holds it.
    for program in "$work/root/usr/bin/gatewayd" "$work"/root/usr/lib/libKIV*.so; do
      for library in $(readelf -d "$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
        case "$library" in libKIV*) continue ;; esac
        path=$(ldd "$program" | awk -v name="$library" '
          $1 == name { print $3 }
          { n = split($1, part, "/") } n > 1 && part[n] == name { print $1 }')
        owner=$(package_of "$path")
        case "$depends" in
          *" $owner "*) ;;
          *) fail "${program##*/} needs $library ($path) from package '$owner', not in Depends" ;;
        esac
      done
    done
    ;;
  contents)
    expect_equal "files and modes" "0600 /etc/kiv/gw.cfg
0644 /etc/default/gatewayd
0644 /lib/systemd/system/gatewayd.service
0644 /usr/lib/libKIVIOcpp.so
0644 /usr/lib/libKIVKeycpp.so
0644 /usr/lib/libKIVSdkcpp.so
0644 /usr/lib/sysusers.d/gatewayd.conf
0644 /usr/share/doc/gatewayd/operations.md
0755 /etc/kiv/pynodes.py
0755 /usr/bin/gatewayd
0755 /usr/libexec/gatewayd-launch" "$(file_modes "$deb")"
    expect_equal "mipsel files and modes" "$(file_modes "$deb")" "$(file_modes "$mipsel_deb")"
    dpkg-deb --fsys-tarfile "$mipsel_deb" | tar -x -C "$work" ./usr/bin/gatewayd
    case "$(file -b "$work/usr/bin/gatewayd")" in
      "ELF 32-bit LSB"*MIPS*stripped) ;;
      *) fail "the mipsel package's gatewayd is not a stripped 32-bit little-endian MIPS program" ;;
    esac
    ;;
  unit)
    # The unit checked inside the unpacked package (so that the programs it
    # names exist), beside this machine's own units that it refers to.
    units=$work/root/lib/systemd/system
    cp -rn /lib/systemd/system/. "$units/"
    expect_equal "systemd-analyze verify" "" \
      "$(systemd-analyze verify --root="$work/root" gatewayd.service 2>&1)"
    exposure=$(systemd-analyze security --offline=yes --root="$work/root" gatewayd.service |
      sed -n 's/.*Overall exposure level for gatewayd.service: \([0-9.]*\).*/\1/p')
    echo "exposure: $exposure"
    awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 3.0) }' ||
      fail "exposure '$exposure' is above 3.0"
    for path in $(paths_named_in "$source_dir/packaging/debian/gatewayd.service" |
      grep -v -e '^/var/' -e '^/lib/systemd/'); do
      [ -e "$work/root$path" ] || fail "the unit names $path, which the package lacks"
    done
    ;;
  *) die "unknown check $check" ;;
esac
finish "deb $check"
