#!/usr/bin/env bash
# Complete runs on generated data sets: the final row must hold the exact
# figures computed by the independent reference program, in every estimate
# mode, with one and with several threads.
set -euo pipefail
PELKO=$1
SRC=${PELKO_SOURCE_DIR:?}
REF=${PELKO_REFERENCE:?}
TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT
fail=0

# final_values FILE: the last report row of a report file (the summary
# follows it), fields split on tabs with empty fields dropped, one per line.
final_values() {
  grep -a -E '^[0-9]+s\.'$'\t' "$1" | tail -n 1 | tr '\t' '\n' | sed '/^$/d'
}

# close A B: relative difference below 1e-4.
close() {
  awk -v a="$1" -v b="$2" 'BEGIN { d = a - b; if (d < 0) d = -d;
    m = (b < 0 ? -b : b); if (m < 1e-12) m = 1e-12; exit !(d / m < 1e-4) }'
}

check() {  # check LABEL GOT WANT
  if close "$2" "$3"; then
    echo "ok   $1: $2"
  else
    echo "FAIL $1: got $2, want $3"
    fail=1
  fi
}

run_case() {  # run_case DATASET MODE THREADS
  local ds=$1 mode=$2 threads=$3 out="$TMP/out.txt"
  "$PELKO" -p "$TMP/$ds" -e "$mode" -t "$threads" -o "$out" >"$TMP/console.txt" 2>"$TMP/err.txt"
  if [ -s "$TMP/err.txt" ]; then
    echo "FAIL $ds/$mode: unexpected error output:"; cat "$TMP/err.txt"; fail=1
  fi
  mapfile -t v < <(final_values "$out")
  # v: elapsed, progress, [bandwidth], memory, then the figures.
  local i=0
  while [[ "${v[$i]}" != *GiB ]]; do i=$((i + 1)); done
  local figs=("${v[@]:$((i + 1))}")
  local want
  want=$(grep "^$mode " "$TMP/$ds.ref")
  local w_dedupe w_compress w_zeros
  w_dedupe=$(sed 's/.*dedupe=\([^ ]*\).*/\1/' <<<"$want")
  w_compress=$(sed 's/.*compress=\([^ ]*\).*/\1/' <<<"$want")
  w_zeros=$(sed 's/.*zeros=\([^ ]*\).*/\1/' <<<"$want")
  case "$mode" in
    all|no-dedupe-zeros)
      check "$ds/$mode/t$threads DEDUPE" "${figs[1]}" "$w_dedupe"
      check "$ds/$mode/t$threads COMPRESS" "${figs[3]}" "$w_compress"
      check "$ds/$mode/t$threads ZEROS" "${figs[4]%\%}" "$w_zeros" ;;
    dedupe)
      check "$ds/$mode/t$threads DEDUPE" "${figs[1]}" "$w_dedupe"
      check "$ds/$mode/t$threads ZEROS" "${figs[3]%\%}" "$w_zeros" ;;
    compress)
      check "$ds/$mode/t$threads COMPRESS" "${figs[0]}" "$w_compress"
      check "$ds/$mode/t$threads ZEROS" "${figs[1]%\%}" "$w_zeros" ;;
  esac
  # The final row covers the whole plan.
  grep -q "(100.000%)" <<<"${v[1]}" || { echo "FAIL $ds/$mode: progress ${v[1]}"; fail=1; }
}

for ds in mixed zipf four; do
  python3 "$SRC/scripts/gen_dataset.py" "$ds" "$TMP/$ds" --chunks 1500 --seed 7
  "$REF" 16384 "$TMP/$ds" >"$TMP/$ds.ref"
done

for mode in all dedupe compress no-dedupe-zeros; do
  run_case mixed "$mode" 2
done
run_case mixed all 1
run_case zipf all 3
run_case zipf no-dedupe-zeros 2
run_case four dedupe 2

exit $fail
