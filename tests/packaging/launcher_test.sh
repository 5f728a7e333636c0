#!/bin/sh
# The service launcher (packaging/gatewayd-launch): it starts the program in
# the node script's folder with the arguments unchanged, and refuses each bad
# setting with exactly one clear line and status 1 (so the service manager's
# restart limits apply).
#
# Usage: sh launcher_test.sh SOURCE_DIR
set -u
launcher=$1/packaging/gatewayd-launch
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

nodes="$work/node folder"
mkdir -p "$nodes" "$work/empty"
printf '#!/bin/sh\n' > "$nodes/pynodes.py"
chmod 755 "$nodes/pynodes.py"
touch "$work/ca.pem" "$work/not-executable.py"
mkdir "$work/plain" && cp "$work/not-executable.py" "$work/plain/pynodes.py"

# expect_refusal NAME EXPECTED_LINE [VARIABLE=VALUE...] -- LAUNCHER_ARGUMENTS...
expect_refusal() {
  name=$1 expected=$2
  shift 2
  output=$(env "$@" 2>&1 >/dev/null)
  status=$?
  if [ "$status" -ne 1 ] || [ "$output" != "$expected" ]; then
    printf 'FAIL %s: status %s, output:\n%s\nexpected status 1 and:\n%s\n' \
      "$name" "$status" "$output" "$expected" >&2
    failures=$((failures + 1))
  fi
}

expect_refusal "no folder" "gatewayd: node script folder $work/missing does not exist" \
  sh "$launcher" "$work/missing" true
expect_refusal "no node script" "gatewayd: no executable node script $work/empty/pynodes.py" \
  sh "$launcher" "$work/empty" true
expect_refusal "node script not executable" \
  "gatewayd: no executable node script $work/plain/pynodes.py" \
  sh "$launcher" "$work/plain" true
expect_refusal "missing CA file" \
  "gatewayd: KIV_TLS_CAFILE names $work/none.pem, which is not a readable file" \
  KIV_TLS_CAFILE="$work/none.pem" sh "$launcher" "$nodes" true
expect_refusal "key file is a folder" \
  "gatewayd: KIV_TLS_KEYFILE names $work, which is not a readable file" \
  KIV_TLS_CAFILE="$work/ca.pem" KIV_TLS_KEYFILE="$work" sh "$launcher" "$nodes" true
expect_refusal "no program" "gatewayd: usage: gatewayd-launch NODE_FOLDER PROGRAM [ARGUMENT...]" \
  sh "$launcher" "$nodes"

# A good start: the program runs in the folder, as the launcher's own
# process, with its arguments as given, and the state folder exists.
# shellcheck disable=SC2016
report='echo "$$ $(pwd)"; printf "<%s>" "$@"; [ -d "$STATE_DIRECTORY" ] && echo " state ok"'
output=$(KIV_TLS_CAFILE="$work/ca.pem" STATE_DIRECTORY="$work/state/gatewayd" \
  sh -c 'echo "$$"; exec sh "$1" "$2" sh -c "$3" gatewayd -f "a b.cfg"' \
  test "$launcher" "$nodes" "$report")
expected_tail="$(cd "$nodes" && pwd)
<-f><a b.cfg> state ok"
launcher_pid=$(echo "$output" | sed -n 1p)
program_pid=$(echo "$output" | sed -n '2s/ .*//p')
actual_tail=$(echo "$output" | sed -n '2s/^[0-9]* //p;3p')
if [ "$launcher_pid" != "$program_pid" ] || [ "$actual_tail" != "$expected_tail" ]; then
  printf 'FAIL good start: output\n%s\nexpected the same pid twice, then:\n%s\n' \
    "$output" "$expected_tail" >&2
  failures=$((failures + 1))
fi

[ "$failures" -eq 0 ] && echo "ok: launcher"
exit "$failures"
