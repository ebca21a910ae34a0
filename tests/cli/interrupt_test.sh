#!/usr/bin/env bash
# Ending a run early: SIGINT or SIGTERM during the analysis gives the final
# row and the summary for what was read, marked as interrupted at the row's
# progress, on the console and in a complete report file, with exit status
# 130 or 143 (129 after SIGHUP, 131 after SIGQUIT); the first signal is
# answered at once on stderr, and a second one ends the run at once; a signal
# during the scan ends it with one line. --stop-at and --time-limit end the analysis the
# same way, with exit status 0.
source "$(dirname "$0")/lib.sh" "$@"
PELKO=$(readlink -f "$PELKO")
# LeakSanitizer cannot run under strace; sanitizer builds check leaks elsewhere.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"

# A background job of a script starts with SIGINT and SIGQUIT ignored (and
# pelko leaves an ignored signal alone): start it with the default actions.
DFL=(python3 -c 'import os, signal, sys
signal.signal(signal.SIGINT, signal.SIG_DFL)
signal.signal(signal.SIGQUIT, signal.SIG_DFL)
os.execvp(sys.argv[1], sys.argv[1:])')

truncate -s 64G "$TMP/big"
truncate -s 2G "$TMP/medium"

# start ARGS...: pelko in the background, report file $TMP/report; PID set.
start() {
  rm -f "$TMP/report"
  "${DFL[@]}" "$PELKO" "$@" -o "$TMP/report" >"$TMP/out" 2>"$TMP/err" </dev/null &
  PID=$!
}
# wait_rows N: until the report file holds N rows (at most 60 s).
wait_rows() {
  local n
  for _ in $(seq 600); do
    n=$(grep -c -a -E '^[0-9]+s\.'$'\t' "$TMP/report" 2>/dev/null || true)
    [ "${n:-0}" -ge "$1" ] && return 0
    sleep 0.1
  done
  _fail "no $1 report rows within 60 s"
}
# progress_of ROW: "12.345%", the PROGRESS share of a row.
progress_of() { sed -E 's/.*\(([0-9.]+%)\).*/\1/' <<<"$1"; }
# expect_summary LABEL FILE HEADING: the file holds the final row, then an
# empty line and the summary opened by HEADING, and ends there.
expect_summary() {
  local label=$1 file=$2 heading=$3
  local tail_lines
  tail_lines=$(tr '\r' '\n' <"$file" | grep -a -A 12 -E '^SUMMARY: ' || true)
  expect_eq "$label: heading" "$heading" "$(head -n 1 <<<"$tail_lines")"
  expect_contains "$label: summary ends the output" "reduction ratio:" \
    "$(tail -n 1 "$file")"
  [ "$(tail -c 1 "$file" | od -An -c | tr -d ' ')" = '\n' ] ||
    _fail "$label: $file does not end with a line end"
  local row_line sum_line
  row_line=$(grep -a -n -E '^[0-9]+s\.'$'\t' "$file" | tail -n 1 | cut -d: -f1)
  sum_line=$(grep -a -n -E '^SUMMARY: ' "$file" | cut -d: -f1)
  expect_eq "$label: the summary follows the final row" "$((row_line + 2))" "$sum_line"
}

# --- SIGINT and SIGTERM during the analysis ------------------------------------
for sig in INT TERM; do
  start -p "$TMP/big" -r 0.5
  wait_rows 2
  kill -s $sig $PID
  RC=0
  wait $PID || RC=$?
  want=130
  [ $sig = TERM ] && want=143
  expect_status "SIG$sig" $want
  row=$(final_row "$TMP/report")
  p=$(progress_of "$row")
  if ! awk -v p="${p%\%}" 'BEGIN { exit !(p > 0 && p < 100) }'; then
    _fail "SIG$sig: final row progress \"$p\" (row: $row)"
  fi
  expect_summary "SIG$sig: report" "$TMP/report" "SUMMARY: interrupted by SIG$sig at $p of the plan"
  expect_summary "SIG$sig: console" "$TMP/out" "SUMMARY: interrupted by SIG$sig at $p of the plan"
  expect_eq "SIG$sig: console and file end alike" "$(tail -n 11 "$TMP/report")" "$(tail -n 11 "$TMP/out")"
  expect_eq "SIG$sig: console row" "$(cut -f 1,2 <<<"$row")" "$(final_row "$TMP/out" | cut -f 1,2)"
  expect_eq "SIG$sig: the stop line alone on stderr" \
    "stopping: finishing the final row; press Ctrl-C again to quit without it" \
    "$(cat "$TMP/err")"
done

# timeout(1) sends its signal to pelko and to its process group: the copy
# does not count as a second signal.
RC=0
timeout -s INT 3 "$PELKO" -p "$TMP/big" -o "$TMP/report" >"$TMP/out" 2>"$TMP/err" </dev/null || RC=$?
expect_status "timeout -s INT" 124
expect_contains "timeout -s INT: summary" "SUMMARY: interrupted by SIGINT at " "$(cat "$TMP/report")"

# --- The first signal is answered at once, whatever the rate and threads -----
# At 1 KiB/s each of 16 readers waits minutes for its turn to read: the stop
# line comes at once, and the final row and the summary within 2 s.
STOP_LINE="stopping: finishing the final row; press Ctrl-C again to quit without it"
# secs_since T0: seconds from T0 (date +%s.%N) until now.
secs_since() { awk -v a="$1" -v b="$(date +%s.%N)" 'BEGIN { printf "%.2f", b - a }'; }
# within LABEL SECONDS LIMIT: fails when SECONDS exceeds LIMIT.
within() {
  awk -v a="$2" -v l="$3" 'BEGIN { exit !(a < l) }' || _fail "$1: took $2 s (limit $3 s)"
}
start -p "$TMP/big" -t 16 --max-rate 1K --json "$TMP/run.json"
for _ in $(seq 300); do
  grep -q -a ANALYZING "$TMP/report" 2>/dev/null && break
  sleep 0.1
done
sleep 1
t0=$(date +%s.%N)
kill -INT $PID
t_line=
for _ in $(seq 100); do
  if [ "$(cat "$TMP/err")" = "$STOP_LINE" ]; then t_line=$(secs_since "$t0"); break; fi
  sleep 0.02
done
RC=0
wait $PID || RC=$?
t_end=$(secs_since "$t0")
echo "--max-rate 1K -t 16: stop line after ${t_line:-?} s, summary and outputs after $t_end s"
expect_status "--max-rate 1K: SIGINT" 130
[ -n "$t_line" ] && within "--max-rate 1K: the stop line" "$t_line" 1 ||
  _fail "--max-rate 1K: no stop line within 2 s (stderr: $(cat "$TMP/err"))"
within "--max-rate 1K: final row, summary and outputs" "$t_end" 2
p=$(progress_of "$(final_row "$TMP/report")")
expect_summary "--max-rate 1K" "$TMP/report" "SUMMARY: interrupted by SIGINT at $p of the plan"
expect_contains "--max-rate 1K: JSON summary" '"stop_reason":"interrupted by SIGINT"' \
  "$(tail -n 1 "$TMP/run.json")"
expect_eq "--max-rate 1K: what was left is not unreadable" "unreadable:                    none" \
  "$(grep -a '^unreadable:' "$TMP/report")"

# --- SIGHUP and SIGQUIT end the run as SIGTERM does, keeping every output --------
for sig in HUP QUIT; do
  rm -f "$TMP/run.pex"
  echo old >"$TMP/run.svg"
  start -p "$TMP/big" -r 0.5 --export "$TMP/run.pex" --json "$TMP/run.json" \
    --plot "$TMP/run.svg"
  wait_rows 2
  kill -s $sig $PID
  RC=0
  wait $PID || RC=$?
  want=129
  [ $sig = QUIT ] && want=131
  expect_status "SIG$sig" $want
  p=$(progress_of "$(final_row "$TMP/report")")
  expect_contains "SIG$sig: report" "SUMMARY: interrupted by SIG$sig at $p of the plan" \
    "$(cat "$TMP/report")"
  expect_contains "SIG$sig: JSON summary" "\"stop_reason\":\"interrupted by SIG$sig\"" \
    "$(tail -n 1 "$TMP/run.json")"
  [ -s "$TMP/run.pex" ] || _fail "SIG$sig: no export written"
  expect_contains "SIG$sig: chart" "</svg>" "$(tail -n 1 "$TMP/run.svg")"
  expect_eq "SIG$sig: temporary files left" "" "$(find "$TMP" -name '*.tmp-*')"
done

# --- A second signal ends the run at once, with the first one's status ------------
# Every read of the input takes 2 s (strace fault injection): the read in
# hand when the first signal arrives is still going when the second comes.
# And a signal after the summary, while the export is written (its fsync
# delayed), changes nothing: the run is complete, exit status 0; two of them
# end it at once without leaving the temporary export behind.
if strace -f -o /dev/null true 2>/dev/null; then
  # traced ARGS...: pelko under strace in the background (SPID), stdout in
  # $TMP/out; CHILD set to pelko's own pid once it runs.
  traced() {
    "${DFL[@]}" strace -f -qq -o /dev/null "$@" >"$TMP/out" 2>"$TMP/err" </dev/null &
    SPID=$!
    CHILD=
    for _ in $(seq 100); do
      CHILD=$(pgrep -P $SPID -x pelko || true)
      [ -n "$CHILD" ] && break
      sleep 0.05
    done
  }
  # wait_out TEXT: until stdout holds TEXT (at most 30 s).
  wait_out() {
    for _ in $(seq 300); do
      grep -q -a -F "$1" "$TMP/out" 2>/dev/null && return 0
      sleep 0.1
    done
    _fail "no \"$1\" within 30 s"
  }
  traced -P "$TMP/big" -e trace=pread64 -e inject=pread64:delay_exit=2000000 \
    "$PELKO" -p "$TMP/big" -t 1
  wait_out ANALYZING
  sleep 0.5
  kill -TERM $CHILD
  sleep 0.3
  t0=$(date +%s.%N)
  kill -INT $CHILD
  RC=0
  wait $SPID || RC=$?
  expect_status "SIGTERM, then SIGINT" 143
  within "second signal" "$(secs_since "$t0")" 1.5
  case "$(cat "$TMP/out")" in
    *SUMMARY*) _fail "second signal: the run was finished instead of ended" ;;
  esac

  head -c 300000 /dev/urandom >"$TMP/small"
  # ThreadSanitizer holds a signal until the thread it picked leaves its
  # system call: two sent while the fsync is delayed arrive together, and
  # count as one. The plain and the other sanitized builds test them.
  n_signals="1 2"
  case "$(ldd "$PELKO" 2>/dev/null || true)" in *libtsan*) n_signals=1 ;; esac
  for n in $n_signals; do
    rm -f "$TMP/small.pex"
    traced -e trace=fsync -e inject=fsync:delay_enter=2000000 \
      "$PELKO" -p "$TMP/small" --export "$TMP/small.pex"
    wait_out "SUMMARY: complete run"
    sleep 0.3
    kill -INT $CHILD
    [ $n = 2 ] && { sleep 0.3; kill -INT $CHILD; }
    RC=0
    wait $SPID || RC=$?
    left=$(ls "$TMP" | grep -c '\.tmp-' || true)
    expect_eq "$n signal(s) during the export: temporary files left" 0 "$left"
    if [ $n = 1 ]; then
      expect_status "a signal during the export" 0
      [ -s "$TMP/small.pex" ] || _fail "a signal during the export: no export"
    else
      expect_status "two signals during the export" 130
      [ -e "$TMP/small.pex" ] && _fail "two signals during the export: an export was written"
    fi
  done
