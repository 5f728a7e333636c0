#!/bin/sh
# Footprint on the router: builds the deliverables for mipsel with -Os, once
# with glibc (preset mipsel, Debian's gcc) and once with musl (preset
# mipsel-musl, zig's clang: the build the OpenWrt package ships), strips
# copies of them and writes their sizes and the shared libraries each needs
# to docs/footprint.md, with what the OpenWrt package adds to a board's
# flash in all. Exits non-zero when a budget is missed: gatewayd plus our
# three libraries under 300 KiB, modemctl under 40 KiB (flash on these
# routers is 8 to 16 MiB).
#
# Stripping takes the MIPS binutils of Debian's cross toolchain, whatever
# compiled the files: KIV_TOOL_PREFIX (default mipsel-linux-gnu-) names
# another. Besides the symbols, the MIPS .pdr sections go (lld keeps them,
# about 10% of our files; nothing at run time reads them).
#
# Usage: sh tools/footprint.sh [REPORT]   (default docs/footprint.md)
set -eu
cd "$(dirname "$0")/.."
REPORT=${1:-docs/footprint.md}
PREFIX=${KIV_TOOL_PREFIX:-mipsel-linux-gnu-}
GATEWAY_BUDGET_KIB=300
MODEMCTL_BUDGET_KIB=40
STRIPPED=build/footprint
# file:folder of its sources
FILES="gatewayd:src libKIVKeycpp.so:keylib libKIVIOcpp.so:iolib libKIVSdkcpp.so:sdk modemctl:modem"

# build <preset>: its stack or sysroot, then the deliverables.
build() {
  if [ "$1" = mipsel-musl ]; then
    sh tools/mipsel-musl-stack.sh >/dev/null
  else
    sh tools/mipsel-sysroot.sh >/dev/null
  fi
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1" --target gatewayd modemctl KIVKeycpp KIVIOcpp KIVSdkcpp
}

# strip_copy <file> <into>: a stripped copy; prints its size.
strip_copy() {
  "${PREFIX}strip" --strip-all -R .pdr -o "$2/${1##*/}" "$1"
  stat -c %s "$2/${1##*/}"
}

needed() {
  "${PREFIX}readelf" -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | paste -sd ' ' -
}

# Path of a built target's file in a build tree.
built() {
  found=$(find "$1" -path "$1/packages" -prune -o -name "$2" -type f -print | head -n 1)
  [ -n "$found" ] || { echo "error: $2 was not built in $1" >&2; exit 1; }
  echo "$found"
}

# The optimisation the sources of a deliverable's folder are compiled with
# (the last -O flag wins; a target may add its own to the preset's -Os). A
# target built as one unit compiles a file of the build tree's folder.
optimisation() {
  python3 - "$1/compile_commands.json" "$PWD/$2/" "$PWD/$1/$2/" <<'PY'
import json, re, sys
commands, folders = json.load(open(sys.argv[1])), tuple(sys.argv[2:])
flags = {re.findall(r"(?<!\S)-O\w*", c["command"])[-1]
         for c in commands if c["file"].startswith(folders)}
print(" ".join(sorted(flags)))
PY
}

kib() {
  awk -v bytes="$1" 'BEGIN { printf "%.1f", bytes / 1024 }'
}

verdict() {  # size budget_kib
  if [ "$1" -lt $(($2 * 1024)) ]; then echo "within"; else echo "OVER"; fi
}

