#!/usr/bin/env bash
# Command line: usage errors name the option as typed, what is wrong and the
# fix, on stderr with status 1 and nothing on stdout; sizes take K, KB and
# KiB alike; help and version with status 0.
source "$(dirname "$0")/lib.sh" "$@"

TRY="Try 'pelko --help'."

# usage_error LABEL MESSAGE ARGS...: status 1, "pelko: MESSAGE" and the
# hint on stderr, nothing on stdout.
usage_error() {
  local label=$1 msg=$2
  shift 2
  run_pelko "$@"
  expect_status "$label" 1
  expect_eq "$label: stderr" "pelko: $msg
$TRY" "$(cat "$TMP/err")"
  expect_eq "$label: stdout" "" "$(cat "$TMP/out")"
}

touch "$TMP/f"
SIZE="not a size; give a number with an optional unit K, KB or KiB (1024 bytes), M, G or T alike (powers of 1024), as in 16K or 1.5G"
usage_error "no arguments" "no input path: name what to estimate with -p PATH"
usage_error "path without -p" \
  "no input path: $TMP/f is no option; input paths are given with -p, as in: -p $TMP/f" "$TMP/f"
usage_error "path without -p after -p" \
  "unexpected argument $TMP/g: input paths are given with -p, as in: -p $TMP/g" -p "$TMP/f" "$TMP/g"
usage_error "first check wins" "no input path: name what to estimate with -p PATH" -c 0 -t 0
usage_error "-c 0" "-c 0: the chunk size must be at least 1 byte" -p "$TMP/f" -c 0 -b 0
usage_error "-c -1" "-c -1: the chunk size must be at least 1 byte" -p "$TMP/f" -c -1
usage_error "-c 0.5" "--chunk-size=0.5: the chunk size must be at least 1 byte" -p "$TMP/f" --chunk-size=0.5
usage_error "-c 16KX" "-c 16KX: $SIZE" -p "$TMP/f" -c 16KX
usage_error "-c 16 K" "-c 16 K: $SIZE" -p "$TMP/f" -c "16 K"
usage_error "-c 3G" "-c 3G: the chunk size must be at most 1.969 GiB (2113929216 bytes), the largest block LZ4 compresses" -p "$TMP/f" -c 3G
usage_error "-b -5" "-b -5: the bucket size must be at least 1 byte" -p "$TMP/f" -b -5
usage_error "-c above -b" "--chunk_size 64K: larger than the bucket size 32 KiB (-b 32K); give a bucket size of at least 64K" \
  -p "$TMP/f" --chunk_size 64K -b 32K
# Sizes, times and shares that are no numbers: read as 0 or NaN they would
# switch a limit off or hang the run.
usage_error "-M abc" "-M abc: $SIZE" -p "$TMP/f" -M abc
usage_error "-M nan" "-M nan: $SIZE" -p "$TMP/f" -M nan
usage_error "--max-rate nan" "--max-rate nan: $SIZE" -p "$TMP/f" --max-rate nan
usage_error "--max-rate fast" "--max-rate fast: $SIZE" -p "$TMP/f" --max-rate fast
usage_error "-T nan" "-T nan: not a whole number of seconds; 0 means no limit" -T nan -p "$TMP/f"
usage_error "--scan_time=" "--scan_time=: not a whole number of seconds; 0 means no limit" -p "$TMP/f" --scan_time=
usage_error "-T -1" "--scan-time -1: the scan time limit cannot be negative; 0 means none" -p "$TMP/f" --scan-time -1
usage_error "--time-limit x" "--time-limit x: not a number of seconds" -p "$TMP/f" --time-limit x
usage_error "--stop-at 0" "--stop-at 0: the share must be above 0 and at most 100 (percent)" -p "$TMP/f" --stop-at 0
usage_error "--stop-at 101" "--stop-at 101: the share must be above 0 and at most 100 (percent)" -p "$TMP/f" --stop-at 101
usage_error "--time-limit -1" "--time-limit -1: the time limit cannot be negative; 0 means none" -p "$TMP/f" --time-limit -1
usage_error "--max-rate -1M" "--max-rate -1M: the rate cannot be negative; 0 means no limit" -p "$TMP/f" --max-rate -1M
# Report steps below 0.001 %: the step would crawl (1e-300 never moved).
usage_error "-r 0" "-r 0: the report step must be at least 0.001 (percent)" -p "$TMP/f" -r 0 -t 0
usage_error "-r 1e-300" "-r 1e-300: the report step must be at least 0.001 (percent)" -p "$TMP/f" -r 1e-300
usage_error "-r junk" "--freq=junk: not a number; give the step in percent, as in -r 5" -p "$TMP/f" --freq=junk
usage_error "-t 0" "-t 0: the thread count must be 1 to 1024" -p "$TMP/f" -t 0 -A 0
usage_error "-t 1025" "-t 1025: the thread count must be 1 to 1024" -p "$TMP/f" -t 1025
usage_error "-t 2.5" "-t 2.5: not a whole number of threads" -p "$TMP/f" -t 2.5
usage_error "-A 0" "-A 0: alpha must be above 0" -p "$TMP/f" -A 0 -M -1
usage_error "-M -1G" "-M -1G: the memory limit cannot be negative; 0 means none" -p "$TMP/f" -M -1G
usage_error "-e foo" "-e foo: unknown estimate mode; the modes are all, dedupe, compress, no-dedupe, no-compress and no-dedupe-zeros" -p "$TMP/f" -e foo
# Options the parser does not know, or lacks an argument of.
usage_error "-x" "-x: unknown option" -p "$TMP/f" -x
usage_error "-c without argument" "-c: needs an argument" -p "$TMP/f" -c
usage_error "--no-such-option" "--no-such-option: unknown option" -p "$TMP/f" --no-such-option
usage_error "ambiguous" "--m: ambiguous, could be --memory, --max-rate, --merge" -p "$TMP/f" --m 1
usage_error "--keep-cache=1" "--keep-cache: takes no argument" -p "$TMP/f" --keep-cache=1
# A path that is not there: said as a person would.
run_pelko -p "$TMP/nonexistent"
expect_status "missing path" 1
expect_eq "missing path: stderr" "pelko: no such file or directory: $TMP/nonexistent" "$(cat "$TMP/err")"

