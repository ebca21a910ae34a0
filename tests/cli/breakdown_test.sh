#!/usr/bin/env bash
# Where the savings come from: --by tables whose every figure is known by
# construction on a complete run (copies, random data, zeros, text, and
# one chunk range shared by two labels), the same in JSON and CSV, rows
# that do not change; after a merge, exclusive and shared shares and the
# pairwise overlaps of four directories whose overlaps are known.
source "$(dirname "$0")/lib.sh" "$@"

T=$TMP/tree
mkdir -p "$T/copies" "$T/random" "$T/zeros" "$T/text"
head -c 1M /dev/urandom >"$T/copies/a1"
for i in 2 3 4; do cp "$T/copies/a1" "$T/copies/a$i"; done
head -c 2M /dev/urandom >"$T/random/r.bin"
cp "$T/copies/a1" "$T/random/shared.bin"  # held by copies and random
head -c 1M /dev/zero >"$T/zeros/z.img"
seq 1 30000 | sed 's/.*/line & of text that compresses well/' >"$T/text/t.txt"
truncate -s 1M "$T/text/t.txt"

# check JSON WANT...: python assertions over the run's JSON Lines in $J (a
# dict by type; the breakdown's labels by name in L).
check() {
  local label=$1 json=$2
  shift 2
  if ! python3 - "$json" "$@" <<'PY'; then _fail "$label"; fi
import json, sys
lines = [json.loads(l) for l in open(sys.argv[1])]
J = {l["type"]: l for l in lines}
L = {l["label"]: l for l in J["breakdown"]["labels"]} if "breakdown" in J else {}
def close(a, b, rel=1e-9):
    return a is not None and abs(a - b) <= rel * max(1.0, abs(b))
for expr in sys.argv[2:]:
    if not eval(expr):
        print("not true:", expr, file=sys.stderr)
        print(json.dumps(J.get("breakdown", J.get("overlap")), indent=1), file=sys.stderr)
        sys.exit(1)
PY
}

