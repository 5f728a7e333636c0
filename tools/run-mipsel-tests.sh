#!/bin/sh
# Cross-builds every deliverable for the routers (MIPS32 little-endian,
# mipsel-linux-gnu) and runs the whole test suite under qemu-mipsel. Programs
# the tests start run under qemu too; host programs they start (mosquitto,
# /bin/sh, python3) run natively, and the broker tests reach the host's
# mosquitto over loopback.
#
# Usage: sh tools/run-mipsel-tests.sh [configure|build|test]   (default: all three)
set -eu
cd "$(dirname "$0")/.."

configure() {
  sh tools/mipsel-sysroot.sh
  cmake --preset mipsel
}

build() {
  cmake --build --preset mipsel
  # The binaries must really be for the board, not the host (the packages'
  # staging folders hold files of the same names, such as etc/default/gatewayd).
  find build/mipsel -path build/mipsel/packages -prune -o \
    -type f \( -name gatewayd -o -name modemctl \) -print | while read -r program; do
    description=$(file -b "$program")
    echo "$program: $description"
    case "$description" in
      "ELF 32-bit LSB"*MIPS*) ;;
      *) echo "error: $program is not a 32-bit little-endian MIPS program" >&2; exit 1 ;;
    esac
  done
}

case "${1:-all}" in
  configure) configure ;;
  build) build ;;
  test) ctest --preset mipsel ;;
  all) configure && build && ctest --preset mipsel ;;
  *) echo "run-mipsel-tests.sh: unknown step '$1' (configure, build or test)" >&2; exit 1 ;;
esac
