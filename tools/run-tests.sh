#!/bin/sh
# The one command that installs what is missing, builds every deliverable and
# runs every test: natively, again under AddressSanitizer+UBSan, then
# cross-built for the routers (mipsel) under qemu.
set -eu
cd "$(dirname "$0")/.."
sh tools/install-deps.sh
for preset in default asan; do
  echo "=== preset $preset ==="
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
echo "=== preset mipsel (under qemu-mipsel) ==="
sh tools/run-mipsel-tests.sh
