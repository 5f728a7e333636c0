#!/bin/sh
# The one command that installs what is missing, builds every deliverable and
# runs every test: natively, again under AddressSanitizer+UBSan, then each
# fuzz target for a bounded time (tools/run-fuzz.sh), then cross-built for
# the routers (mipsel) under qemu, then the Debian and OpenWrt packages made
# from those builds. Each stage says how long it took.
set -eu
cd "$(dirname "$0")/.."

stage_started=$(date +%s)
stage_done() {
  now=$(date +%s)
  echo "=== $1 took $((now - stage_started)) s ==="
  stage_started=$now
}

sh tools/install-deps.sh
stage_done "installing the dependencies"
for preset in default asan; do
  echo "=== preset $preset ==="
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset"
  stage_done "preset $preset"
done
echo "=== fuzzing ==="
sh tools/run-fuzz.sh
stage_done "fuzzing"
echo "=== preset mipsel (under qemu-mipsel) ==="
sh tools/run-mipsel-tests.sh
stage_done "preset mipsel"
echo "=== packaging ==="
sh tools/run-package-tests.sh
stage_done "packaging"