# Sizes as people write them: K, KB, KiB, k, all powers of 1024; the hyphen
# spellings beside the underscore ones. (-T 0 -M 0: no reset line.)
head -c 65536 /dev/urandom >"$TMP/data"
for c in 16K 16KB 16KiB 16k 16kb 16384; do
  run_pelko -p "$TMP/data" -c "$c" -T 0 -M 0
  expect_status "-c $c" 0
  expect_contains "-c $c: echo" "chunk_size:      16.000 KiB" "$(cat "$TMP/out")"
done
run_pelko -p "$TMP/data" --chunk-size 8KiB --bucket-size 64KB --scan-time 5 --max-rate 10MB -M 0
expect_status "hyphen spellings" 0
expect_contains "hyphen spellings: chunk" "chunk_size:      8192" "$(cat "$TMP/out")"
expect_contains "hyphen spellings: bucket" "bucket_size:     64.000 KiB" "$(cat "$TMP/out")"
expect_contains "hyphen spellings: scan time" "scan_time_limit: 5 sec." "$(cat "$TMP/out")"
expect_contains "--max-rate 10MB is 10 MiB/s" "max_rate:        10.000 MiB/s" "$(cat "$TMP/out")"
# A chunk size that is not a power of two: a warning, on stderr as well
# (stdout is a file here).
run_pelko -p "$TMP/data" -c 3K -T 0 -M 0
expect_status "-c 3K" 0
W="WARNING: chunk_size 3 KiB is not a power of two; storage arrays deduplicate and compress blocks of a power of two (4 KiB, 8 KiB, 16 KiB, ...), so no array stores this data as estimated."
expect_contains "-c 3K: warning in the report" "$W" "$(cat "$TMP/out")"
expect_contains "-c 3K: warning on stderr" "$W" "$(cat "$TMP/err")"

# Help: status 0, on stdout, nothing on stderr, 80 columns, every part; the
# same with -D (the advanced options are always there); later options are
# not looked at.
run_pelko -h -c 0
expect_status "-h" 0
expect_eq "-h: stderr" "" "$(cat "$TMP/err")"
cp "$TMP/out" "$TMP/help"
expect_eq "-h: within 80 columns, no tabs" "" "$(awk 'length($0) > 80 || /\t/' "$TMP/help")"
help=$(cat "$TMP/help")
for part in "pelko estimates how far data would shrink" \
    "Usage: pelko -p PATH [-p PATH ...] [options]" "Options:" \
    "  -c, --chunk-size SIZE     unit of deduplication" \
    "      --max-rate SIZE       read at most SIZE per second" \
    "Advanced options:" "  -b, --bucket-size SIZE" "  -A, --alpha ALPHA" "  -D, --debug" \
    "Examples:" "  pelko -p /data" "More in the manual page: man pelko"; do
  expect_contains "-h: $part" "$part" "$help"
done
run_pelko -D --help
expect_status "-D -h" 0
expect_eq "-D -h: the same help" "$(mask_memory <<<"$help")" "$(mask_memory <"$TMP/out")"

# Version: status 0 even without a path, console only even with -o; the
# program's name whatever it was started as.
VERSION_LINE="pelko 1.08, Coin-Or Utils $(pkg-config --modversion coinutils 2>/dev/null || echo 2.11.4), Coin-Or CLP $(pkg-config --modversion clp 2>/dev/null || echo 1.17.6)"
run_pelko -V
expect_status "-V" 0
expect_eq "-V: stdout" "$VERSION_LINE" "$(cat "$TMP/out")"
expect_eq "-V: stderr" "" "$(cat "$TMP/err")"
run_pelko -o "$TMP/v.txt" --version -c 0
expect_status "-o file -V" 0
expect_eq "-o file -V: stdout" "$VERSION_LINE" "$(cat "$TMP/out")"
if [ -e "$TMP/v.txt" ]; then _fail "-V created the output file"; fi
(cd "$TMP" && ln -sf "$PELKO" other-name && ./other-name -V >"$TMP/out")
expect_eq "started as other-name" "$VERSION_LINE" "$(cat "$TMP/out")"

finish
