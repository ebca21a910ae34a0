#!/usr/bin/env bash
# Complete runs on generated data sets: the final row must hold the exact
# figures computed by the independent reference program, in every estimate
# mode, with one and with several threads, and the summary after it the
# physical sizes the reference works out from the data itself. A figure
# missing on either side is a failure.
source "$(dirname "$0")/lib.sh" "$@"
SRC=${PELKO_SOURCE_DIR:?}
REF=${PELKO_REFERENCE:?}

# final_values FILE: the last report row of a report file (the summary
# follows it), fields split on tabs with empty fields dropped, one per line.
final_values() {
  grep -a -E '^[0-9]+s\.'$'\t' "$1" | tail -n 1 | tr '\t' '\n' | sed '/^$/d'
}

check() {  # check LABEL GOT WANT
  local before=$FAILURES
  expect_close "$1" "$2" "$3"
  [ "$FAILURES" = "$before" ] && echo "ok   $1: $2"
  return 0
}

run_case() {  # run_case DATASET MODE THREADS
  local ds=$1 mode=$2 threads=$3 out="$TMP/out.txt"
  run_pelko -p "$TMP/$ds" -e "$mode" -t "$threads" -o "$out"
  expect_status "$ds/$mode/t$threads" 0
  expect_eq "$ds/$mode/t$threads: no error output" "" "$(cat "$TMP/err")"
  mapfile -t v < <(final_values "$out")
  # v: elapsed, progress, [bandwidth], memory, then the figures.
  local i=0
  while [ "$i" -lt "${#v[@]}" ] && [[ "${v[$i]}" != *GiB ]]; do i=$((i + 1)); done
  local figs=("${v[@]:$((i + 1))}" "" "" "" "" "")  # missing ones stay empty
  local want
  want=$(grep "^$mode " "$TMP/$ds.ref" || true)
  [ -n "$want" ] || _fail "$ds/$mode: no reference figures"
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
  expect_contains "$ds/$mode: progress" "(100.000%)" "${v[1]:-}"
  check_summary "$ds/$mode/t$threads" "$out" "$(grep "^summary $mode " "$TMP/$ds.ref" || true)"
}

# summary_figure FILE LABEL: the estimate column of a summary line, as
# "VALUE TOLERANCE": bytes with half a unit of the last printed digit, or a
# ratio with half of its last digit.
summary_figure() {
  grep -a "^$2" "$1" | tail -n 1 | cut -c 32- | awk '{
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
      "reduction ratio:=ratio" "physical size after reduction:=physical"; do
    key=${pair#*=}
    want=$(tr ' ' '\n' <<<"$ref" | sed -n "s/^$key=//p")
    [ "$want" = "-" ] && continue
    got=$(summary_figure "$report" "${pair%%=*}")
    if [ -z "$got" ] || ! awk -v g="${got% *}" -v t="${got#* }" -v w="$want" \
        'BEGIN { d = g - w; if (d < 0) d = -d; exit !(d <= t + 1e-9 * w) }'; then
      _fail "$label summary ${pair%%=*}: got \"$got\", want $want"
    fi
  done
  grep -q -a "^SUMMARY: complete run$" "$report" || _fail "$label: summary heading"
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

finish
