#!/usr/bin/env bash
# Pipes and redirection: once the reader of the report has gone the run ends
# at its next write (as SIGPIPE would end it, exit status 141, with every
# other output completed), whether the reader leaves at the first line or in
# the middle of the analysis, and even when the parent started pelko with
# SIGPIPE ignored. Reading the 64 GiB input in full would
# take minutes, so an early end proves that reading stopped. Redirected to a
# file, standard output holds the whole report.
source "$(dirname "$0")/lib.sh" "$@"
PELKO=$(readlink -f "$PELKO")

truncate -s 64G "$TMP/big"

# piped LABEL LINES [WRAPPER...]: runs pelko -p big | head -n LINES; checks
# that head got its lines, pelko died of SIGPIPE, and all ended in time.
# Rows come every 0.1 %, so line LINES arrives within a second or two even on
# a loaded machine: the time measured is then mostly the time after the
# reader left.
piped() {
  local label=$1 lines=$2
  shift 2
  local start end st
  start=$(date +%s)
  st=$(set +o pipefail
       timeout -k 5 40 "$@" "$PELKO" -p "$TMP/big" -r 0.1 2>"$TMP/err" </dev/null |
         head -n "$lines" >"$TMP/out"
       echo "${PIPESTATUS[0]}")
  end=$(date +%s)
  expect_eq "$label: pelko ended by SIGPIPE" 141 "$st"
  expect_eq "$label: lines read" "$lines" "$(wc -l <"$TMP/out")"
  if [ $((end - start)) -gt 15 ]; then
    _fail "$label: took $((end - start)) s after the reader left"
  fi
}

piped "head -1" 1
expect_contains "head -1" "VERSION:" "$(cat "$TMP/out")"
# The reader leaves during the analysis (the echo and scan take ~20 lines).
piped "head -30" 30
expect_contains "head -30: analysis had begun" "ANALYZING" "$(cat "$TMP/out")"
# A parent that ignores SIGPIPE (as Python does): exec keeps the disposition.
IGNORE_PIPE=(python3 -c 'import os, sys; os.execvp(sys.argv[1], sys.argv[1:])')
piped "head -1, SIGPIPE ignored" 1 "${IGNORE_PIPE[@]}"
piped "head -30, SIGPIPE ignored" 30 "${IGNORE_PIPE[@]}"

# The reader leaving ends the run as a signal would, but the other outputs
# are completed: the report file and the JSON get the final row and the
# summary, and the export is written.
st=$(set +o pipefail
     timeout -k 5 40 "$PELKO" -p "$TMP/big" -r 0.1 -o "$TMP/report" \
       --json "$TMP/run.json" --export "$TMP/run.pex" 2>"$TMP/err" </dev/null |
       head -n 30 >/dev/null
     echo "${PIPESTATUS[0]}")
expect_eq "reader gone: exit status" 141 "$st"
expect_contains "reader gone: report file" "SUMMARY: interrupted by SIGPIPE at " "$(cat "$TMP/report")"
expect_contains "reader gone: JSON" '"stop_reason":"interrupted by SIGPIPE"' "$(tail -n 1 "$TMP/run.json")"
[ -s "$TMP/run.pex" ] || _fail "reader gone: no export"
expect_contains "reader gone: named" "ERROR: write(stdout) failed, Broken pipe" "$(cat "$TMP/err")"

# Redirection: the console report in a file is complete and matches the
# report file row for row (console rows start with a carriage return and
# show 3 decimals; time and progress fields are identical).
mkdir -p "$TMP/data"
for i in 1 2 3; do head -c 500000 /dev/urandom >"$TMP/data/f$i"; done
cp "$TMP/data/f1" "$TMP/data/copy"
RC=0
"$PELKO" -p "$TMP/data" -o "$TMP/report" >"$TMP/console" 2>"$TMP/err" </dev/null || RC=$?
expect_status "redirected" 0
[ -s "$TMP/err" ] && _fail "redirected: error output: $(head -c 300 "$TMP/err")"
[ "$(tail -c 1 "$TMP/console" | od -An -c | tr -d ' ')" = '\n' ] ||
  _fail "redirected: the report does not end with a line end"
# A line as a terminal shows it: what follows its last carriage return
# (progress lines rewritten in place leave nothing behind).
rows() { awk -F'\r' '{ print $NF }' "$1" | grep -a -E '^[0-9]+s\.'$'\t' | cut -f 1,2; }
for want in "INPUT PARAMETERS:" "SCANNING" "Scanned: " "ANALYZING" "PROGRESS"; do
  expect_contains "redirected" "$want" "$(cat "$TMP/console")"
done
con_rows=$(rows "$TMP/console")
expect_eq "redirected: rows as in the report file" "$(rows "$TMP/report")" "$con_rows"
expect_contains "redirected: final row" "(100.000%)" "$(tail -n 1 <<<"$con_rows")"

finish
