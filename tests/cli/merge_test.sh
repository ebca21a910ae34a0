#!/usr/bin/env bash
# Exports and merges: four directories exported on their own merge to what
# one run over all four reports; stopped runs merge at their fraction;
# exports that do not fit together, damaged ones and misplaced ones are
# refused with the file and the reason; an interrupted run still exports.
source "$(dirname "$0")/lib.sh" "$@"

# Four "hosts" sharing an image (their duplicates lie across them), each
# with data of its own, zeros and text.
head -c 6M /dev/urandom >"$TMP/image"
for i in 1 2 3 4; do
  mkdir "$TMP/d$i"
  cp "$TMP/image" "$TMP/d$i/image"
  head -c $((1 + i))M /dev/urandom >"$TMP/d$i/own"
  head -c 1M /dev/zero >"$TMP/d$i/zeros"
  for k in $(seq 1 3000); do echo "host $i line $k of some text"; done >"$TMP/d$i/text"
done

# The figures of a final row: dedupe, compress and zeros columns.
figures() { final_row "$1" | sed -E 's/^.* GiB\t\t//'; }
# The summary without the lines that name the run's own circumstances.
summary() { sed -n '/^SUMMARY/,/^$/p' "$1" | grep -v '^Export written'; }

for mode in "" "-e no-dedupe-zeros" "--fingerprint 64 -c 8K"; do
  exports=()
  for i in 1 2 3 4; do
    run_pelko -p "$TMP/d$i" $mode --export "$TMP/e$i.pex" -o "$TMP/r$i"
    expect_status "export d$i ($mode)" 0
    exports+=("$TMP/e$i.pex")
  done
  expect_contains "export line ($mode)" "Export written to $TMP/e1.pex: " \
    "$(cat "$TMP/r1")"
  run_pelko --merge "${exports[@]}" -o "$TMP/merged"
  expect_status "merge ($mode)" 0
  cp "$TMP/merged" "$TMP/merged_copy"
  run_pelko -p "$TMP/d1" -p "$TMP/d2" -p "$TMP/d3" -p "$TMP/d4" $mode -o "$TMP/one"
  expect_eq "merged row = one run's ($mode)" "$(figures "$TMP/one")" \
    "$(figures "$TMP/merged_copy")"
  expect_eq "merged summary = one run's ($mode)" "$(summary "$TMP/one")" \
    "$(summary "$TMP/merged_copy")"
done
expect_contains "one line per export" \
  "$TMP/e2.pex: host $(hostname), $TMP/d2, " "$(cat "$TMP/merged_copy")"
expect_eq "no temporary file left" "" "$(ls "$TMP" | grep -F '.tmp-' || true)"

# Runs stopped at one fraction merge; mixed with a complete run they are
# refused.
for i in 1 2; do
  run_pelko -p "$TMP/d$i" -b 64K --stop-at 40 --seed $i --export "$TMP/s$i.pex"
  expect_status "stopped export $i" 0
done
run_pelko --merge "$TMP/s1.pex" "$TMP/s2.pex"
expect_status "merge of stopped runs" 0
expect_contains "stopped merge summary" "SUMMARY: stopped by --stop-at 40 at " \
  "$(cat "$TMP/out")"
row=$(figures "$TMP/out")
low=$(cut -f 1 <<<"$row"); high=$(cut -f 5 <<<"$row")
is_number "$low" && is_number "$high" || _fail "stopped merge has a range: $row"

# Stopped runs must not sample the same places on hosts that hold the same
# data: without --seed an exporting run draws its own order (and says it);
# the same --seed on two stopped runs is warned about.
run_pelko -p "$TMP/d3" -b 64K --stop-at 40 --export "$TMP/s3.pex"
expect_contains "export draws its order" "seed:  " "$(cat "$TMP/out")"
run_pelko -p "$TMP/d3" -b 64K --stop-at 40 --seed 1 --export "$TMP/s3.pex"
run_pelko --merge "$TMP/s1.pex" "$TMP/s3.pex"
expect_status "merge of runs in one order" 0
expect_contains "same order warned" "WARNING: $TMP/s1.pex and $TMP/s3.pex were read in the same order (seed 1)" \
  "$(cat "$TMP/out")"

