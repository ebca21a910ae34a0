#!/usr/bin/env bash
# --json, --csv and --plot: every JSON line parses and its figures are the
# tab report's of the same run, the CSV holds the same rows, the chart is
# valid SVG that renders; an interrupted run's records end with the summary
# and the stop reason; a path that is not UTF-8 comes back exactly through
# path_hex; outputs among the inputs and failed writes are errors.
source "$(dirname "$0")/lib.sh" "$@"
PELKO=$(readlink -f "$PELKO")

# A small data set: repeated random blocks, zeros, compressible text.
mkdir -p "$TMP/data"
head -c 1M /dev/urandom >"$TMP/r1"
cat "$TMP/r1" "$TMP/r1" "$TMP/r1" >"$TMP/data/a"
head -c 2M /dev/zero >"$TMP/data/b"
head -c 3M < <(yes 'pelko record test line') >"$TMP/data/c"

# --- A complete run ------------------------------------------------------------
run_pelko -p "$TMP/data" -r 5 -t 2 --json "$TMP/r.json" --csv "$TMP/r.csv" \
  --plot "$TMP/r.svg" -o "$TMP/report"
expect_status "complete run" 0
if ! python3 - "$TMP/r.json" "$TMP/r.csv" "$TMP/report" "$TMP/data" <<'EOF'
import csv, json, re, sys
jpath, cpath, rpath, data = sys.argv[1:]
objs = [json.loads(line) for line in open(jpath, encoding="utf-8")]
bad = []
def check(cond, what):
    if not cond: bad.append(what)
types = [o["type"] for o in objs]
check(types[0] == "run" and types[-1] == "summary", "object order %s" % types[:2])
run = objs[0]
check(run["version"] and run["parameters"]["chunk_size"] == 16384, "run parameters")
check(run["inputs"][0]["path"] == data and run["inputs"][0]["kind"] == "directory",
      "run inputs %s" % run["inputs"])
rows = [o for o in objs if o["type"] == "row"]
check(len(rows) > 5, "only %d rows" % len(rows))
check([r["final"] for r in rows].count(True) == 1 and rows[-1]["final"], "one final row, last")
check(objs[-1]["stop_reason"] is None, "complete run has no stop reason")

report = open(rpath, encoding="utf-8", errors="replace").read().split("\n")
trows = [l for l in report if re.match(r"^[0-9]+s\.\t", l)]
check(len(trows) == len(rows), "rows: %d in the report, %d in JSON" % (len(trows), len(rows)))
def close(tok, value, what):
    try:
        t = float(tok)
    except ValueError:
        bad.append("%s: %r is no number" % (what, tok)); return
    check(value is not None and abs(t - value) <= 5e-4 + 1e-5 * abs(t),
          "%s: report %s, JSON %s" % (what, tok, value))
for n, (t, j) in enumerate(zip(trows, rows)):
    toks = [x for x in t.split("\t") if x != ""]
    w = "row %d" % n
    check(toks[0] == "%ds." % j["elapsed"], w + " elapsed")
    m = re.search(r"\(([0-9.]+)%\)", toks[1])
    close(m.group(1), j["progress"], w + " progress")
    m = re.search(r"([0-9.]+) \(([0-9.]+)\) GiB", t)
    close(m.group(1), j["memory"] / 2**30, w + " memory")
    close(toks[-1].rstrip("%"), j["zeros"], w + " zeros")
    close(toks[-2], j["compress"], w + " compress")
    for tok, key in ((toks[-5], "dedupe_low"), (toks[-3], "dedupe_high")):
        if tok == " ":
            check(j[key] is None, w + " " + key + " is null")
        else:
            close(tok, j[key], w + " " + key)
    r = {"<--": j["dedupe_low"], "-->": j["dedupe_high"]}.get(toks[-4], j["dedupe"])
    close(toks[-4] if toks[-4] not in ("<--", "-->") else str(r), j["dedupe"], w + " dedupe")
ratio = [l for l in report if l.startswith("reduction ratio:")][0].split()[2]
close(ratio, objs[-1]["reduction_ratio"]["value"], "summary reduction ratio")

crows = list(csv.reader(open(cpath)))
# The CSV has one row at 100 %: a periodic row there is the final row's.
rows = [r for i, r in enumerate(rows)
        if not (not r["final"] and r["progress"] >= 100 and i + 1 < len(rows)
                and rows[i + 1]["final"] and rows[i + 1]["bytes"] == r["bytes"])]
check(crows[0] == ["elapsed", "progress", "bytes", "bandwidth", "memory", "memory_peak",
                   "dedupe_low", "dedupe", "dedupe_high", "compress", "zeros", "final",
                   "compress_low", "compress_high", "zeros_low", "zeros_high"],
      "CSV header %s" % crows[0])
check(len(crows) == len(rows) + 1, "CSV rows %d, JSON rows %d" % (len(crows) - 1, len(rows)))
for c, j in zip(crows[1:], rows):
    check(int(c[2]) == j["bytes"] and c[11] == ("1" if j["final"] else "0"), "CSV row %s" % c)
    for k, key in ((7, "dedupe"), (9, "compress"), (10, "zeros")):
        check(abs(float(c[k]) - j[key]) <= 1e-6 * max(1, abs(j[key])), "CSV %s %s" % (key, c))
