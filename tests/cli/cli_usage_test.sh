#!/usr/bin/env bash
# Command line: usage errors with their messages and status 1, help and
# version with status 0.
source "$(dirname "$0")/lib.sh" "$@"

THREADS=$((2 * $(nproc)))
T=$'\t'
usage_basic="Usage:
$PELKO
$T  --path        | -p <path> [-p <path> ...]$T$T$T${T}One or more input paths.
$T [--chunk_size  | -c <chunk_size>]$T$T$T$T${T}Chunk size. Default=16.000 KiB.
$T [--estimate    | -e <[no-]dedupe|no-dedupe-zeros|[no-]compress|all>]${T}Estimation mode. Default=all.
$T [--freq        | -r <report_freq>]$T$T$T$T${T}Report frequency in percents. Default=1.000.
$T [--threads     | -t <#threads>]$T$T$T$T${T}Number of threads. Default=2*number_of_cpus ($THREADS). Maximum=1024.
$T [--scan_time   | -T <scan_time_limit>]$T$T$T$T${T}Scan time limit in seconds. Default=3600. Set 0 for no limit.
$T [--memory      | -M <memory_limit>]$T$T$T$T${T}Memory limit. Default=80% of available memory. (<MEM> GiB). Set 0 for no limit.
$T [--out         | -o <outfile>]$T$T$T$T$T${T}Output file.
$T [--seed <n>]$T$T$T$T$T$T$T${T}Seed of the reading order. Default: the same order every run.
$T [--stop-at <percent>]$T$T$T$T$T$T${T}Stop the analysis when this share of the data is analysed.
$T [--time-limit <seconds>]$T$T$T$T$T${T}Analysis time limit in seconds. Default=none.
$T [--max-rate <size>]$T$T$T$T$T$T${T}Reading limit in bytes per second, all threads together. Default=none.
$T [--keep-cache]$T$T$T$T$T$T$T${T}Leave the data read in the page cache. Default=drop what was not cached before.
$T [--fingerprint <32|64>]$T$T$T$T$T${T}Bits that tell chunks apart for dedupe. Default=32.
$T [--export <file>]$T$T$T$T$T$T${T}Write the run's sample to this file at its end, for --merge.
$T [--json <file>]$T$T$T$T$T$T${T}Write the parameters, rows and summary as JSON Lines.
$T [--csv <file>]$T$T$T$T$T$T$T${T}Write the report rows as CSV.
$T [--plot <file.svg>]$T$T$T$T$T$T${T}Draw the estimates against progress as an SVG chart."
usage_advanced="$T [--bucket_size | -b <bucket_size=1024.000 KiB>]
$T [--alpha       | -A <alpha=0.500>]
$T [--debug       | -D[D[D]]]"
usage_tail="$T [--help        | -h]
$T [--version     | -V]
$PELKO
$T  --merge <file> [<file> ...]$T$T$T$T$T${T}One estimate for the data of several runs, from their exports.
$T [--out         | -o <outfile>]$T$T$T$T$T${T}Output file.
$T [--json <file>] [--csv <file>] [--plot <file.svg>]$T$T${T}As above, for the merged estimate.

Size parameters accept suffixes K(KiB), M(MiB), G(GiB), T(TiB).
"
USAGE="$usage_basic
$usage_tail"
USAGE_D="$usage_basic
$usage_advanced
$usage_tail"

# usage_error LABEL MESSAGE ARGS...: status 1, the message alone on stderr,
# the plain usage text on stdout, nothing else.
usage_error() {
  local label=$1 msg=$2
  shift 2
  run_pelko "$@"
  expect_status "$label" 1
  expect_eq "$label: stderr" "$msg" "$(cat "$TMP/err")"
  expect_file "$label: stdout" "$USAGE" "$TMP/out" mask_memory
}

touch "$TMP/f"
usage_error "no arguments" "Missing input path"
usage_error "path without -p" "Missing input path
Input paths are given with -p, as in: -p $TMP/f" "$TMP/f"
usage_error "path without -p after -p" "Unexpected argument $TMP/g
Input paths are given with -p, as in: -p $TMP/g" -p "$TMP/f" "$TMP/g"
usage_error "first check wins" "Missing input path" -c 0 -t 0
usage_error "-c 0" "chunk_size <= 0" -p "$TMP/f" -c 0 -b 0
usage_error "-c -1" "chunk_size <= 0" -p "$TMP/f" -c -1
usage_error "-c 16KB is 16 bytes, 0.5 is 0" "chunk_size <= 0" -p "$TMP/f" -c 16KB -c 0.5
usage_error "-c 3G" "chunk_size > 2113929216 (LZ4_MAX_INPUT_SIZE)" -p "$TMP/f" -c 3G
usage_error "-b -5" "bucket_size <= 0" -p "$TMP/f" -b -5
usage_error "-c above -b" "chunk_size > bucket_size" -p "$TMP/f" -c 64K -b 32K
# A size or time with no number at all, named at once: read as 0 it would
# have switched the limit off.
usage_error "-M abc" "-M abc: not a number" -p "$TMP/f" -M abc
usage_error "-T abc" "-T abc: not a number" -T abc -p "$TMP/f"
usage_error "--scan_time=" "-T : not a number" -p "$TMP/f" --scan_time=
usage_error "--max-rate fast" "--max-rate fast: not a number" -p "$TMP/f" --max-rate fast
usage_error "--time-limit x" "--time-limit x: not a number" -p "$TMP/f" --time-limit x
usage_error "--stop-at 0" "stop_at <= 0" -p "$TMP/f" --stop-at 0
usage_error "--stop-at 101" "stop_at > 100" -p "$TMP/f" --stop-at 101
usage_error "--time-limit -1" "time_limit < 0" -p "$TMP/f" --time-limit -1
usage_error "--max-rate -1M" "max_rate < 0" -p "$TMP/f" --max-rate -1M
usage_error "-r 0" "report_freq <= 0" -p "$TMP/f" -r 0 -t 0
usage_error "-r junk" "report_freq <= 0" -p "$TMP/f" --freq=junk
usage_error "-t 0" "n_threads <= 0" -p "$TMP/f" -t 0 -A 0
usage_error "-t 1025" "n_threads > 1024" -p "$TMP/f" -t 1025
usage_error "-t 1000000" "n_threads > 1024" -p "$TMP/f" --threads 1000000
usage_error "-A 0" "alpha <= 0" -p "$TMP/f" -A 0 -M -1
usage_error "-M -1" "memory_limit < 0" -p "$TMP/f" -M -1G
usage_error "-e foo" "Unknown estimate mode foo" -p "$TMP/f" -e foo
usage_error "-e no-all" "Unknown estimate mode no-all" -e dedupe -e no-all

# Unknown options and missing arguments: getopt's own line, then ours.
run_pelko -p "$TMP/f" -x
expect_status "-x" 1
expect_eq "-x: stderr" "$PELKO: invalid option -- 'x'
Bad option" "$(cat "$TMP/err")"
expect_file "-x: stdout" "$USAGE" "$TMP/out" mask_memory
run_pelko -p "$TMP/f" -c
expect_status "-c without argument" 1
expect_eq "-c without argument: stderr" "$PELKO: option requires an argument -- 'c'
Bad option" "$(cat "$TMP/err")"
run_pelko -p "$TMP/f" --no-such-option
expect_status "--no-such-option" 1
expect_contains "--no-such-option" "Bad option" "$(cat "$TMP/err")"

# A usage error after -D lists the advanced options too.
run_pelko -D -p "$TMP/f" -c 0
expect_status "-D -c 0" 1
expect_file "-D -c 0: stdout" "$USAGE_D" "$TMP/out" mask_memory

# Help: status 0, nothing on stderr; later options are not looked at.
run_pelko -h -c 0
expect_status "-h" 0
expect_file "-h: stdout" "$USAGE" "$TMP/out" mask_memory
expect_eq "-h: stderr" "" "$(cat "$TMP/err")"
run_pelko -D --help
expect_status "-D -h" 0
expect_file "-D -h: stdout" "$USAGE_D" "$TMP/out" mask_memory
run_pelko -h -D
expect_file "-h -D: stdout" "$USAGE" "$TMP/out" mask_memory
run_pelko -DDD -h
expect_file "-DDD -h: stdout" "$USAGE_D" "$TMP/out" mask_memory

# Version: status 0 even without a path, console only even with -o.
VERSION_LINE="$PELKO 1.08, Coin-Or Utils 2.11.4, Coin-Or CLP 1.17.6"
if ! pkg-config --exact-version=2.11.4 coinutils 2>/dev/null ||
   ! pkg-config --exact-version=1.17.6 clp 2>/dev/null; then
  VERSION_LINE="$PELKO 1.08, Coin-Or Utils $(pkg-config --modversion coinutils), Coin-Or CLP $(pkg-config --modversion clp)"
fi
run_pelko -V
expect_status "-V" 0
expect_eq "-V: stdout" "$VERSION_LINE" "$(cat "$TMP/out")"
expect_eq "-V: stderr" "" "$(cat "$TMP/err")"
run_pelko -o "$TMP/v.txt" --version -c 0
expect_status "-o file -V" 0
expect_eq "-o file -V: stdout" "$VERSION_LINE" "$(cat "$TMP/out")"
if [ -e "$TMP/v.txt" ]; then _fail "-V created the output file"; fi
(cd "$TMP" && ln -sf "$PELKO" pelko && PATH="$TMP:$PATH" pelko -V >"$TMP/out")
expect_eq "started as pelko" "pelko 1.08, Coin-Or Utils" "$(cut -d, -f1-2 <"$TMP/out" | sed 's/ [0-9.]*$//')"

finish
