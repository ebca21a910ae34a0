#!/usr/bin/env bash
# Parameter echo: console and report file, debug levels 0 and 1, the output
# file's own errors. Each run ends with a missing path so that it stops after
# the root lines.
source "$(dirname "$0")/lib.sh" "$@"

THREADS=$((2 * $(nproc)))
VERSION_LINE="pelko 1.08, Coin-Or Utils $(pkg-config --modversion coinutils 2>/dev/null || echo 2.11.4), Coin-Or CLP $(pkg-config --modversion clp 2>/dev/null || echo 1.17.6)"
head -c 5000 /dev/zero >"$TMP/f"
MISSING="$TMP/missing"
MISSING_ERR="pelko: no such file or directory: $MISSING"

# Debug 0, defaults: the optional lines appear only where a value differs.
run_pelko -p "$TMP/f" -p "$MISSING"
expect_status "defaults" 1
expect_file "defaults: stdout" "VERSION:         $VERSION_LINE
INPUT PARAMETERS:
path:            $TMP/f
path:            $MISSING
chunk_size:      16.000 KiB
estimate:        dedupe(with zeros) compress
report_freq:     1.000%
#threads:        $THREADS
memory_limit:    <MEM> GiB
scan_time_limit: 3600 sec.

$TMP/f: single file, 5000" "$TMP/out" mask_memory
expect_file "defaults: stderr" "$MISSING_ERR" "$TMP/err"

# Zero limits hide their lines; -e compress has no dedupe, so no zeros
# qualifier.
run_pelko -p "$TMP/f" -M 0 -T 0 -e compress -t 3 -r 0.5 -A 2 -b 64K -p "$MISSING"
expect_file "no limits" "VERSION:         $VERSION_LINE
INPUT PARAMETERS:
path:            $TMP/f
path:            $MISSING
chunk_size:      16.000 KiB
bucket_size:     64.000 KiB
estimate:        compress
report_freq:     0.500%
#threads:        3
alpha:           2.000

$TMP/f: single file, 5000" "$TMP/out"

# Debug 1 with an output file: every optional line; the file shows doubles
# in the stream's general format and gets no error line.
run_pelko -D -p "$TMP/f" -o "$TMP/report.txt" -M 10G -e dedupe -e no-dedupe-zeros -p "$MISSING"
expect_status "debug 1" 1
echo_d() {  # echo_d FREQ ALPHA
  printf '%s\n' "VERSION:         $VERSION_LINE
INPUT PARAMETERS:
path:            $TMP/f
path:            $MISSING
chunk_size:      16.000 KiB
bucket_size:     1024.000 KiB
estimate:        dedupe(without zeros)
report_freq:     $1%
#threads:        $THREADS
memory_limit:    10.000 GiB
scan_time_limit: 3600 sec.
output_file:     $TMP/report.txt
alpha:           $2
debug_level:     1

$TMP/f: single file, 5000"
}
expect_file "debug 1: console" "$(echo_d 1.000 0.500)" "$TMP/out"
expect_file "debug 1: stderr" "$MISSING_ERR" "$TMP/err"
# A run refused at its start writes no report file.
[ -e "$TMP/report.txt" ] && _fail "debug 1: a report file was written"
# The same run without the missing path: the file has the echo too.
run_pelko -D -p "$TMP/f" -o "$TMP/report.txt" -M 10G -e dedupe -e no-dedupe-zeros
expect_file "debug 1: file" "$(echo_d 1 0.5 | grep -v "^path: *$MISSING\$")" \
  "$TMP/report.txt" "head -n 15"

# An existing report file is left alone by a run refused at its start, and
# overwritten, not appended to, by one that goes ahead.
printf 'old line 1\nold line 2\nold line 3\n%.0s' {1..200} >"$TMP/report.txt"
run_pelko -p "$TMP/f" -o "$TMP/report.txt" -p "$MISSING"
expect_eq "refused run: report file kept" 600 "$(grep -c '^old line' "$TMP/report.txt" || true)"
run_pelko -p "$TMP/f" -o "$TMP/report.txt"
expect_eq "overwrite" "VERSION:         $VERSION_LINE" "$(head -n 1 "$TMP/report.txt")"
expect_eq "overwrite: no old lines" "0" "$(grep -c '^old line' "$TMP/report.txt" || true)"
expect_eq "file: 1%" "report_freq:     1%" "$(grep report_freq "$TMP/report.txt")"

# An output file that cannot be created: status 1 before any echo.
run_pelko -p "$TMP/f" -o "$TMP/no/such/dir/report.txt"
expect_status "bad output file" 1
expect_file "bad output file: stderr" "ERROR: open($TMP/no/such/dir/report.txt) failed, No such file or directory" "$TMP/err"
expect_eq "bad output file: stdout" "" "$(cat "$TMP/out")"
run_pelko -p "$TMP/f" -o "$TMP"
expect_status "output file is a directory" 1
expect_contains "output file is a directory" "ERROR: open($TMP) failed, Is a directory" "$(cat "$TMP/err")"

# A report file that cannot be written (full disk) fails the run.
if [ -w /dev/full ]; then
  run_pelko -p "$TMP/f" -o /dev/full
  expect_status "full disk" 1
  expect_contains "full disk" "ERROR: write(/dev/full) failed" "$(cat "$TMP/err")"
fi

finish
