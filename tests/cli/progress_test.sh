#!/usr/bin/env bash
# Progress lines: on a terminal the lines rewritten in place end with the
# time left ("ETA ..."); redirected, standard output holds the report alone,
# without carriage returns or progress fragments. The rows are the same
# either way.
source "$(dirname "$0")/lib.sh" "$@"
PELKO=$(readlink -f "$PELKO")

# A run of about 3 s: 192 MiB at 64 MiB/s.
truncate -s 192M "$TMP/data"
ARGS=(-p "$TMP/data" --max-rate 64M -r 10)
# rows FILE: elapsed and progress of each report row, as a terminal shows
# the lines (what follows the last carriage return of each).
rows() { awk -F'\r' '{ print $NF }' "$1" | grep -a -E '^[0-9]+s\.'$'\t' | cut -f 2; }

# Redirected.
run_pelko "${ARGS[@]}" -o "$TMP/report"
expect_status "redirected" 0
if grep -q -a $'\r' "$TMP/out"; then _fail "redirected: carriage returns in the output"; fi
if grep -q -a 'ETA ' "$TMP/out"; then _fail "redirected: progress lines in the output"; fi
expect_contains "redirected: scan line" "Scanned: 192.000 MiB" "$(cat "$TMP/out")"
expect_eq "redirected: rows as in the report file" "$(rows "$TMP/report")" "$(rows "$TMP/out")"
# The first chunk's row, one every 10 %, the final row.
expect_eq "redirected: rows" 12 "$(rows "$TMP/out" | wc -l)"

# On a terminal (a pseudo terminal, whose line ends arrive as CR LF).
if script -qec true /dev/null >/dev/null 2>&1 </dev/null; then
  cmd=$(printf '%q ' "$PELKO" "${ARGS[@]}" -o "$TMP/report_tty")
  script -qec "$cmd" /dev/null </dev/null | sed 's/\r$//' >"$TMP/tty"
  expect_contains "terminal: carriage returns" $'\r' "$(cat "$TMP/tty")"
  # A transient line: elapsed, progress, rate, memory, then the time left.
  if ! grep -a -q -E $'\r\x1b''\[K[1-9][0-9]*s\.'$'\t[^\t]+\t[^\t]+/s\t[^\t]+ GiB\t\t''ETA [0-9]+s$' \
       <(tr '\r' '\n' <"$TMP/tty" | sed 's/^/\r/'); then
    _fail "terminal: no progress line ending in ETA"
    tr '\r' '\n' <"$TMP/tty" | grep -a ETA | head -n 3 | sed 's/^/    /'
  fi
  sed $'s/\x1b\\[K//g' "$TMP/tty" >"$TMP/tty.plain"
  expect_eq "terminal: rows" 12 "$(rows "$TMP/tty.plain" | wc -l)"
  expect_eq "terminal: rows as in the report file" "$(rows "$TMP/report_tty")" \
    "$(rows "$TMP/tty.plain")"
  if grep -q -a -E 'ETA|'$'\x1b' "$TMP/report_tty"; then
    _fail "terminal: progress lines reached the report file"
  fi
else
  echo "SKIP terminal: script(1) cannot allocate a pseudo terminal"
fi

finish
