#!/usr/bin/env bash
# The answer a person reads and pastes: warnings on stderr too and repeated
# in the summary; the summary's physical size, space saved and one column
# when exact; incompressible data never above its own size; --json - on
# standard output with the report on stderr, whole byte counts, one 100 %
# row in the CSV; the chart names the run.
source "$(dirname "$0")/lib.sh" "$@"
PELKO=$(readlink -f "$PELKO")

mkdir -p "$TMP/d"
head -c 4M /dev/urandom >"$TMP/d/random"      # does not compress
head -c 2M /dev/zero >"$TMP/d/zeros"

# --- A path given twice: the warning on stderr and under the summary's heading.
run_pelko -p "$TMP/d" -p "$TMP/d" -r 10 -o "$TMP/report"
expect_status "twice" 0
W="WARNING: $TMP/d is given twice: its data is counted twice."
expect_contains "twice: stderr" "$W" "$(cat "$TMP/err")"
expect_contains "twice: report" "$W" "$(cat "$TMP/out")"
summary=$(sed -n '/^SUMMARY: /,$p' "$TMP/report")
expect_eq "twice: the summary's heading and its warning" \
  "SUMMARY: complete run
warning:                       $TMP/d is given twice: its data is counted twice" \
  "$(head -n 2 <<<"$summary")"
# A complete run is exact: one column, the physical size, the space saved.
expect_eq "twice: the figures" \
  "after zeros:                   8.000 MiB
after dedupe:                  4.000 MiB
after compress:                4.000 MiB
physical size after reduction: 4.000 MiB
space saved:                   66.667 %
reduction ratio:               3.000" "$(tail -n 6 <<<"$summary")"
if grep -q -E 'with dedupe|estimate +pessimistic' <<<"$summary"; then
  _fail "twice: an exact summary with range columns"
fi
# Random data does not compress: it is stored as it is, so nothing is
# above the logical size (LZ4 alone would give a ratio of 0.996).
run_pelko -p "$TMP/d/random" -e compress
expect_status "random" 0
expect_contains "random: stored as it is" "physical size after reduction: 4.000 MiB" "$(cat "$TMP/out")"
expect_contains "random: nothing saved" "space saved:                   0.000 %" "$(cat "$TMP/out")"
expect_contains "random: ratio 1" "reduction ratio:               1.000" "$(cat "$TMP/out")"
expect_contains "random: the COMPRESS column as ever" "0.996" "$(final_row "$TMP/out")"
# Stopped early: the estimate, the pessimistic and the optimistic value.
run_pelko -p "$TMP/d" -b 64K --stop-at 40 -t 1 -o "$TMP/report"
expect_status "stopped" 0
expect_contains "stopped: range columns" \
  "                               estimate      pessimistic   optimistic" "$(cat "$TMP/report")"
expect_contains "stopped: space saved with its range" "space saved:   " "$(cat "$TMP/report")"

# --- --json -: the records on stdout, the report on stderr ---------------------
run_pelko -p "$TMP/d" -r 10 --json - --csv "$TMP/r.csv" --plot "$TMP/r.svg"
expect_status "--json -" 0
expect_contains "--json -: the report on stderr" "SUMMARY: complete run" "$(cat "$TMP/err")"
if ! python3 - "$TMP/out" "$TMP/r.csv" <<'PY'
import csv, json, sys
objs = [json.loads(l) for l in open(sys.argv[1])]
bad = []
types = [o["type"] for o in objs]
if types[0] != "run" or types[-1] != "summary": bad.append("order %s" % types)
rows = [o for o in objs if o["type"] == "row"]
s = objs[-1]
# Byte counts are whole numbers.
for r in rows:
    for k in ("bytes", "bandwidth", "memory", "memory_peak"):
        if r[k] is not None and not isinstance(r[k], int): bad.append("row %s %r" % (k, r[k]))
for k in ("after_zeros", "after_dedupe", "after_compress", "physical_size"):
    for side in ("value", "at_low", "at_high"):
        v = s[k][side]
        if v is not None and not isinstance(v, int): bad.append("summary %s %s %r" % (k, side, v))
if not s["exact"] or s["warnings"] != []: bad.append("exact %r warnings %r" % (s["exact"], s["warnings"]))
if not (0 <= s["space_saved"]["value"] < 1): bad.append("space saved %r" % s["space_saved"])
if s["physical_size"] != s["after_compress"]: bad.append("physical size")
# Two rows at 100 % in JSON (as in the table), one in the CSV.
full = [r for r in rows if r["progress"] >= 100]
c = [l for l in csv.DictReader(open(sys.argv[2])) if float(l["progress"]) >= 100]
if len(full) != 2 or len(c) != 1 or c[0]["final"] != "1": bad.append("100 %% rows: JSON %d, CSV %d" % (len(full), len(c)))
for l in csv.DictReader(open(sys.argv[2])):
    if l["bandwidth"] and not l["bandwidth"].isdigit(): bad.append("CSV bandwidth %s" % l["bandwidth"])
for b in bad: print("    " + b)
sys.exit(1 if bad else 0)
PY
then _fail "--json -: records"; fi
# The chart's title names the inputs, their size and the chunk size; the
# legend has the total reduction ratio.
svg=$(cat "$TMP/r.svg")
expect_contains "chart: inputs" "Data reduction of $TMP/d" "$svg"
expect_contains "chart: size and chunk" "6 MiB, chunk size 16 KiB, 2" "$svg"
expect_contains "chart: total ratio" "total reduction ratio: " "$svg"
# Two outputs on standard output are one file.
run_pelko -p "$TMP/d" --json - --csv -
expect_status "--json - --csv -" 1
expect_contains "--json - --csv -" "ERROR: --csv -: the same file as --json" "$(cat "$TMP/err")"

finish
