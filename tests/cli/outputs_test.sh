#!/usr/bin/env bash
# Outputs never harm the host nor lose the user's data: a run refused at its
# start leaves every output as it was; outputs renamed into place (--export,
# --plot) refuse a target that is not a regular file; two outputs that are
# one file (a hard link) and a merge's output that is one of its exports are
# refused; a file output that breaks (a FIFO's reader gone, a full disk) is
# named with its own error while the others are completed.
source "$(dirname "$0")/lib.sh" "$@"

IS_ROOT=0
[ "$(id -u)" -eq 0 ] && IS_ROOT=1
mkdir -p "$TMP/data"
head -c 2000000 /dev/urandom >"$TMP/data/a"
cp "$TMP/data/a" "$TMP/data/b"
DATA="$TMP/data"

# expect_kept LABEL FILE CONTENT: FILE still holds exactly CONTENT.
expect_kept() {
  [ "$(cat "$2" 2>/dev/null)" = "$3" ] || _fail "$1: $2 was changed"
}
# no_temp_files LABEL: nothing named *.tmp-* is left in $TMP.
no_temp_files() {
  local left
  left=$(find "$TMP" -name '*.tmp-*' | head -n 3)
  [ -z "$left" ] || _fail "$1: temporary files left: $left"
}

# --- A run refused at its start leaves every output as it was -----------------
for opt in -o --json --csv --plot --export; do
  echo keep >"$TMP/out.file"
  run_pelko -p "$TMP/typo" "$opt" "$TMP/out.file"
  expect_status "missing input, $opt" 1
  expect_kept "missing input, $opt" "$TMP/out.file" keep
done
# One output that cannot be written: none of the others is touched.
echo keep >"$TMP/a.json"
echo keep >"$TMP/a.txt"
run_pelko -p "$DATA" -o "$TMP/a.txt" --json "$TMP/a.json" --csv "$TMP/no/such/dir/a.csv"
expect_status "unwritable --csv" 1
expect_contains "unwritable --csv" "ERROR: open($TMP/no/such/dir/a.csv) failed for --csv, No such file or directory" "$(cat "$TMP/err")"
expect_kept "unwritable --csv: --json" "$TMP/a.json" keep
expect_kept "unwritable --csv: -o" "$TMP/a.txt" keep
expect_eq "unwritable --csv: nothing echoed" "" "$(cat "$TMP/out")"

# --- Renamed outputs refuse what is not a regular file --------------------------
mkfifo "$TMP/fifo"
echo target >"$TMP/target"
ln -s "$TMP/target" "$TMP/link"
specials=("$TMP/fifo:a FIFO" "$TMP/link:a symbolic link")
if [ $IS_ROOT = 1 ]; then
  mknod "$TMP/null" c 1 3
  specials+=("$TMP/null:a character device")
fi
for s in "${specials[@]}"; do
  path=${s%%:*} kind=${s#*:}
  for opt in --export --plot; do
    run_pelko -p "$DATA" "$opt" "$path"
    expect_status "$opt $kind" 1
    expect_contains "$opt $kind" "ERROR: $opt $path: is $kind: it is written under a temporary name" "$(cat "$TMP/err")"
  done
done
[ -p "$TMP/fifo" ] || _fail "the FIFO was replaced"
[ -L "$TMP/link" ] || _fail "the symbolic link was replaced"
expect_kept "the link's target" "$TMP/target" target
[ $IS_ROOT = 1 ] && { [ -c "$TMP/null" ] || _fail "the device node was replaced"; }
no_temp_files "special targets"

# The chart goes through a temporary name; a complete run leaves no trace.
echo old >"$TMP/chart.svg"
run_pelko -p "$DATA" --plot "$TMP/chart.svg" --export "$TMP/run.pex"
expect_status "chart and export" 0
expect_contains "chart" "</svg>" "$(tail -n 1 "$TMP/chart.svg")"
no_temp_files "chart and export"

# --- Two outputs that are one file through a hard link -------------------------
: >"$TMP/one.json"
ln "$TMP/one.json" "$TMP/two.csv"
run_pelko -p "$DATA" --json "$TMP/one.json" --csv "$TMP/two.csv"
expect_status "hard link" 1
expect_contains "hard link" "ERROR: --csv $TMP/two.csv: the same file as --json" "$(cat "$TMP/err")"

# --- A merge's output may not be one of its exports -----------------------------
cp "$TMP/run.pex" "$TMP/first.pex"
run_pelko -p "$DATA" --export "$TMP/second.pex"
sum=$(md5sum <"$TMP/second.pex")
for opt in -o --json --csv --plot; do
  run_pelko --merge "$TMP/first.pex" "$TMP/second.pex" "$opt" "$TMP/second.pex"
  expect_status "merge $opt an export" 1
  expect_contains "merge $opt an export" "ERROR: $opt $TMP/second.pex: is the input $TMP/second.pex" "$(cat "$TMP/err")"
  expect_eq "merge $opt an export: export kept" "$sum" "$(md5sum <"$TMP/second.pex")"
done
run_pelko --merge "$TMP/first.pex" "$TMP/second.pex" -o "$TMP/merged.txt"
expect_status "merge" 0

# --- A file output that breaks: reported, the others complete -------------------
# The reader of the JSON FIFO leaves after the first line.
mkfifo "$TMP/json.fifo"
head -n 1 "$TMP/json.fifo" >"$TMP/first.line" &
reader=$!
rm -f "$TMP/run.pex"
run_pelko -p "$DATA" -r 0.1 --json "$TMP/json.fifo" -o "$TMP/report" --export "$TMP/run.pex"
wait $reader || true
expect_status "broken --json FIFO" 1
expect_contains "broken --json FIFO: first line read" '"type":"run"' "$(cat "$TMP/first.line")"
expect_contains "broken --json FIFO: named" "ERROR: write($TMP/json.fifo) failed, Broken pipe, the file is incomplete" "$(cat "$TMP/err")"
expect_contains "broken --json FIFO: report complete" "reduction ratio:" "$(cat "$TMP/report")"
expect_contains "broken --json FIFO: console complete" "Export written to" "$(tail -n 1 "$TMP/out")"
[ -s "$TMP/run.pex" ] || _fail "broken --json FIFO: no export"

# A full disk names the write's error.
if [ -w /dev/full ]; then
  run_pelko -p "$DATA" --json /dev/full
  expect_status "--json /dev/full" 1
  expect_contains "--json /dev/full" "ERROR: write(/dev/full) failed, No space left on device, the file is incomplete" "$(cat "$TMP/err")"
fi

# --- An empty data set has no compression ratio ---------------------------------
mkdir -p "$TMP/empty"
run_pelko -p "$TMP/empty" --json "$TMP/empty.json" --csv "$TMP/empty.csv"
expect_status "empty set" 0
expect_contains "empty set: JSON row" '"compress":null' "$(grep '"final":true' "$TMP/empty.json")"
expect_eq "empty set: CSV compress field" "" "$(tail -n 1 "$TMP/empty.csv" | cut -d, -f10)"

finish
