#!/usr/bin/env bash
# Progress lines: on a terminal the lines rewritten in place end with the
# time left ("ETA ..."); redirected, standard output holds the report alone,
# without carriage returns or progress fragments. On a terminal the rows take
# a compact layout of 80 columns; the report file keeps the full one.
source "$(dirname "$0")/lib.sh" "$@"
PELKO=$(readlink -f "$PELKO")

# A run of about 3 s: 192 MiB at 64 MiB/s.
truncate -s 192M "$TMP/data"
ARGS=(-p "$TMP/data" --max-rate 64M -r 10 -t 1)
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

# On a terminal of 80 columns (a pseudo terminal, whose line ends arrive as
# CR LF): the compact layout, every line within 80 columns, the lines
# rewritten in place within 79; the report file keeps the full layout.
if script -qec true /dev/null >/dev/null 2>&1 </dev/null; then
  cmd=$(printf '%q ' "$PELKO" "${ARGS[@]}" -o "$TMP/report_tty")
  script -qec "stty cols 80 rows 40; $cmd" /dev/null </dev/null | sed 's/\r$//' >"$TMP/tty"
  expect_contains "terminal: carriage returns" $'\r' "$(cat "$TMP/tty")"
  # A transient line: elapsed, progress, rate, memory, then the time left.
  if ! grep -a -q -E $'^\r\x1b''\[K[1-9][0-9]*s  [0-9.]+ [KMG]iB \([0-9.]+%\)  [0-9.]+ [KMG]iB/s  mem [0-9.]+ \([0-9.]+\) GiB  ETA [0-9]+s$' \
       <(tr '\r' '\n' <"$TMP/tty" | sed 's/^/\r/'); then
    _fail "terminal: no progress line ending in ETA"
    tr '\r' '\n' <"$TMP/tty" | grep -a ETA | head -n 3 | sed 's/^/    /'
  fi
  # What the terminal shows: each piece after a carriage return.
  tr '\r' '\n' <"$TMP/tty" | sed $'s/\x1b\\[K//g' >"$TMP/tty.plain"
  wide=$(awk 'length($0) > 80' "$TMP/tty.plain" | grep -a -v -E '^[0-9]+s\. Scanned: ' || true)
  expect_eq "terminal: lines within 80 columns" "" "$wide"
  if tr '\r' '\n' <"$TMP/tty" | grep -a -q $'\t'; then
    _fail "terminal: tabs in the compact layout"
  fi
  expect_contains "terminal: compact header" \
    "elapsed  analysed                 dedupe [low-high]         compress     zeros" \
    "$(cat "$TMP/tty.plain")"
  # compact_rows FILE: the share of each compact row.
  compact_rows() { grep -a -E '^ +[0-9]+s  ' "$1" | awk '{ print $4 }'; }
  expect_eq "terminal: rows" 12 "$(compact_rows "$TMP/tty.plain" | wc -l)"
  expect_eq "terminal: rows as in the report file" \
    "$(rows "$TMP/report_tty" | sed -E 's/.*\(([0-9.]+%)\)/\1/')" \
    "$(compact_rows "$TMP/tty.plain")"
  expect_contains "terminal: the final row is exact" "(exact)" \
    "$(grep -a -E '^ +[0-9]+s  ' "$TMP/tty.plain" | tail -n 1)"
  if grep -q -a -E 'ETA|elapsed  analysed|'$'\x1b' "$TMP/report_tty"; then
    _fail "terminal: progress lines or the compact layout reached the report file"
  fi
  # The report file is the one a redirected run writes, but for the times
  # and the memory.
  mask_run() { sed -E 's/[0-9.]+ \([0-9.]+\) GiB/<MEM>/; s/^[0-9]+s\./<T>/; s/\t[0-9.]+ [KMG]iB\/s\t/\t<BW>\t/; s/\t\t\t<MEM>/\t<BW>\t<MEM>/' "$1" \
    | grep -a -v -E '^(memory_limit|output_file|#threads):'; }
  expect_eq "terminal: the report file as when redirected" \
    "$(mask_run "$TMP/report")" "$(mask_run "$TMP/report_tty")"
else
  echo "SKIP terminal: script(1) cannot allocate a pseudo terminal"
fi

finish
