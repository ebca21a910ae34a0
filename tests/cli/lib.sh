# Shared helpers for the CLI tests. A test script starts with
#
#   source "$(dirname "$0")/lib.sh" "$@"
#
# which sets PELKO (the binary under test, the script's first argument) and
# TMP (a fresh directory removed when the script exits), and ends with
# `finish`, whose exit status is 1 when any expectation failed.
#
#   run_pelko ARGS...         runs pelko; stdout in $TMP/out, stderr in
#                             $TMP/err, exit status in $RC
#   expect_eq LABEL WANT GOT  exact text comparison, shows a diff
#   expect_file LABEL WANT FILE [FILTER]
#                             FILE (passed through the FILTER command when
#                             given) holds exactly WANT and one line feed
#   expect_status LABEL WANT  compares $RC with WANT
#   expect_contains LABEL NEEDLE HAYSTACK
#                             an empty NEEDLE (a figure that went missing)
#                             is a failure, not a match
#   expect_close LABEL GOT WANT [REL]
#                             numbers within REL (default 1e-4) of each other,
#                             relative to WANT; a GOT or WANT that is missing
#                             or not a number is a failure
#   mask_memory               filter: every "x.yyy GiB" figure -> "<MEM> GiB"
#   final_row FILE            the last report row of a console or report file
#                             (the run's summary follows it)
set -euo pipefail

PELKO=${1:?usage: $0 /path/to/pelko}
TMP=$(mktemp -d "${TMPDIR:-/tmp}/pelko_cli.XXXXXX")
trap 'rm -rf "$TMP"' EXIT
FAILURES=0
RC=0

run_pelko() {
  RC=0
  "$PELKO" "$@" >"$TMP/out" 2>"$TMP/err" </dev/null || RC=$?
}

_fail() {
  echo "FAIL: $1"
  FAILURES=$((FAILURES + 1))
}

expect_eq() {
  local label=$1 want=$2 got=$3
  if [ "$want" != "$got" ]; then
    _fail "$label"
    diff -u <(printf '%s\n' "$want") <(printf '%s\n' "$got") \
      | sed '1,2d; s/^/    /' || true
  fi
}

expect_file() {
  local label=$1 want=$2 file=$3 filter=${4:-cat}
  if ! diff -u <(printf '%s\n' "$want") <($filter <"$file") >"$TMP/diff"; then
    _fail "$label"
    sed '1,2d; s/^/    /' "$TMP/diff"
  fi
}

expect_status() {
  local label=$1 want=$2
  if [ "$RC" != "$want" ]; then
    _fail "$label: exit status $RC, want $want"
    sed 's/^/    stderr: /' "$TMP/err" | head -n 5
  fi
}

expect_contains() {
  local label=$1 needle=$2 haystack=$3
  if [ -z "$needle" ]; then
    _fail "$label: nothing to look for"
    return
  fi
  case "$haystack" in
    *"$needle"*) ;;
    *) _fail "$label: missing \"$needle\" in:"; printf '%s\n' "$haystack" \
         | sed 's/^/    /' | head -n 20 ;;
  esac
}

# is_number TEXT: a decimal number, as pelko and the reference print them.
is_number() {
  [[ $1 =~ ^[-+]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][-+]?[0-9]+)?$ ]]
}

expect_close() {
  local label=$1 got=$2 want=$3 rel=${4:-1e-4}
  if ! is_number "$got" || ! is_number "$want"; then
    _fail "$label: got \"$got\", want \"$want\": not a number"
    return
  fi
  if ! awk -v a="$got" -v b="$want" -v r="$rel" 'BEGIN { d = a - b;
      if (d < 0) d = -d; m = b < 0 ? -b : b; if (m < 1e-12) m = 1e-12;
      exit !(d / m <= r) }'; then
    _fail "$label: got $got, want $want within $rel"
  fi
}

mask_memory() {
  sed -E 's/[0-9]+\.[0-9]{3} GiB/<MEM> GiB/g'
}

# uncache FILE...: removes the files' pages from the page cache.
uncache() {
  python3 -c 'import os, sys
for p in sys.argv[1:]:
    fd = os.open(p, os.O_RDONLY)
    os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    os.close(fd)' "$@"
}

final_row() { tr '\r' '\n' <"$1" | grep -a -E '^[0-9]+s\.'$'\t' | tail -n 1; }

finish() {
  if [ "$FAILURES" -ne 0 ]; then
    echo "$FAILURES expectation(s) failed in $(basename "$0")"
    exit 1
  fi
  echo "all expectations held in $(basename "$0")"
}
