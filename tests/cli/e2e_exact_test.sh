#!/usr/bin/env bash
# Complete runs on generated data sets: the final row must hold the exact
# figures computed by the independent reference program, in every estimate
# mode, with one and with several threads. A figure missing on either side
# is a failure.
source "$(dirname "$0")/lib.sh" "$@"
SRC=${PELKO_SOURCE_DIR:?}
REF=${PELKO_REFERENCE:?}

# final_values FILE: the last line of a report file, fields split on tabs
# with empty fields dropped, one per line.
final_values() {
  tail -n 1 "$1" | tr '\t' '\n' | sed '/^$/d'
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
