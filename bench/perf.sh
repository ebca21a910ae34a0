#!/usr/bin/env bash
# End-to-end performance figures of pelko, each against a reference timed in
# the same run on the same (page-cached) data:
#
#   1. analysis throughput: bytes of whole chunks divided by the wall-clock
#      seconds of the whole run (start-up, scan, reports and all; -t 2),
#      against 2 x the single-thread speed of `lz4 -b1 -B16384` on the same
#      file, the two run in turn round by round (medians of the rounds'
#      ratios). The data sets are large enough (1-2 GiB, each chunk distinct
#      within its set) that a run lasts seconds and fixed costs stay small:
#      text (a tar of the text files of several trees), binaries (the shared
#      libraries under /usr/lib and the executables of /usr/bin and others),
#      random bytes, and half duplicates (the text tar twice; measured
#      against the lz4 speed of the tar, as hits skip LZ4). The CPU column
#      (user + system seconds of the run against the seconds lz4 alone needs
#      for the same bytes) does not depend on how idle the machine is;
#   2. dedupe map memory: resident growth per distinct checksum (10 million);
#   3. scan against `find DIR -type f`, reader against `cat`, on 200,000 small
#      files (and the reader on 16 files of 64 MiB);
#   4. one dedupe estimate at the 121-entry cap, and a run with the default
#      1 % report schedule against the same run with -r 100 (the two run in
#      turn; medians of the pairs' ratios);
#   5. plan memory per bucket and per slice (debug line), extrapolated to
#      1 TiB of 1 MiB files;
#   6. several chunk sizes and compressors in one read against one size
#      (bench/configs_perf.sh);
# plus the micro benchmarks (checksum forms, zero test, LZ4, map update).
#
#   bench/perf.sh [build-dir]          (default: build-bench)
#
# With PELKO_WINE_EXE=path/to/pelko.exe the whole runs (sections 1, 4 and 5)
# time that program under Wine instead, on the same data: a rough figure of
# the Windows build, not one of real Windows. What times parts of the
# program (sections 2 and 3, the estimates, the micro benchmarks) is left
# out then.
#
# Environment: PELKO_PERF_DIR (data sets, default /tmp/pelko_perf; kept between
# runs), PELKO_BENCH_TREE (file trees, default /tmp/pelko_bench_tree),
# PELKO_PERF_RUNS (timed runs per command, default 7), PELKO_PERF_LZ4_ROUNDS
# (rounds of lz4's benchmark and pelko in turn, default 5; each lz4 run takes
# about 15 s). Times are medians of whole-process runs (hyperfine, or paired
# in turn where stated). Needs hyperfine, lz4, python3; about 7 GiB
# of disk for the data and as much free memory to keep it in the page cache.
# Wall-clock figures are only meaningful on an otherwise idle machine: the
# load average is printed before and after.
set -euo pipefail

src_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${1:-$src_dir/build-bench}
data=${PELKO_PERF_DIR:-/tmp/pelko_perf}
tree=${PELKO_BENCH_TREE:-/tmp/pelko_bench_tree}
runs=${PELKO_PERF_RUNS:-7}
lz4_rounds=${PELKO_PERF_LZ4_ROUNDS:-5}
pelko=$build_dir/pelko
chunk=16384

for tool in hyperfine lz4 python3; do
  command -v $tool >/dev/null || { echo "perf.sh: needs $tool" >&2; exit 1; }
done
if [ ! -x "$build_dir/unseen_bench" ] || [ ! -x "$pelko" ]; then
  cmake -S "$src_dir" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release \
    -DPELKO_BUILD_BENCHMARKS=ON >/dev/null
fi
cmake --build "$build_dir" -j2 >/dev/null

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

wine_exe=${PELKO_WINE_EXE:-}
if [ -n "$wine_exe" ]; then
  command -v wine >/dev/null || { echo "perf.sh: PELKO_WINE_EXE needs wine" >&2; exit 1; }
  export WINEDEBUG=-all
  unset DISPLAY
  # Absolute paths reach pelko.exe as they are: Wine's current drive is Z:,
  # which is /.
  printf '#!/bin/sh\nexec wine %q "$@"\n' "$(readlink -f "$wine_exe")" >"$tmp/pelko-wine"
  chmod +x "$tmp/pelko-wine"
  pelko=$tmp/pelko-wine
  wineserver -p  # one server for every run
  trap 'wineserver -k 2>/dev/null || true; rm -rf "$tmp"' EXIT
