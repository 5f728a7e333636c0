# shellcheck shell=sh
# Helpers of the package tests (sourced): checks that report every
# difference and carry on, and a summary that sets the exit status.

failures=0

# fail MESSAGE: one failed check; the test goes on with the next.
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# die MESSAGE: nothing more can be checked.
die() {
  echo "FAIL: $*" >&2
  exit 1
}

# expect_equal WHAT EXPECTED ACTUAL
expect_equal() {
  [ "$2" = "$3" ] || fail "$(printf '%s differs\n--- expected\n%s\n--- actual\n%s' "$1" "$2" "$3")"
}

# only_file PATTERN_MATCHES...: the one file a glob matched.
only_file() {
  if [ $# -ne 1 ] || [ ! -f "$1" ]; then
    die "expected one package, found: $* (run the package fixture)"
  fi
  echo "$1"
}

# file_modes_of_listing: "MODE PATH" for each file of a `tar -tv` listing on
# standard input (also dpkg-deb --contents), sorted.
file_modes_of_listing() {
  awk '$1 ~ /^-/ { print $1, substr($6, 2) }' |
    sed 's/^-rwxr-xr-x/0755/; s/^-rw-r--r--/0644/; s/^-rw-------/0600/' | sort
}

# paths_named_in FILE: the absolute paths in FILE's lines that are not
# comments, one per line.
paths_named_in() {
  grep -v '^[[:space:]]*#' "$1" | grep -o '/[A-Za-z0-9_.][A-Za-z0-9_./-]*' | sort -u
}

# finish NAME: the summary line and the exit status.
finish() {
  if [ "$failures" -eq 0 ]; then
    echo "ok: $1"
    exit 0
  fi
  echo "$1: $failures check(s) failed" >&2
  exit 1
}
