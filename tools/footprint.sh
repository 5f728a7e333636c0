#!/bin/sh
# Footprint on the router: builds the deliverables for mipsel with -Os (the
# mipsel preset), strips copies of them and writes their sizes and the shared
# libraries each needs to docs/footprint.md. Exits non-zero when a budget is
# missed: gatewayd plus our three libraries under 300 KiB, modemctl under
# 40 KiB (flash on these routers is 8 to 16 MiB).
#
# Usage: sh tools/footprint.sh [REPORT]   (default docs/footprint.md)
set -eu
cd "$(dirname "$0")/.."
REPORT=${1:-docs/footprint.md}
BUILD=build/mipsel
PREFIX=mipsel-linux-gnu-
GATEWAY_BUDGET_KIB=300
MODEMCTL_BUDGET_KIB=40

sh tools/mipsel-sysroot.sh >/dev/null
cmake --preset mipsel >/dev/null
cmake --build --preset mipsel --target gatewayd modemctl KIVKeycpp KIVIOcpp KIVSdkcpp

STRIPPED=$BUILD/footprint
rm -rf "$STRIPPED"
mkdir -p "$STRIPPED"

# Path of a built target's file in the build tree.
built() {
  find "$BUILD" -path "$STRIPPED" -prune -o -name "$1" -type f -print | head -n 1
}

stripped_size() {
  source=$(built "$1")
  [ -n "$source" ] || { echo "error: $1 was not built" >&2; exit 1; }
  "${PREFIX}strip" --strip-all -o "$STRIPPED/$1" "$source"
  stat -c %s "$STRIPPED/$1"
}

needed() {
  "${PREFIX}readelf" -d "$STRIPPED/$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | paste -sd ' ' -
}

# The optimisation the sources of a deliverable's folder are compiled with
# (the last -O flag wins; a target may add its own to the preset's -Os).
optimisation() {
  python3 - "$BUILD/compile_commands.json" "$PWD/$1/" <<'PY'
import json, re, sys
commands, folder = json.load(open(sys.argv[1])), sys.argv[2]
flags = {re.findall(r"(?<!\S)-O\w*", c["command"])[-1]
         for c in commands if c["file"].startswith(folder)}
print(" ".join(sorted(flags)))
PY
}

kib() {
  awk -v bytes="$1" 'BEGIN { printf "%.1f", bytes / 1024 }'
}

# file:folder of its sources
FILES="gatewayd:src libKIVKeycpp.so:keylib libKIVIOcpp.so:iolib libKIVSdkcpp.so:sdk modemctl:modem"
ROWS=""
gateway_total=0
for entry in $FILES; do
  file=${entry%%:*}
  size=$(stripped_size "$file")
  ROWS="$ROWS| \`$file\` | $size | $(kib "$size") | $(optimisation "${entry#*:}") | $(needed "$file") |
"
  [ "$file" = modemctl ] || gateway_total=$((gateway_total + size))
  [ "$file" = modemctl ] && modemctl_size=$size
done

verdict() {  # size budget_kib
  if [ "$1" -lt $(($2 * 1024)) ]; then echo "within"; else echo "OVER"; fi
}
gateway_verdict=$(verdict "$gateway_total" $GATEWAY_BUDGET_KIB)
modemctl_verdict=$(verdict "$modemctl_size" $MODEMCTL_BUDGET_KIB)

{
  echo "# Footprint on the router (mipsel, -Os, stripped)"
  echo
  echo "Written by \`sh tools/footprint.sh\`: the \`mipsel\` preset (MinSizeRel, \`-Os\`)"
  echo "built with $("${PREFIX}g++" --version | head -n 1), each file stripped"
  echo "with \`${PREFIX}strip --strip-all\`; \"needs\" is its DT_NEEDED list."
  echo
  echo "| file | bytes | KiB | compiled with | needs |"
  echo "|---|---:|---:|---|---|"
  printf '%s' "$ROWS"
  echo
  echo "| budget | measured | limit | |"
  echo "|---|---:|---:|---|"
  echo "| \`gatewayd\` + our three libraries | $(kib "$gateway_total") KiB | $GATEWAY_BUDGET_KIB KiB | $gateway_verdict |"
  echo "| \`modemctl\` | $(kib "$modemctl_size") KiB | $MODEMCTL_BUDGET_KIB KiB | $modemctl_verdict |"
  echo
  echo "Not counted: the C and C++ runtime, OpenSSL, Paho MQTT C, jsoncpp and cJSON,"
  echo "which the board's firmware provides (on this glibc build they are the"
  echo "libraries in the \"needs\" column)."
} > "$REPORT"
cat "$REPORT"
[ "$gateway_verdict" = within ] && [ "$modemctl_verdict" = within ]
