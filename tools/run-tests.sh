#!/bin/sh
# The one command that installs what is missing, builds every deliverable and
# runs every test: natively, again under AddressSanitizer+UBSan, cross-built
# for the routers (mipsel) under qemu; then each fuzz target for a bounded
# time (tools/run-fuzz.sh), then the Debian and OpenWrt packages made from
# those builds. Each stage says how long it took.
#
# The three test stages overlap: a preset's tests (which mostly wait, on
# timers, brokers and child programs) run while the next preset builds. The
# builds run at the lowest priority, so the tests get the processor when they
# want it; each test log is printed whole once its tests are done.
set -eu
cd "$(dirname "$0")/.."

run_started=$(date +%s)
stage_started=$run_started
stage_done() {
  now=$(date +%s)
  echo "=== $1 took $((now - stage_started)) s ==="
  stage_started=$now
}

# build <preset> <command>...: runs the command (a build) and says how long.
build() {
  preset=$1
  shift
  echo "=== building preset $preset ==="
  build_started=$(date +%s)
  nice -n 19 "$@"
  echo "=== preset $preset built in $(($(date +%s) - build_started)) s ==="
}

# start_tests <preset> <command>...: runs the tests in the background, their
# output to build/<preset>-tests.log.
start_tests() {
  preset=$1
  shift
  log=build/$preset-tests.log
  mkdir -p build
  (
    started=$(date +%s)
    status=0
    "$@" >"$log" 2>&1 || status=$?
    echo "=== preset $preset tested in $(($(date +%s) - started)) s ===" >>"$log"
    exit $status
  ) &
  eval "tests_$preset=$!"
}

# finish_tests <preset>: waits for them, prints their log; fails as they did.
finish_tests() {
  preset=$1
  status=0
  eval "wait \$tests_$preset" || status=$?
  echo "=== preset $preset tests ==="
  cat "build/$preset-tests.log"
  return $status
}

# Should a build fail, the tests already running finish before the exit.
trap wait EXIT

sh tools/install-deps.sh
stage_done "installing the dependencies"

cmake --preset default
build default cmake --build --preset default
start_tests default ctest --preset default
cmake --preset asan
build asan cmake --build --preset asan
start_tests asan ctest --preset asan
build mipsel sh tools/run-mipsel-tests.sh build
start_tests mipsel sh tools/run-mipsel-tests.sh test
failed=""
finish_tests default || failed="$failed default"
finish_tests asan || failed="$failed asan"
finish_tests mipsel || failed="$failed mipsel"
stage_done "the three test stages (presets default, asan, mipsel under qemu-mipsel)"
if [ -n "$failed" ]; then
  echo "error: tests failed in preset(s)$failed" >&2
  exit 1
fi

echo "=== fuzzing ==="
sh tools/run-fuzz.sh
stage_done "fuzzing"
echo "=== packaging ==="
sh tools/run-package-tests.sh
stage_done "packaging"
echo "=== the whole run took $(($(date +%s) - run_started)) s ==="
