#!/usr/bin/env bash
# Nothing goes missing in silence: a report that cannot be written to
# standard output or closed in its file ends the run with an "ERROR: " line
# and status 1, and a bucket size that would leave chunks unread is rounded,
# with a "WARNING: " line.
source "$(dirname "$0")/lib.sh" "$@"
PELKO=$(readlink -f "$PELKO")
# LeakSanitizer cannot run under strace.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"

head -c 100000 /dev/urandom >"$TMP/f"  # 6 chunks and a tail

# --- Standard output on a full disk --------------------------------------------
# run_to_full ARGS...: like run_pelko, with standard output on /dev/full.
run_to_full() {
  RC=0
  "$PELKO" "$@" >/dev/full 2>"$TMP/err" </dev/null || RC=$?
}

if [ -w /dev/full ]; then
  FULL="ERROR: write(stdout) failed, No space left on device"
  run_to_full -p "$TMP/f"
  expect_status "stdout full" 1
  expect_file "stdout full: stderr" "$FULL" "$TMP/err"
  # The report file still gets the whole report.
  run_to_full -p "$TMP/f" -o "$TMP/report"
  expect_status "stdout full, report file" 1
  expect_file "stdout full, report file: stderr" "$FULL" "$TMP/err"
  expect_contains "stdout full: report file complete" "96.000 KiB (100.000%)" \
    "$(final_row "$TMP/report")"
  for opt in -h -V; do
    run_to_full "$opt"
    expect_status "$opt, stdout full" 1
    expect_contains "$opt, stdout full" "ERROR: write(stdout) failed, " "$(cat "$TMP/err")"
  done
else
  echo "SKIP standard output on a full disk: no /dev/full"
fi

# --- A report file whose close fails (strace fault injection) ------------------
if strace -f -o /dev/null true 2>/dev/null; then
  RC=0
  strace -f -qq -o /dev/null -P "$TMP/report" -e trace=close -e inject=close:error=EIO \
    "$PELKO" -p "$TMP/f" -o "$TMP/report" >"$TMP/out" 2>"$TMP/err" </dev/null || RC=$?
  expect_status "close fails" 1
  expect_file "close fails: stderr" "ERROR: close($TMP/report) failed, Input/output error" \
    "$TMP/err"
  expect_contains "close fails: console complete" "96.000 KiB (100.000%)" "$(cat "$TMP/out")"
else
  echo "SKIP failing close of the report file: strace not usable"
fi

# --- Buckets that are not a multiple of the chunk size -------------------------
# Three distinct chunks, each twice, and a tail: with the chunks read whole
# and aligned the ratio is exactly 2. Unrounded, -b 40K would read five
# chunks, three of them across chunk boundaries, while "Reductible" counted
# six.
for b in a b c; do head -c 16384 /dev/urandom >"$TMP/$b"; done
cat "$TMP/a" "$TMP/b" "$TMP/c" "$TMP/a" "$TMP/b" "$TMP/c" >"$TMP/abc"
head -c 1000 /dev/urandom >>"$TMP/abc"
# figures REPORT: the final row's figures after MEMORY, empty fields dropped.
figures() {
  final_row "$1" | tr '\t' '\n' | sed '/^$/d' | sed -n '/GiB$/,$p' | sed 1d \
    | paste -sd' '
}
run_pelko -p "$TMP/abc" -o "$TMP/r_default"
expect_status "default buckets" 0
want=$(figures "$TMP/r_default")
expect_close "default buckets: DEDUPE" "$(awk '{ print $2 }' <<<"$want")" 2
# (A bucket smaller than a chunk, -b 8K, is a usage error.)
for case in "40K 48.000 KiB" "20K 32.000 KiB"; do
  read -r b rounded _ <<<"$case"
  run_pelko -p "$TMP/abc" -b "$b" -o "$TMP/r_$b"
  expect_status "-b $b" 0
  # The warning, on stderr as well (stdout is a file here), and nothing else.
  expect_eq "-b $b: only the warning on stderr" \
    "WARNING: bucket_size set to $rounded KiB, a multiple of chunk_size." \
    "$(cat "$TMP/err")"
  rep=$(cat "$TMP/r_$b")
  expect_eq "-b $b: one warning" \
    "WARNING: bucket_size set to $rounded KiB, a multiple of chunk_size." \
    "$(grep WARNING <<<"$rep")"
  expect_contains "-b $b: reductible" "Reductible: 96.000 KiB (" "$rep"
  expect_contains "-b $b: all read" "96.000 KiB (100.000%)" "$(final_row "$TMP/r_$b")"
  expect_eq "-b $b: figures as with the default buckets" "$want" "$(figures "$TMP/r_$b")"
done

finish
