#!/bin/sh
# The one command that installs what is missing, builds every deliverable and
# runs every test: natively, again under AddressSanitizer+UBSan (the SDK's
# also under ThreadSanitizer), cross-built
# for the routers under qemu (mipsel with glibc, mipsel-musl with OpenWrt's
# musl); then each fuzz target for a bounded time (tools/run-fuzz.sh), then
# the Debian and OpenWrt packages made from those builds. Each stage says how
# long it took.
#
# The four test stages overlap: a preset's tests (which mostly wait, on
# timers, brokers and child programs) run while the next preset builds; each
# test log is printed whole once its tests are done. The musl stack (zig and
# the libraries, kept for the machine, build/mipsel-musl-stack links to it)
# builds from the start, beside the native builds.
set -eu
cd "$(dirname "$0")/.."

# One musl stack (zig and the libraries it builds, tools/mipsel-musl-stack.sh)
# for every work tree and CI run of this machine: built once, it takes a
# second; built from nothing, several minutes.
export KIV_MUSL_STACK_CACHE="${KIV_MUSL_STACK_CACHE:-${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/kiv-gateway/mipsel-musl-stack}"

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
  "$@"
  echo "=== preset $preset built in $(($(date +%s) - build_started)) s ==="
}

# in_background <job> <command>...: runs the command in the background, its
# output to build/<job>.log, and notes how long it took there.
in_background() {
  job=$1
  shift
  log=build/$job.log
  mkdir -p build
  (
    started=$(date +%s)
    status=0
    "$@" >"$log" 2>&1 || status=$?
    echo "=== $job took $(($(date +%s) - started)) s ===" >>"$log"
    exit $status
  ) &
  eval "job_$(echo "$job" | tr -c 'a-z\n' _)=$!"
}

# finish <job>: waits for it, prints its log; fails as it did.
finish() {
  status=0
  eval "wait \$job_$(echo "$1" | tr -c 'a-z\n' _)" || status=$?
  echo "=== $1 ==="
  cat "build/$1.log"
  return $status
}

# Should a build fail, the tests already running finish before the exit.
trap wait EXIT

sh tools/install-deps.sh
stage_done "installing the dependencies"

# The musl stack builds from the release archives beside the project; a clone
# on its own has none, and runs every other stage.
musl=mipsel-musl
if [ ! -d "${KIV_MUSL_SOURCES:-../shared/third_party/sources}" ]; then
  echo "=== the mipsel-musl stage is skipped: no release archives at" \
    "${KIV_MUSL_SOURCES:-../shared/third_party/sources} (set KIV_MUSL_SOURCES) ==="
  musl=""
fi

# The other presets configure (the mipsel sysroot downloads, the musl stack
# builds: the longest path, so it starts first and at normal priority)
# meanwhile.
[ -n "$musl" ] && in_background configure-mipsel-musl sh tools/run-mipsel-tests.sh configure mipsel-musl
in_background configure-asan cmake --preset asan
in_background configure-tsan cmake --preset tsan
in_background configure-mipsel sh tools/run-mipsel-tests.sh configure
cmake --preset default
build default cmake --build --preset default
in_background test-default ctest --preset default
finish configure-asan
build asan cmake --build --preset asan
in_background test-asan ctest --preset asan
# ThreadSanitizer over the SDK's tests: its threads (the loop, the MQTT
# library's, the callers') are where a data race would hide.
finish configure-tsan
build tsan cmake --build --preset tsan --target sdk_tests
in_background test-tsan ctest --preset tsan -L sdk
finish configure-mipsel
build mipsel sh tools/run-mipsel-tests.sh build
in_background test-mipsel sh tools/run-mipsel-tests.sh test
if [ -n "$musl" ]; then
  finish configure-mipsel-musl
  build mipsel-musl sh tools/run-mipsel-tests.sh build mipsel-musl
  in_background test-mipsel-musl sh tools/run-mipsel-tests.sh test mipsel-musl
fi
failed=""
finish test-default || failed="$failed default"
finish test-asan || failed="$failed asan"
finish test-tsan || failed="$failed tsan"
finish test-mipsel || failed="$failed mipsel"
if [ -n "$musl" ]; then finish test-mipsel-musl || failed="$failed mipsel-musl"; fi
stage_done "the test stages (presets default, asan, tsan, and under qemu-mipsel mipsel and mipsel-musl)"
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
