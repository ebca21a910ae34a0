#!/usr/bin/env bash
# Complete runs on generated data sets: the final row must hold the exact
# figures computed by the independent reference program, in every estimate
# mode, with one and with several threads, and the summary after it the
# physical sizes the reference works out from the data itself.
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
  check_summary "$ds/$mode/t$threads" "$out" "$(grep "^summary $mode " "$TMP/$ds.ref")"
}

# summary_figure FILE LABEL: the estimate column of a summary line, as
# "VALUE TOLERANCE": bytes with half a unit of the last printed digit, or a
# ratio with half of its last digit.
summary_figure() {
  grep -a "^$2" "$1" | tail -n 1 | cut -c 20- | awk '{
    sub(/,$/, "", $2);
    u = 1; if ($2 == "KiB") u = 2^10; if ($2 == "MiB") u = 2^20;
    if ($2 == "GiB") u = 2^30; if ($2 == "TiB") u = 2^40;
    sub(/,$/, "", $1);
    printf "%.6f %.6f\n", $1 * u, (u == 1 && $1 !~ /\./) ? 0 : 0.0005 * u }'
}

# check_summary LABEL REPORT REFERENCE_LINE: the summary's figures are the
# reference's exact physical sizes, as far as their printed digits go.
check_summary() {
  local label=$1 report=$2 ref=$3 key want got
  for pair in "logical size:=logical" "file tails:=tails" "after zeros:=after_zeros" \
      "after dedupe:=after_dedupe" "after compress:=after_compress" \
      "reduction ratio:=ratio"; do
    key=${pair#*=}
    want=$(tr ' ' '\n' <<<"$ref" | sed -n "s/^$key=//p")
    [ "$want" = "-" ] && continue
    got=$(summary_figure "$report" "${pair%%=*}")
    if [ -z "$got" ] || ! awk -v g="${got% *}" -v t="${got#* }" -v w="$want" \
        'BEGIN { d = g - w; if (d < 0) d = -d; exit !(d <= t + 1e-9 * w) }'; then
      echo "FAIL $label summary ${pair%%=*} got \"$got\", want $want"
      fail=1
    fi
  done
  grep -q -a "^SUMMARY: complete run$" "$report" || { echo "FAIL $label: summary heading"; fail=1; }
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