failed=0
# section <preset> <title>: the table of one build; sets gateway_total.
section() {
  preset=$1
  tree=build/$preset
  into=$STRIPPED/$preset
  rm -rf "$into"
  mkdir -p "$into"
  compiler=$(sed -n 's/^set(CMAKE_CXX_COMPILER "\(.*\)")$/\1/p' "$tree"/CMakeFiles/*/CMakeCXXCompiler.cmake)
  echo "## $2"
  echo
  echo "The \`$preset\` preset (MinSizeRel), built with $("$compiler" --version | head -n 1 | sed 's/ (https:[^)]*)//')."
  echo
  echo "| file | bytes | KiB | compiled with | needs |"
  echo "|---|---:|---:|---|---|"
  gateway_total=0
  for entry in $FILES; do
    file=${entry%%:*}
    size=$(strip_copy "$(built "$tree" "$file")" "$into")
    echo "| \`$file\` | $size | $(kib "$size") | $(optimisation "$tree" "${entry#*:}") | $(needed "$into/$file") |"
    if [ "$file" = modemctl ]; then
      modemctl_size=$size
    else
      gateway_total=$((gateway_total + size))
    fi
  done
  gateway_verdict=$(verdict "$gateway_total" $GATEWAY_BUDGET_KIB)
  modemctl_verdict=$(verdict "$modemctl_size" $MODEMCTL_BUDGET_KIB)
  [ "$gateway_verdict" = within ] && [ "$modemctl_verdict" = within ] || failed=1
  echo
  echo "| budget | measured | limit | |"
  echo "|---|---:|---:|---|"
  echo "| \`gatewayd\` + our three libraries | $(kib "$gateway_total") KiB | $GATEWAY_BUDGET_KIB KiB | $gateway_verdict |"
  echo "| \`modemctl\` | $(kib "$modemctl_size") KiB | $MODEMCTL_BUDGET_KIB KiB | $modemctl_verdict |"
  echo
}

# package_section: what the OpenWrt package (tools/make-ipk.sh) adds to a
# board's flash: every file it installs, the C++ runtime it carries
# included, as it holds them.
package_section() {
  sh tools/make-ipk.sh >/dev/null
  echo "## What the OpenWrt package adds to a board"
  echo
  echo "Every file of \`$(ls build/packages/gatewayd_*_mipsel_24kc.ipk)\` (\`sh tools/make-ipk.sh\`)."
  echo
  echo "| file | bytes | KiB |"
  echo "|---|---:|---:|"
  ar p build/packages/gatewayd_*_mipsel_24kc.ipk data.tar.gz | tar -tvzf - |
    awk '$1 ~ /^-/ { print $3, substr($6, 2) }' | sort -k2 > "$STRIPPED/package-files"
  while read -r size file; do
    echo "| \`$file\` | $size | $(kib "$size") |"
  done < "$STRIPPED/package-files"
  total=$(awk '{ s += $1 } END { print s }' "$STRIPPED/package-files")
  echo "| **in all** | $total | $(kib "$total") |"
  echo
}

build mipsel
build mipsel-musl
{
  echo "# Footprint on the router (mipsel, -Os, stripped)"
  echo
  echo "Written by \`sh tools/footprint.sh\`: each file stripped with"
  echo "\`${PREFIX}strip --strip-all -R .pdr\`; \"needs\" is its DT_NEEDED list."
  echo
  section mipsel "glibc (Debian-based boards, the .deb)"
  section mipsel-musl "musl (OpenWrt, the .ipk)"
  package_section
  echo "Not counted above: the C library, OpenSSL, Paho MQTT C and cJSON, which the"
  echo "board's firmware provides (the libraries in the \"needs\" column), and on the"
  echo "glibc build the C++ runtime and jsoncpp too."
  echo
  echo "Where the musl build's size comes from: clang's MIPS code and libc++'s"
  echo "templates, instantiated in each module where libstdc++ keeps them in its"
  echo "library. The deliverables are compiled with \`-Oz\`, handed to clang's compiler"
  echo "proper (zig's driver turns \`-Oz\` into \`-Os\`, some 15% larger), with clang's"
  echo "function merging, inlining libc++'s small wrappers that \`-Oz\` would keep as"
  echo "functions of their own (each with the MIPS PIC prologue), and without"
  echo "unwinding tables for code that cannot throw (\`cmake/KivLibrary.cmake\`)."
  echo "The SDK is compiled as one unit, standing in for the link-time optimisation"
  echo "zig's driver cannot do for MIPS (relocations"
  echo "against \`_gp_disp\`) and lld's identical code folding, which it refuses. The"
  echo "SDK keeps libc++'s templates few: its own callable holder (\`sdk/src/Function.h\`)"
  echo "for std::function, lists and vectors for maps, sets, deques and hash tables,"
  echo "stdio for iostreams. The programs take compiler_rt's soft-float and 64-bit"
  echo "helpers from a copy with hidden symbols, keeping only those they call"
  echo "(\`cmake/KivMuslBuiltins.cmake\`): with zig's own copy a program exports, and so"
  echo "keeps, most of compiler_rt (modemctl, which exports its own functions for its"
  echo "tests, would be 204 KiB). The budgets above were set for the gcc build."
} > "$REPORT"
cat "$REPORT"
[ "$failed" = 0 ]