fi

# ---------------------------------------------------------------------------
# Helpers.

# Median wall time in seconds of a command, run without a shell (arguments
# without blanks or quotes).
median() {
  hyperfine -N --style none --warmup 1 --runs "$runs" \
    --export-json "$tmp/h.json" "$*" >/dev/null 2>&1
  python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["results"][0]["median"])' "$tmp/h.json"
}

# Mean user + system seconds of the last command timed by median().
last_cpu() {
  python3 -c 'import json,sys; r=json.load(open(sys.argv[1]))["results"][0]; print(r["user"] + r["system"])' "$tmp/h.json"
}

# Median real time in seconds of one Google Benchmark run set.
bench_median() {
  local bin=$1 filter=$2
  shift 2
  "$build_dir/$bin" --benchmark_filter="$filter" --benchmark_format=json "$@" \
    2>/dev/null | python3 -c '
import json, statistics, sys
scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}
all = json.load(sys.stdin)["benchmarks"]
med = [b for b in all if b.get("aggregate_name") == "median"]
runs = med or [b for b in all if b.get("run_type") == "iteration"]
print(statistics.median(b["real_time"] * scale[b["time_unit"]] for b in runs))'
}

calc() { python3 -c "print(format($1, '.${2:-3}f'))"; }


# ---------------------------------------------------------------------------
# Data sets.

mkdir -p "$data"
# Version 2 of the sets: 1-2 GiB each. Smaller sets of earlier versions are
# replaced.
if [ ! -e "$data/.sets-v2" ]; then
  rm -f "$data/text.tar" "$data/bin.dat" "$data/random.dat" "$data/halfdup.dat"
  touch "$data/.sets-v2"
fi
if [ ! -s "$data/text.tar" ]; then
  # Whole text trees, and the text files (by name) of mixed trees.
  echo "creating $data/text.tar" >&2
  (cd / && {
    find usr/include usr/share/doc usr/share/perl* usr/lib/python3* \
      -type f 2>/dev/null
    find usr/share usr/lib usr/local usr/src -type f \( -name '*.py' \
      -o -name '*.h' -o -name '*.hpp' -o -name '*.c' -o -name '*.cc' \
      -o -name '*.txt' -o -name '*.md' -o -name '*.rst' -o -name '*.html' \
      -o -name '*.xml' -o -name '*.json' -o -name '*.yaml' -o -name '*.js' \
      -o -name '*.css' -o -name '*.svg' -o -name '*.tex' -o -name '*.pl' \
      -o -name '*.pm' -o -name '*.pas' -o -name '*.pp' -o -name '*.inc' \
      -o -name '*.tsv' -o -name '*.cmake' \) 2>/dev/null
  } | sort -u >"$tmp/textlist"
  tar cf "$data/text.tar" -C / --no-recursion -T "$tmp/textlist" 2>/dev/null || true)
fi
if [ ! -s "$data/bin.dat" ]; then
  echo "creating $data/bin.dat" >&2
  { find /usr/lib -name '*.so*' -type f
    find /usr/bin /usr/sbin /usr/libexec /usr/local/bin /usr/lib/jvm \
      /usr/lib/llvm-* -type f -perm -u+x
  } 2>/dev/null | sort -u | xargs -d '\n' cat >"$data/bin.dat" 2>/dev/null || true
fi
if [ ! -s "$data/random.dat" ]; then
  echo "creating $data/random.dat" >&2
  head -c $((2 << 30)) /dev/urandom >"$data/random.dat"
fi
if [ ! -s "$data/halfdup.dat" ]; then
  # The whole chunks of text.tar, twice: every chunk of the second half is a
  # duplicate.
  echo "creating $data/halfdup.dat" >&2
  n=$(( $(stat -c %s "$data/text.tar") / chunk ))
  head -c $((n * chunk)) "$data/text.tar" >"$data/half.tmp"
  cat "$data/half.tmp" "$data/half.tmp" >"$data/halfdup.dat"
  rm -f "$data/half.tmp"