else
  echo "SKIP second signal and signals during the export: strace not usable"
fi

# --- --stop-at and --time-limit ---------------------------------------------------
start -p "$TMP/medium" -r 10 --stop-at 30
RC=0
wait $PID || RC=$?
expect_status "--stop-at 30" 0
p=$(progress_of "$(final_row "$TMP/report")")
# The buckets being read when the share is reached are finished: a few MiB.
if ! awk -v p="${p%\%}" 'BEGIN { exit !(p >= 30 && p < 32) }'; then
  _fail "--stop-at 30: final row progress $p"
fi
expect_summary "--stop-at" "$TMP/report" "SUMMARY: stopped by --stop-at 30 at $p of the plan"
expect_contains "--stop-at: echo" "stop_at:         30%" "$(cat "$TMP/report")"

t0=$(date +%s.%N)
start -p "$TMP/big" --time-limit 2 --max-rate 64M
RC=0
wait $PID || RC=$?
t1=$(date +%s.%N)
expect_status "--time-limit 2" 0
p=$(progress_of "$(final_row "$TMP/report")")
expect_summary "--time-limit" "$TMP/report" "SUMMARY: stopped by --time-limit 2 at $p of the plan"
if ! awk -v a="$t0" -v b="$t1" 'BEGIN { exit !(b - a >= 2 && b - a < 30) }'; then
  _fail "--time-limit 2: the run took $(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }') s"