# refused LABEL NEEDLE ARGS...: status 1, an error line holding NEEDLE, no
# merged row.
refused() {
  local label=$1 needle=$2
  shift 2
  run_pelko "$@"
  expect_status "$label" 1
  expect_contains "$label: message" "$needle" "$(cat "$TMP/err")"
  grep -q '^MERGED' "$TMP/out" && _fail "$label: a merged row was printed"
  return 0
}
run_pelko -p "$TMP/d1" --export "$TMP/c.pex"
refused "fraction" "ERROR: $TMP/s1.pex: fraction " --merge "$TMP/c.pex" "$TMP/s1.pex"
refused "chunk size" "ERROR: $TMP/c.pex: chunk size 16384 bytes differs from 8192 bytes in $TMP/e1.pex" \
  --merge "$TMP/e1.pex" "$TMP/c.pex"
run_pelko -p "$TMP/d1" -c 8K -e no-compress --export "$TMP/m.pex"
refused "mode" "ERROR: $TMP/m.pex: estimate mode" --merge "$TMP/e1.pex" "$TMP/m.pex"
run_pelko -p "$TMP/d1" -c 8K --export "$TMP/f.pex"
refused "fingerprint" "ERROR: $TMP/f.pex: fingerprint width 32 differs from 64" \
  --merge "$TMP/e1.pex" "$TMP/f.pex"
cp "$TMP/e1.pex" "$TMP/again.pex"
refused "same run twice" "ERROR: $TMP/again.pex: holds the same run as $TMP/e1.pex" \
  --merge "$TMP/e1.pex" "$TMP/e2.pex" "$TMP/again.pex"
size=$(stat -c %s "$TMP/e1.pex")
for n in 0 9 100 $((size / 2)) $((size - 1)); do
  head -c $n "$TMP/e1.pex" >"$TMP/cut.pex"
  refused "truncated to $n" "ERROR: $TMP/cut.pex: " --merge "$TMP/e2.pex" "$TMP/cut.pex"
done
cp "$TMP/e1.pex" "$TMP/bad.pex"
printf 'x' | dd of="$TMP/bad.pex" bs=1 seek=$((size / 3)) conv=notrunc 2>/dev/null
refused "damaged" "checksum mismatch" --merge "$TMP/bad.pex"
refused "not an export" "ERROR: $TMP/d1/text: not a pelko export" --merge "$TMP/d1/text"
refused "missing" "ERROR: $TMP/none.pex: cannot open" --merge "$TMP/none.pex"
refused "a scan option" "pelko: -p: does not apply to --merge" --merge "$TMP/e1.pex" -p "$TMP/d1"

# An export is never written among the inputs, nor where it cannot be:
# refused before the scan.
for target in "$TMP/d1/x.pex" "$TMP/d1" "$TMP/nodir/x.pex"; do
  run_pelko -p "$TMP/d1" --export "$target"
  expect_status "export to $target" 1
  expect_contains "export to $target: message" "ERROR: --export $target: " \
    "$(cat "$TMP/err")"
  grep -q SCANNING "$TMP/out" && _fail "export to $target: scanned anyway"
done
expect_eq "inputs untouched" "image own text zeros" "$(ls "$TMP/d1" | xargs)"

# Interrupted during the analysis: the export covers what was read.
head -c 32M /dev/urandom >"$TMP/big"
"$PELKO" -p "$TMP/big" --max-rate 4M --export "$TMP/int.pex" -o "$TMP/report" \
  >/dev/null 2>&1 </dev/null &
pid=$!
for _ in $(seq 1 100); do
  grep -q '^ANALYZING' "$TMP/report" 2>/dev/null && break
  sleep 0.1
done
sleep 1
kill -TERM $pid
RC=0; wait $pid || RC=$?
expect_status "interrupted export" 143
run_pelko --merge "$TMP/int.pex"
expect_status "merge of an interrupted run" 0
expect_contains "interrupted merge summary" "SUMMARY: interrupted by SIGTERM at " \
  "$(cat "$TMP/out")"

finish
