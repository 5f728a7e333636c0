#!/bin/sh
# Makes the packages (both .deb files and the .ipk) and tests them: their
# contents, the service scripts, and the packaged gatewayd installed into a
# temporary root and run as its service would be (CTest preset packaging).
# Needs root for the dpkg --root installation (skipped otherwise).
#
# Usage: sh tools/run-package-tests.sh
set -eu
cd "$(dirname "$0")/.."
sh tools/make-deb.sh
cmake --build --preset default
# The .ipk comes from the musl build, whose stack builds from the release
# archives beside the project: a clone on its own tests the .deb only.
if [ -d "${KIV_MUSL_SOURCES:-../shared/third_party/sources}" ]; then
  sh tools/make-ipk.sh
  ctest --preset packaging
else
  echo "the OpenWrt package is skipped: no release archives at" \
    "${KIV_MUSL_SOURCES:-../shared/third_party/sources} (set KIV_MUSL_SOURCES)"
  ctest --preset packaging --exclude-regex 'ipk\.|Ipk'
fi
