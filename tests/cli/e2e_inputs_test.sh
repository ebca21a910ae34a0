#!/usr/bin/env bash
# Complete runs over several roots, a file-system image and empty inputs.
source "$(dirname "$0")/lib.sh" "$@"
SRC=${PELKO_SOURCE_DIR:?}
REF=${PELKO_REFERENCE:?}

# The figures of the last row of a report file (after the MEMORY column),
# tab-separated fields with empty ones dropped, joined by single blanks.
final_figures() {
  final_row "$1" | tr '\t' '\n' | sed '/^$/d' | sed -n '/GiB$/,$p' | sed 1d \
    | paste -sd' '
}

# ref_figures MODE PATH...: "DEDUPE COMPRESS ZEROS" as the reference has them.
ref_figures() {
  local mode=$1
  shift
  "$REF" 16384 "$@" | grep "^$mode " \
    | sed -E 's/.*dedupe=([^ ]*) compress=([^ ]*) zeros=([^ ]*)/\1 \2 \3/'
}

# expect_figures LABEL REPORT WANT(dedupe compress zeros): the report's final
# DEDUPE, COMPRESS and ZEROS agree with WANT within 1e-4 relative; a figure
# missing on either side fails.
expect_figures() {
  local label=$1 report=$2 want=$3 g w
  # got: low DEDUPE high COMPRESS ZEROS%
  read -r -a g <<<"$(final_figures "$report")"
  read -r -a w <<<"$want"
  expect_close "$label: DEDUPE" "${g[1]:-}" "${w[0]:-}"
  expect_close "$label: COMPRESS" "${g[3]:-}" "${w[1]:-}"
  local zeros=${g[4]:-}
  expect_close "$label: ZEROS" "${zeros%\%}" "${w[2]:-}"
}

# Several directory roots, with content shared between them.
python3 "$SRC/scripts/gen_dataset.py" mixed "$TMP/a" --chunks 300 --seed 11
python3 "$SRC/scripts/gen_dataset.py" twice "$TMP/b" --chunks 300 --seed 12
cp -r "$TMP/a/d01" "$TMP/b/copy_of_d01"
run_pelko -p "$TMP/a" -p "$TMP/b" -t 3 -o "$TMP/r1"
expect_status "two directory roots" 0
expect_eq "two directory roots: no error" "" "$(cat "$TMP/err")"
expect_figures "two directory roots" "$TMP/r1" "$(ref_figures all "$TMP/a" "$TMP/b")"
# With a directory among the roots the totals are unknown: an empty line.
expect_eq "totals line with directories" "$(printf '%s: directory\n\n\nSCANNING' "$TMP/b")" \
  "$(grep -A3 "^$TMP/b: directory" "$TMP/r1")"

# Several file roots: the totals line.
head -c 40000 /dev/urandom >"$TMP/f1"
head -c 24000 /dev/urandom >"$TMP/f2"
run_pelko -p "$TMP/f1" -p "$TMP/f2" -o "$TMP/r2"
expect_status "two file roots" 0
expect_contains "two file roots: totals" \
  "Total: 62.500 KiB, ~2 files, avg. file size 31.250 KiB" "$(cat "$TMP/r2")"
expect_figures "two file roots" "$TMP/r2" "$(ref_figures all "$TMP/f1" "$TMP/f2")"

# A file-system image: mostly zero chunks around a small tree of files.
if command -v mke2fs >/dev/null; then
  python3 "$SRC/scripts/gen_dataset.py" mixed "$TMP/tree" --chunks 200 --seed 13
  mke2fs -q -F -t ext2 -d "$TMP/tree" "$TMP/fs.img" 32M >/dev/null
  for mode in all no-dedupe-zeros compress dedupe; do
    run_pelko -p "$TMP/fs.img" -e "$mode" -o "$TMP/r3"
    expect_status "image $mode" 0
    expect_contains "image root line" "$TMP/fs.img: single file, 32.000 MiB" \
      "$(cat "$TMP/r3")"
    read -r -a w <<<"$(ref_figures "$mode" "$TMP/fs.img")"  # dedupe compress zeros
    read -r -a g <<<"$(final_figures "$TMP/r3")"
    g+=("" "" "" "" "")  # missing figures stay empty
    case $mode in
      all|no-dedupe-zeros) expect_figures "image $mode" "$TMP/r3" "${w[*]}" ;;
      compress)  # COMPRESS ZEROS%
        expect_close "image compress: COMPRESS" "${g[0]:-}" "${w[1]:-}" 1e-3
        expect_close "image compress: ZEROS" "${g[1]%\%}" "${w[2]:-}" 1e-3 ;;
      dedupe)  # low DEDUPE high ZEROS%
        expect_close "image dedupe: DEDUPE" "${g[1]:-}" "${w[0]:-}" 1e-3
        expect_close "image dedupe: ZEROS" "${g[3]%\%}" "${w[2]:-}" 1e-3 ;;
    esac
  done
else
  echo "skip: mke2fs not found"
fi

# Empty inputs: no chunk at all. The dedupe columns show their placeholders,
# compression and zeros read 0.
mkdir "$TMP/empty"
: >"$TMP/empty/zero_bytes"
head -c 100 /dev/urandom >"$TMP/empty/short"
run_pelko -p "$TMP/empty" -o "$TMP/r4"
expect_status "empty input" 0
expect_eq "empty input: final row" "  -1   0 0%" \
  "$(final_row "$TMP/r4" | tr '\t' '\n' | sed '/^$/d' | sed -n '/GiB$/,$p' | sed 1d | paste -sd' ')"
run_pelko -p "$TMP/empty/zero_bytes"
expect_status "empty file" 0
expect_contains "empty file root line" "$TMP/empty/zero_bytes: single file, 0
" "$(cat "$TMP/out")
"

finish