fi
if [ ! -e "$tree/small/.complete" ]; then
  echo "creating $tree/small (200,000 files of 4 KiB)" >&2
  rm -rf "$tree/small"
  python3 - "$tree/small" <<'EOF'
import os, sys
root = sys.argv[1]
os.makedirs(root)
block = bytearray(os.urandom(4096))
for d in range(200):
    dd = os.path.join(root, "d%03d" % d)
    os.mkdir(dd)
    for f in range(1000):
        block[0:8] = (d * 1000 + f).to_bytes(8, "little")
        with open(os.path.join(dd, "f%04d" % f), "wb") as out:
            out.write(block)
open(os.path.join(root, ".complete"), "w").close()
EOF
fi
if [ ! -e "$tree/large/.complete" ]; then
  echo "creating $tree/large (16 files of 64 MiB)" >&2
  rm -rf "$tree/large"
  mkdir -p "$tree/large"
  for i in $(seq 1 16); do
    head -c $((64 << 20)) /dev/urandom >"$tree/large/f$i"
  done
  touch "$tree/large/.complete"
fi
if [ ! -e "$tree/plan/.complete" ]; then
  # Sparse files: only the scan looks at them.
  echo "creating $tree/plan (20,000 sparse files of 1 MiB)" >&2
  rm -rf "$tree/plan"
  python3 - "$tree/plan" <<'EOF'
import os, sys
root = sys.argv[1]
for d in range(20):
    dd = os.path.join(root, "d%02d" % d)
    os.makedirs(dd)
    for f in range(1000):
        with open(os.path.join(dd, "file%04d.img" % f), "wb") as out:
            out.truncate(1 << 20)
open(os.path.join(root, ".complete"), "w").close()
EOF
fi

# Warm the page cache.
cat "$data"/text.tar "$data"/bin.dat "$data"/random.dat "$data"/halfdup.dat \
  "$tree"/large/f* >/dev/null
find "$tree/small" -type f ! -name .complete -print0 >"$tmp/list"
xargs -0 -a "$tmp/list" cat >/dev/null

[ -n "$wine_exe" ] && echo "pelko.exe under Wine ($wine_exe): rough figures, not those of Windows"
echo "pelko performance, $(nproc) processors, $(date -u +%FT%TZ); medians of $runs runs"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg) (wall-clock figures need an idle machine)"
echo

# ---------------------------------------------------------------------------
echo "== 1. analysis throughput (-t 2) vs 2 x lz4 -b1 -B16384 (goal: text, bin >= 0.85; random >= 0.5)"
echo "   throughput = bytes of whole chunks / wall seconds of the whole run; cpu ratio = lz4 seconds / pelko user+sys seconds"
printf '%-12s %7s %9s %10s %11s %6s %9s %9s\n' data "size" "pelko s" "pelko MB/s" "2xlz4 MB/s" ratio "pelko cpu" "cpu ratio"
# lz4's benchmark and pelko run in turn, round by round, so that a drift of
# the machine's speed hits both alike; each figure is the median over the
# rounds, the ratios medians of the rounds' ratios.
with_lz4() {
  python3 - "$lz4_rounds" "$@" <<'EOF_PY'
import re, resource, statistics, subprocess, sys, time
runs, lz4_file, nbytes = int(sys.argv[1]), sys.argv[2], int(sys.argv[3])
cmd = sys.argv[4:]
def lz4_speed():
    out = subprocess.run(["lz4", "-b1", "-B16384", lz4_file],
                         capture_output=True, text=True).stderr + ""
    mbs = re.findall(r"([0-9.]+) MB/s ,", out.replace("\r", "\n"))
    return float(mbs[-1]) * 1e6
def pelko():
    r0 = resource.getrusage(resource.RUSAGE_CHILDREN); t0 = time.monotonic()
    subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    t1 = time.monotonic(); r1 = resource.getrusage(resource.RUSAGE_CHILDREN)
    return t1 - t0, r1.ru_utime - r0.ru_utime + r1.ru_stime - r0.ru_stime
pelko()  # warm-up
rounds = []
for _ in range(runs):
    ref = lz4_speed(); t, cpu = pelko()
    rounds.append((ref, t, cpu))
med = statistics.median
print("%.0f %.4f %.4f %.3f %.3f" % (
    med(r[0] for r in rounds), med(r[1] for r in rounds), med(r[2] for r in rounds),
    med(nbytes / r[1] / (2 * r[0]) for r in rounds), med(nbytes / r[0] / r[2] for r in rounds)))
EOF_PY
}
declare -A tput cpuof
for name in text.tar bin.dat random.dat halfdup.dat; do
  f=$data/$name
  bytes=$(( $(stat -c %s "$f") / chunk * chunk ))
  # Hits skip LZ4: the half-duplicate set is held to the bound of its tar.
  ref_file=$f
  [ $name = halfdup.dat ] && ref_file=$data/text.tar
  read -r ref t cpu ratio cratio < <(with_lz4 "$ref_file" "$bytes" "$pelko" -p "$f" -t 2)
  cpuof[$name]=$cpu
  tput[$name]=$(calc "$bytes / $t" 0)
  printf '%-12s %6sM %9s %10s %11s %6s %9s %9s\n' "$name" $((bytes >> 20)) "$(calc "$t")" \
    "$(calc "$bytes / $t / 1e6" 0)" "$(calc "2 * $ref / 1e6" 0)" \
    "$ratio" "$(calc "$cpu")" "$cratio"
