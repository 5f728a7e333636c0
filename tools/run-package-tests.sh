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
sh tools/make-ipk.sh
cmake --build --preset default
ctest --preset packaging
