#!/bin/sh
# Cross-builds every deliverable for the routers (MIPS32 little-endian) and
# runs the whole test suite under qemu-mipsel. Programs the tests start run
# under qemu too; host programs they start (mosquitto, /bin/sh, python3) run
# natively, and the broker tests reach the host's mosquitto over loopback.
#
# Two presets: mipsel (Debian's cross gcc, glibc, the sysroot of
# tools/mipsel-sysroot.sh) and mipsel-musl (zig's clang, musl and the
# libraries tools/mipsel-musl-stack.sh builds: OpenWrt's C library).
#
# Usage: sh tools/run-mipsel-tests.sh [configure|build|test|all] [PRESET]
#   (default: all three steps, preset mipsel)
set -eu
cd "$(dirname "$0")/.."
PRESET=${2:-mipsel}

case "$PRESET" in
  mipsel) INTERPRETER=/lib/ld.so.1 ;;
  mipsel-musl) INTERPRETER=/lib/ld-musl-mipsel-sf.so.1 ;;
  *) echo "run-mipsel-tests.sh: unknown preset '$PRESET' (mipsel or mipsel-musl)" >&2; exit 1 ;;
esac

configure() {
  if [ "$PRESET" = mipsel-musl ]; then
    sh tools/mipsel-musl-stack.sh
  else
    sh tools/mipsel-sysroot.sh
  fi
  cmake --preset "$PRESET"
}

build() {
  cmake --build --preset "$PRESET"
  # The binaries must really be for the board, not the host (the packages'
  # staging folders hold files of the same names, such as etc/default/gatewayd),
  # and ask for the preset's C library.
  find "build/$PRESET" -path "build/$PRESET/packages" -prune -o \
    -type f \( -name gatewayd -o -name modemctl \) -print | while read -r program; do
    description=$(file -b "$program")
    echo "$program: $description"
    case "$description" in
      "ELF 32-bit LSB"*MIPS*"interpreter $INTERPRETER"*) ;;
      *) echo "error: $program is not a 32-bit little-endian MIPS program for $INTERPRETER" >&2; exit 1 ;;
    esac
  done
}

case "${1:-all}" in
  configure) configure ;;
  build) build ;;
  test) ctest --preset "$PRESET" ;;
  all) configure && build && ctest --preset "$PRESET" ;;
  *) echo "run-mipsel-tests.sh: unknown step '$1' (configure, build, test or all)" >&2; exit 1 ;;
esac