done
echo "half duplicates: throughput vs text.tar = $(calc "${tput[halfdup.dat]} / ${tput[text.tar]}" 2) (LZ4 skipped on hits)"
echo

if [ -z "$wine_exe" ]; then
# ---------------------------------------------------------------------------
echo "== 2. dedupe map: resident growth per distinct checksum, 10 million (goal <= 24 B)"
"$build_dir/estimator_bench" --benchmark_filter='BM_map_memory' \
  --benchmark_format=json 2>/dev/null | python3 -c '
import json, sys
b = [b for b in json.load(sys.stdin)["benchmarks"]][0]
print("bytes per entry: %.1f  (ratio to 24 B: %.2f)" % (b["bytes_per_entry"], b["bytes_per_entry"] / 24))'
echo

# ---------------------------------------------------------------------------
echo "== 3. scan vs find, reader vs cat ($(tr -cd '\0' <"$tmp/list" | wc -c) files of 4 KiB; goals: scan >= find, reader >= 0.9 cat)"
t_find=$(median find "$tree/small" -type f)
t_scan=$(PELKO_BENCH_DIR=$tree/small PELKO_BENCH_CHUNK=4096 bench_median scan_reader_bench '^BM_Scan/2/')
printf '%-36s %8s s\n' "find DIR -type f" "$(calc "$t_find")"
printf '%-36s %8s s   find/scan = %s\n' "pelko scan, 2 threads" "$(calc "$t_scan")" "$(calc "$t_find / $t_scan" 2)"
t_cat=$(median xargs -0 -a "$tmp/list" cat)
t_read=$(PELKO_BENCH_DIR=$tree/small PELKO_BENCH_CHUNK=4096 bench_median scan_reader_bench '^BM_Read/2/')
printf '%-36s %8s s\n' "cat FILES (small files)" "$(calc "$t_cat")"
printf '%-36s %8s s   reader/cat throughput = %s\n' "pelko reader, 2 threads" "$(calc "$t_read")" "$(calc "$t_cat / $t_read" 2)"
find "$tree/large" -type f ! -name .complete -print0 >"$tmp/list_large"
t_cat=$(median xargs -0 -a "$tmp/list_large" cat)
t_read=$(PELKO_BENCH_DIR=$tree/large PELKO_BENCH_CHUNK=16384 bench_median scan_reader_bench '^BM_Read/2/')
printf '%-36s %8s s\n' "cat FILES (16 x 64 MiB)" "$(calc "$t_cat")"
printf '%-36s %8s s   reader/cat throughput = %s\n' "pelko reader, 2 threads" "$(calc "$t_read")" "$(calc "$t_cat / $t_read" 2)"
echo

fi

# ---------------------------------------------------------------------------
echo "== 4. reports (goals: one estimate <= 10 ms; default schedule <= 2 % slower than -r 100)"
# Histograms 0 and 1 reach the cap; 3 is the text tar's at 99 %, as a run's
# reports mostly see them.
if [ -z "$wine_exe" ]; then
for arg in 0 1 3; do
  t=$(bench_median unseen_bench "^BM_Estimate/$arg/" --benchmark_repetitions=15)
  printf 'one estimate, histogram %d: %s ms (ratio to 10 ms: %s)\n' "$arg" "$(calc "$t * 1000" 2)" "$(calc "$t * 100" 3)"