# The text's compression ratio on its own: the truth of its label.
run_pelko -p "$T/text" -c 4K --json "$TMP/text.json"
expect_status "text alone" 0
c_text=$(python3 -c 'import json,sys
for l in open(sys.argv[1]):
    j = json.loads(l)
    if j["type"] == "summary": print(j["compress_ratio"])' "$TMP/text.json")

run_pelko -p "$T" -c 4K --by dir --json "$TMP/dir.json" --csv "$TMP/dir.csv" -o "$TMP/dir.txt"
expect_status "by dir" 0
M=1048576
# Physical size: copies' 1 MiB is split with random, which holds 2 MiB of
# its own; the zeros store nothing; the text stores what it compresses to.
check "by dir: exact figures" "$TMP/dir.json" \
  'J["breakdown"]["exact"] and J["breakdown"]["by"] == "dir"' \
  "sorted(L) == sorted(['$T/copies', '$T/random', '$T/zeros', '$T/text'])" \
  "L['$T/copies']['logical_size'] == 4*$M and L['$T/random']['logical_size'] == 3*$M" \
  "close(L['$T/copies']['share'], 4/9)" \
  "L['$T/copies']['dedupe'] == 4 and L['$T/copies']['dedupe_low'] == 4 and L['$T/copies']['dedupe_high'] == 4" \
  "L['$T/random']['dedupe'] == 1 and L['$T/text']['dedupe'] == 1" \
  "L['$T/copies']['compress'] == 1 and L['$T/random']['compress'] == 1" \
  "close(L['$T/text']['compress'], $c_text)" \
  "L['$T/zeros']['zeros'] == 1 and L['$T/zeros']['dedupe'] is None and L['$T/copies']['zeros'] == 0" \
  "close(L['$T/copies']['physical_share'] * J['summary']['physical_size']['value'], 0.5*$M, 1e-6)" \
  "close(L['$T/random']['physical_share'] * J['summary']['physical_size']['value'], 2.5*$M, 1e-6)" \
  "close(L['$T/text']['physical_share'] * J['summary']['physical_size']['value'], $M/$c_text, 1e-6)" \
  "L['$T/zeros']['physical_share'] == 0" \
  "J['run']['parameters']['by'] == 'dir'"
expect_contains "table after the summary" "BREAKDOWN by dir: exact" \
  "$(sed -n '/^SUMMARY/,$p' "$TMP/dir.txt")"
expect_contains "table line" "$T/copies    4 MiB  44.4%    0.0%      1.00    4.00  " \
  "$(cat "$TMP/dir.txt")"
expect_eq "CSV: the table after an empty line" \
  "by,label,logical,share,zeros,zeros_low,zeros_high,compress,compress_low,compress_high,dedupe,dedupe_low,dedupe_high
dir,\"$T/copies\",4194304,0.444444,0,0,0,1,1,1,4,4,4" \
  "$(sed -n '/^$/,$p' "$TMP/dir.csv" | sed -n '2,3p' | cut -d, -f 1-13)"

# Without --by nothing changes: the same rows, no table, no JSON object.
run_pelko -p "$T" -c 4K --json "$TMP/plain.json" -o "$TMP/plain.txt"
# The rows' figures from JSON (time, rate and memory vary from run to run).
figures() {
  python3 -c 'import json, sys
for l in open(sys.argv[1]):
    j = json.loads(l)
    if j["type"] == "row":
        for k in ("elapsed", "bandwidth", "memory", "memory_peak"): j.pop(k)
        print(json.dumps(j, sort_keys=True))' "$1"
}
expect_eq "rows as without --by" "$(figures "$TMP/plain.json")" "$(figures "$TMP/dir.json")"
grep -q BREAKDOWN "$TMP/plain.txt" && _fail "a table without --by"
grep -q '"breakdown"' "$TMP/plain.json" && _fail "a breakdown object without --by"

# By root (nested and with a trailing slash) and by type.
run_pelko -p "$T/copies" -p "$T/text/" -p "$T/random/r.bin" -c 4K --by root --json "$TMP/root.json"
expect_status "by root" 0
check "by root" "$TMP/root.json" \
  "sorted(L) == sorted(['$T/copies', '$T/text/', '$T/random/r.bin'])" \
  "L['$T/copies']['dedupe'] == 4 and L['$T/random/r.bin']['dedupe'] == 1" \
  "close(sum(l['physical_share'] for l in L.values()), 1)"
run_pelko -p "$T" -c 4K --by type --json "$TMP/type.json"
check "by type" "$TMP/type.json" \
  "sorted(L) == ['(no extension)', '.bin', 'text and code', 'virtual disks']" \
  "L['(no extension)']['dedupe'] == 4 and L['virtual disks']['zeros'] == 1" \
  "L['.bin']['logical_size'] == 3*$M"

# More than 20 labels: the 20 largest by name, the rest as "other".
for i in $(seq 1 23); do
  mkdir -p "$TMP/many/d$i"
  head -c $((i * 8192)) /dev/urandom >"$TMP/many/d$i/f"
done
run_pelko -p "$TMP/many" -c 4K --by dir --json "$TMP/many.json"
check "20 labels and other" "$TMP/many.json" \
  "[l['label'] for l in J['breakdown']['labels']][0] == '$TMP/many/d23'" \
  "len(L) == 21 and 'other' in L and '$TMP/many/d3' not in L" \
  "L['other']['logical_size'] == (1 + 2 + 3) * 8192 and L['other']['dedupe'] == 1"

# A partial run: sample figures with ranges.
run_pelko -p "$T" -c 4K -b 16K --by dir --stop-at 40 --seed 3 --json "$TMP/part.json" -o "$TMP/part.txt"
expect_status "stopped run" 0
check "stopped run" "$TMP/part.json" \
  'not J["breakdown"]["exact"]' \
  "L['$T/copies']['dedupe_low'] <= L['$T/copies']['dedupe'] <= L['$T/copies']['dedupe_high']" \
  "L['$T/zeros']['zeros_low'] <= 1 <= L['$T/zeros']['zeros_high']"
expect_contains "sample note" "BREAKDOWN by dir: sample figures" "$(cat "$TMP/part.txt")"

run_pelko -p "$T" --by size
expect_status "unknown breakdown" 1
expect_contains "unknown breakdown: message" "--by size: the breakdown is by root, dir or type" "$(cat "$TMP/err")"
run_pelko -p "$T" --by dir -e compress
expect_status "breakdown without dedupe" 1
expect_contains "breakdown without dedupe: message" "--by: needs the dedupe estimate" "$(cat "$TMP/err")"
run_pelko -p "$T" --by dir --chunk-sizes 4K,8K
expect_status "breakdown of several configurations" 1
expect_contains "breakdown of several configurations: message" "--by: works with one chunk size" "$(cat "$TMP/err")"

# Four hosts: 1 MiB shared by h1 and h2, 1 MiB by h1, h2 and h3, and i MiB
# of each one's own. Distinct: h1 3, h2 4, h3 4, h4 4 MiB.
head -c 1M /dev/urandom >"$TMP/s12"
head -c 1M /dev/urandom >"$TMP/s123"
for i in 1 2 3 4; do
  mkdir "$TMP/h$i"
  head -c ${i}M /dev/urandom >"$TMP/h$i/own"
done
cp "$TMP/s12" "$TMP/h1/"; cp "$TMP/s12" "$TMP/h2/"
for i in 1 2 3; do cp "$TMP/s123" "$TMP/h$i/"; done
exports=()
for i in 1 2 3 4; do
  run_pelko -p "$TMP/h$i" -c 4K --export "$TMP/h$i.pex"
  expect_status "export h$i" 0
  exports+=("$TMP/h$i.pex")
done
run_pelko --merge "${exports[@]}" --json "$TMP/merge.json" -o "$TMP/merge.txt"
expect_status "merge" 0
check "overlaps" "$TMP/merge.json" \
  'J["overlap"]["exact"]' \
  "[e['distinct'] for e in J['overlap']['exports']] == [768, 1024, 1024, 1024]" \
  "[round(e['exclusive'], 6) for e in J['overlap']['exports']] == [round(1/3, 6), 0.5, 0.75, 1.0]" \
  "close(J['overlap']['exports'][0]['shared'], 2/3)" \
  "close(J['overlap']['overlap'][0][1], 2/3) and close(J['overlap']['overlap'][1][0], 2/3)" \
  "close(J['overlap']['overlap'][0][2], 1/3) and close(J['overlap']['overlap'][1][2], 0.25)" \
  "J['overlap']['overlap'][0][3] == 0 and J['overlap']['overlap'][2][2] == 1"
expect_contains "overlap table" "OVERLAP of the exports: exact (complete runs)" "$(cat "$TMP/merge.txt")"
expect_contains "exclusive line" "4 $TMP/h4.pex 1024 100.0% 0.0%" "$(tr -s ' ' <"$TMP/merge.txt")"
expect_contains "matrix row" " 1 100.0% 66.7% 33.3% 0.0%" "$(tr -s ' ' <"$TMP/merge.txt")"

# Stopped runs: sample figures, said so.
for i in 1 2; do
  run_pelko -p "$TMP/h$i" -c 4K -b 16K --stop-at 50 --export "$TMP/p$i.pex"
done
run_pelko --merge "$TMP/p1.pex" "$TMP/p2.pex" --json "$TMP/pmerge.json"
expect_status "merge of stopped runs" 0
expect_contains "sample note" "OVERLAP of the exports: sample figures" "$(cat "$TMP/out")"
check "stopped overlaps" "$TMP/pmerge.json" 'not J["overlap"]["exact"]'

finish
