#!/usr/bin/env bash
# The schedule and the end of the rows: the bucket size chosen for the plan,
# rows that repeat under --seed whatever the threads, --early-rows, and
# --target-width stopping at a row whose range is as narrow as asked.
source "$(dirname "$0")/lib.sh" "$@"
PELKO=$(readlink -f "$PELKO")

# 256 MiB: 16,384 chunks of 16 KiB, half of them in a second copy of the
# first half's file, and a 64 MiB file of zeros.
mkdir -p "$TMP/data"
head -c 96M /dev/urandom >"$TMP/data/a"
head -c 32M "$TMP/data/a" >"$TMP/data/b"
truncate -s 64M "$TMP/data/z"

# rows FILE: progress and figures of every row of a report file, without
# the time, bandwidth and memory columns. The bandwidth is a lone tab in the
# first second, one field more than later: the figures start after the
# memory column (the field that ends in GiB), wherever it falls.
rows() {
  grep -a -E '^[0-9]+s\.'$'\t' "$1" | awk -F'\t' '{
    m = 3; while (m < NF && $m !~ /GiB$/) m++
    out = $2; for (i = m + 1; i <= NF; i++) out = out "\t" $i; print out }'
}

# --- The bucket size: chosen after the scan, echoed and recorded ----------
run_pelko -p "$TMP/data" -e no-compress --stop-at 5 --json "$TMP/j" -o "$TMP/r"
expect_status "chosen" 0
expect_contains "chosen: echoed" "bucket_size:     16.000 KiB, chosen for the plan (12288 buckets)" "$(cat "$TMP/r")"
expect_contains "chosen: recorded" '"bucket_size":16384,"bucket_size_chosen":true' "$(head -n 1 "$TMP/j")"
run_pelko -p "$TMP/data" -e no-compress --stop-at 5 -b 1M -o "$TMP/r"
if grep -q "chosen for the plan" "$TMP/r"; then _fail "-b given: a size was chosen"; fi

# --- The same seed, the same rows, whatever the threads ---------------------
for t in 1 4 4; do
  run_pelko -p "$TMP/data" --seed 7 --stop-at 30 -r 5 -t $t -o "$TMP/r$t"
  expect_status "-t $t" 0
done
expect_eq "seed: rows of 4 threads" "$(rows "$TMP/r1")" "$(rows "$TMP/r4")"
expect_eq "seed: final row at the share asked for" "1" \
  "$(rows "$TMP/r4" | tail -n 1 | grep -c '(30.00[0-9]%)')"
run_pelko -p "$TMP/data" --seed 8 --stop-at 30 -r 5 -t 4 -o "$TMP/r8"
if [ "$(rows "$TMP/r8")" = "$(rows "$TMP/r1")" ]; then
  _fail "seed: another seed gave the same rows"
fi

# --- Early rows ---------------------------------------------------------------
run_pelko -p "$TMP/data" --early-rows --stop-at 2 -o "$TMP/r"
expect_status "early rows" 0
# The first bucket's row, 0.01 .. 0.5 %, 1 %, 2 % and the final row.
expect_eq "early rows: count" 10 "$(rows "$TMP/r" | wc -l)"
run_pelko -p "$TMP/data" --stop-at 2 -o "$TMP/r"
expect_eq "without: count" 4 "$(rows "$TMP/r" | wc -l)"

# --- Target width ---------------------------------------------------------
run_pelko -p "$TMP/data" --seed 3 --target-width 5 --json "$TMP/j" -o "$TMP/r"
expect_status "target width" 0
expect_contains "target width: summary" "SUMMARY: the range reached ±5 % at" "$(cat "$TMP/r")"
expect_contains "target width: JSON" '"stop_reason":"the range reached ±5 %"' "$(tail -n 1 "$TMP/j")"
# The final row is the stopping row, past 1 %, and the reduction ratio's
# ends lie within 5 % of the estimate.
last_two=$(rows "$TMP/r" | tail -n 2)
expect_eq "target width: final row is the last row" "$(head -n 1 <<<"$last_two")" \
  "$(tail -n 1 <<<"$last_two")"
python3 - "$TMP/j" <<'EOF' || _fail "target width: range"
import json, sys
lines = [json.loads(l) for l in open(sys.argv[1])]
rows = [l for l in lines if l["type"] == "row"]
s = lines[-1]["reduction_ratio"]
assert rows[-1]["progress"] > 1 and rows[-1]["progress"] < 100, rows[-1]
assert s["at_low"] >= 0.95 * s["value"] and s["at_high"] <= 1.05 * s["value"], s
EOF
run_pelko -p "$TMP/data" --target-width 0
expect_status "target width 0" 1
expect_contains "target width 0: message" "--target-width 0: the half-width must be above 0" "$(cat "$TMP/err")"

finish