for b in bad: print("    " + b)
sys.exit(1 if bad else 0)
EOF
then _fail "complete run: JSON and CSV against the report"; fi

# The chart: an XML parser reads it, and it renders.
check_svg() {
  local label=$1 svg=$2 want=$3
  python3 -c 'import sys, xml.etree.ElementTree as E
root = E.parse(sys.argv[1]).getroot()
text = " ".join(t.text or "" for t in root.iter("{http://www.w3.org/2000/svg}text"))
sys.exit(0 if root.tag == "{http://www.w3.org/2000/svg}svg" and sys.argv[2] in text else 1)' \
    "$svg" "$want" || _fail "$label: $svg is no SVG chart saying \"$want\""
  if command -v rsvg-convert >/dev/null; then
    rsvg-convert "$svg" -o "$TMP/chart.png" 2>"$TMP/rsvg.err" &&
      [ "$(head -c 4 "$TMP/chart.png" | tail -c 3)" = PNG ] ||
      { _fail "$label: rsvg-convert cannot render $svg"; cat "$TMP/rsvg.err"; }
  else
    echo "SKIP: $label: rsvg-convert missing (librsvg2-bin), chart not rendered"
  fi
}
check_svg "complete run" "$TMP/r.svg" "Complete"

# --- An interrupted run --------------------------------------------------------
DFL=(python3 -c 'import os, signal, sys
signal.signal(signal.SIGINT, signal.SIG_DFL)
os.execvp(sys.argv[1], sys.argv[1:])')
truncate -s 64G "$TMP/big"
"${DFL[@]}" "$PELKO" -p "$TMP/big" -r 0.5 --json "$TMP/i.json" \
  --plot "$TMP/i.svg" >"$TMP/out" 2>"$TMP/err" </dev/null &
PID=$!
for _ in $(seq 600); do
  n=$(grep -c '"type":"row"' "$TMP/i.json" 2>/dev/null || true)
  [ "${n:-0}" -ge 2 ] && break
  sleep 0.1
done
kill -s INT $PID
RC=0
wait $PID || RC=$?
expect_status "SIGINT" 130
python3 -c 'import json, sys
objs = [json.loads(l) for l in open(sys.argv[1])]
last = objs[-1]
sys.exit(0 if last["type"] == "summary" and "interrupted by SIGINT" in last["stop_reason"]
         and objs[-2]["type"] == "row" and objs[-2]["final"] else 1)' "$TMP/i.json" ||
  _fail "SIGINT: the JSON does not end with the final row and the stop reason"
check_svg "SIGINT" "$TMP/i.svg" "Stopped early: interrupted by SIGINT"

# --- A path that is not UTF-8 --------------------------------------------------
name=$'caf\xe9\xff'
mkdir -p "$TMP/$name"
cp "$TMP/r1" "$TMP/$name/f"
run_pelko -p "$TMP/$name" -e compress --json "$TMP/u.json"
expect_status "non-UTF-8 path" 0
python3 -c 'import json, os, sys
run = json.loads(open(sys.argv[1], encoding="utf-8").readline())
i = run["inputs"][0]
sys.exit(0 if bytes.fromhex(i["path_hex"]) == os.fsencode(sys.argv[2])
         and "\ufffd" in i["path"] else 1)' "$TMP/u.json" "$TMP/$name" ||
  _fail "non-UTF-8 path: path_hex does not give the path back"

# --- Outputs among the inputs, failed writes ----------------------------------
run_pelko -p "$TMP/data" --json "$TMP/data/r.json"
expect_status "--json among the inputs" 1
expect_contains "--json among the inputs" "ERROR: --json $TMP/data/r.json: lies among the inputs" "$(cat "$TMP/err")"
[ ! -e "$TMP/data/r.json" ] || _fail "--json among the inputs: the file was created"
cp "$TMP/r1" "$TMP/in"
run_pelko -p "$TMP/in" -o "$TMP/in"
expect_status "-o an input" 1
cmp -s "$TMP/r1" "$TMP/in" || _fail "-o an input: the input was changed"
# A report file may still be a new file inside an input directory, as ever;
# an existing file there is input data and is not overwritten.
mkdir -p "$TMP/din" && cp "$TMP/r1" "$TMP/din/old"
run_pelko -p "$TMP/din" -o "$TMP/din/new.txt"
expect_status "-o a new file inside an input directory" 0
run_pelko -p "$TMP/din" -o "$TMP/din/old"
expect_status "-o a file inside an input directory" 1
expect_contains "-o a file inside an input directory" "would overwrite a file among the inputs" "$(cat "$TMP/err")"
cmp -s "$TMP/r1" "$TMP/din/old" || _fail "-o inside an input directory: the file was changed"
run_pelko -p "$TMP/data/c" --csv /dev/full
expect_status "--csv /dev/full" 1
expect_contains "--csv /dev/full" "ERROR: write(/dev/full) failed" "$(cat "$TMP/err")"
run_pelko -p "$TMP/data/c" --json "$TMP/same" --csv "$TMP/same"
expect_status "--json and --csv in one file" 1
expect_contains "--json and --csv in one file" "ERROR: --csv $TMP/same: the same file as --json" "$(cat "$TMP/err")"

finish