fi

# --- A signal during the scan ---------------------------------------------------------
# Every file status query of the walk is delayed (strace fault injection), so
# the scan of 400 files lasts long enough to be interrupted.
if strace -f -o /dev/null true 2>/dev/null; then
  mkdir -p "$TMP/tree"
  for i in $(seq 400); do : >"$TMP/tree/f$i"; done
  for sig in INT TERM; do
    "${DFL[@]}" strace -f -qq -o /dev/null -e trace=newfstatat,fstatat64 \
      -e inject=newfstatat:delay_exit=30000 \
      "$PELKO" -p "$TMP/tree" -t 1 -o "$TMP/report" >"$TMP/out" 2>"$TMP/err" </dev/null &
    spid=$!
    for _ in $(seq 300); do
      grep -q SCANNING "$TMP/out" 2>/dev/null && break
      sleep 0.1
    done
    sleep 0.5
    child=$(pgrep -P $spid -x pelko || true)
    if [ -z "$child" ]; then
      _fail "scan SIG$sig: pelko not found under strace"
      wait $spid || true
      continue
    fi
    t0=$(date +%s.%N)
    kill -s $sig "$child"
    RC=0
    wait $spid || RC=$?
    t1=$(date +%s.%N)
    want=130
    [ $sig = TERM ] && want=143
    expect_status "scan SIG$sig" $want
    expect_eq "scan SIG$sig: last line" "Scan interrupted by SIG$sig." "$(tail -n 1 "$TMP/out")"
    expect_eq "scan SIG$sig: report file" "Scan interrupted by SIG$sig." "$(tail -n 1 "$TMP/report")"
    case "$(cat "$TMP/out")" in
      *ANALYZING*) _fail "scan SIG$sig: the analysis began" ;;
    esac
    if ! awk -v a="$t0" -v b="$t1" 'BEGIN { exit !(b - a < 5) }'; then
      _fail "scan SIG$sig: took $(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }') s to end"
    fi
  done
else
  echo "SKIP signal during the scan: strace not usable"
fi

finish
