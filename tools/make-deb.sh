#!/bin/sh
# Builds the Debian packages of gatewayd with CPack (cmake/Packaging.cmake):
#   build/packages/gatewayd_<version>-1_<host architecture>.deb  (preset default)
#   build/packages/gatewayd_<version>-1_mipsel.deb               (preset mipsel)
# Each installs to /usr, with its settings as conffiles in /etc and the
# systemd unit gatewayd.service.
#
# Usage: sh tools/make-deb.sh [native|mipsel]...   (default: both)
set -eu
cd "$(dirname "$0")/.."
. tools/packaging-common.sh
sh tools/install-deps.sh

[ $# -gt 0 ] || set -- native mipsel
mkdir -p build/packages
for target in "$@"; do
  case "$target" in
    native) preset=default ;;
    mipsel) preset=mipsel ;;
    *) echo "make-deb.sh: unknown target '$target' (native or mipsel)" >&2; exit 1 ;;
  esac
  build_gatewayd "$preset"
  (cd "build/$preset" && cpack >/dev/null)
  for deb in "build/$preset"/packages/gatewayd_*.deb; do
    cp "$deb" build/packages/
    echo "build/packages/${deb##*/}: $(stat -c %s "$deb") bytes"
  done
done
