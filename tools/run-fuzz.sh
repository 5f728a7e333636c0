#!/bin/sh
# Builds the fuzz targets (the fuzz preset: clang, libFuzzer, ASan+UBSan) and
# runs each for a bounded time, seeded from its corpus folders and from every
# input that once made it fail (fuzz/regressions/<target>/). Prints how many
# inputs each target ran. A failure stops the stage and leaves the input in
# build/fuzz/findings/<target>/: fix the fault and add the input to
# fuzz/regressions/<target>/, which every preset's CTest replays from then on.
#   KIV_FUZZ_SECONDS  seconds per target (default 15)
set -eu
cd "$(dirname "$0")/.."
seconds=${KIV_FUZZ_SECONDS:-15}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

status=0
while read -r name program inputs; do
  work=build/fuzz/corpus/$name  # what the runs add; kept between local runs
  findings=build/fuzz/findings/$name
  log=build/fuzz/$name.log
  mkdir -p "$work" "$findings"
  # shellcheck disable=SC2086 # $inputs: blank-separated folders
  if "$program" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$findings/" "$work" $inputs >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz $name: $runs inputs in $seconds s, no failure"
  else
    echo "fuzz $name: FAILED, the input is in $findings/ (log $log):" >&2
    tail -n 40 "$log" >&2
    status=1
  fi
done <build/fuzz/fuzz-targets.txt
exit $status