done
# The 100 estimates of a default schedule over the text tar, replayed on
# sampled histograms: deterministic CPU time, against the run's CPU time.
t=$(bench_median unseen_bench '^BM_ReportSchedule' --benchmark_repetitions=5)
printf 'default schedule, 100 estimates (text tar): %s ms = %s %% of the text run'"'"'s cpu (%s s)\n' \
  "$(calc "$t * 1000" 1)" "$(calc "100 * $t / ${cpuof[text.tar]}" 2)" "$(calc "${cpuof[text.tar]}")"
fi
# The two schedules run in turn, pair by pair, so that a drift of the
# machine's speed hits both alike; the ratio is the median of the pairs'.
paired() {
  python3 - "$runs" "$@" <<'EOF_PY'
import resource, statistics, subprocess, sys, time
runs = int(sys.argv[1]); cmds = sys.argv[2:]
split = cmds.index("--")
a, b = cmds[:split], cmds[split + 1:]
def one(cmd):
    r0 = resource.getrusage(resource.RUSAGE_CHILDREN); t0 = time.monotonic()
    subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    t1 = time.monotonic(); r1 = resource.getrusage(resource.RUSAGE_CHILDREN)
    return t1 - t0, r1.ru_utime - r0.ru_utime + r1.ru_stime - r0.ru_stime
one(a); one(b)  # warm-up
pairs = [(one(a), one(b)) for _ in range(runs)]
med = statistics.median
print("%.3f %.3f %.3f %.3f %.3f %.3f" % (
    med(p[0][0] for p in pairs), med(p[0][1] for p in pairs),
    med(p[1][0] for p in pairs), med(p[1][1] for p in pairs),
    med(p[0][0] / p[1][0] for p in pairs), med(p[0][1] / p[1][1] for p in pairs)))
EOF_PY
}
for name in text.tar bin.dat halfdup.dat; do
  read -r t1 c1 t100 c100 ratio cratio < <(paired "$pelko" -p "$data/$name" -t 2 -- \
    "$pelko" -p "$data/$name" -t 2 -r 100)
  printf '%-12s -r 1: %s s (cpu %s s), -r 100: %s s (cpu %s s), ratio %s (cpu %s)\n' "$name" \
    "$t1" "$c1" "$t100" "$c100" "$ratio" "$cratio"
done
echo

# ---------------------------------------------------------------------------
echo "== 5. plan memory (scan debug line)"
line=$("$pelko" -D -t 2 -p "$tree/plan" 2>/dev/null | grep -m1 'bytes/bucket' || true)
per_bucket=$(echo "$line" | sed -E 's/.*, ([0-9]+) bytes\/bucket.*/\1/')
echo "20,000 files of 1 MiB (1 slice per bucket): $line"
echo "1 TiB of 1 MiB files = 1,048,576 buckets: $(calc "$per_bucket * 1048576 / 2**20" 0) MiB of plan ($(calc "$per_bucket / 2**20 * 1e6" 1) ppm of the data)"
line=$("$pelko" -D -t 2 -c 4K -p "$tree/small" 2>/dev/null | grep -m1 'bytes/bucket' || true)
per_bucket=$(echo "$line" | sed -E 's/.*, ([0-9]+) bytes\/bucket.*/\1/')
echo "200,000 files of 4 KiB, -c 4K (256 slices per bucket): $line = $(calc "$per_bucket / 256" 0) bytes/slice"
echo

# ---------------------------------------------------------------------------
PELKO_PERF_DIR=$data bash "$src_dir/bench/configs_perf.sh" "$build_dir"
echo

# ---------------------------------------------------------------------------
if [ -z "$wine_exe" ]; then
echo "== micro benchmarks"
"$build_dir/crc_bench" --benchmark_filter='16384' 2>/dev/null | grep -E '^BM_'
"$build_dir/estimator_bench" --benchmark_filter='BM_(zero_test|lz4|map_update|memory_probe|add_chunk)' 2>/dev/null | grep -E '^BM_'
echo
fi
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
