#!/usr/bin/env bash
# Times the scan phase against `find DIR -type f | wc -l` and the sample
# reader against `cat FILES > /dev/null`, on the same cached files.
#
#   bench/scan_reader.sh [build-dir]     (default: build-bench)
#
# Trees (kept between runs, remove them by hand):
#   $PELKO_BENCH_TREE/small  200 directories x 1000 files of 4 KiB (800 MiB)
#   $PELKO_BENCH_TREE/large  16 files of 64 MiB (1 GiB)
# PELKO_BENCH_TREE defaults to /tmp/pelko_bench_tree.
# Ratios: scan = find time / scan time, reader = reader throughput / cat
# throughput; 1 or more means pelko is at least as fast.
set -euo pipefail

src_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${1:-$src_dir/build-bench}
tree=${PELKO_BENCH_TREE:-/tmp/pelko_bench_tree}
bench=$build_dir/scan_reader_bench

if [ ! -x "$bench" ]; then
  cmake -S "$src_dir" -B "$build_dir" -DPELKO_BUILD_BENCHMARKS=ON >/dev/null
  cmake --build "$build_dir" -j2 --target scan_reader_bench >/dev/null
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

# Best wall time of 5 runs of a shell command, in seconds.
best_of_5() {
  local best="" t0 t1 t
  for _ in 1 2 3 4 5; do
    t0=$(date +%s.%N)
    bash -c "$1" >/dev/null
    t1=$(date +%s.%N)
    t=$(echo "$t1 - $t0" | bc -l)
    if [ -z "$best" ] || [ "$(echo "$t < $best" | bc -l)" = 1 ]; then best=$t; fi
  done
  echo "$best"
}

# Best wall time in seconds of one benchmark (name/threads).
bench_time() {
  local dir=$1 chunk=$2 name=$3
  PELKO_BENCH_DIR=$dir PELKO_BENCH_CHUNK=$chunk "$bench" \
    --benchmark_filter="^$name/" --benchmark_format=json 2>/dev/null |
    python3 -c '
import json, sys
runs = [b for b in json.load(sys.stdin)["benchmarks"] if b.get("run_type") == "iteration"]
scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}
print(min(b["real_time"] * scale[b["time_unit"]] for b in runs))'
}

ratio() { echo "scale=2; $1 / $2" | bc -l; }

small=$tree/small
large=$tree/large
list=$(mktemp)
trap 'rm -f "$list"' EXIT
find "$small" -type f ! -name .complete -print0 >"$list"

# Warm the caches.
find "$small" -type f | wc -l >/dev/null
xargs -0 -a "$list" cat >/dev/null
cat "$large"/f* >/dev/null

echo "== scan: $(tr -cd '\0' <"$list" | wc -c) files under $small"
t_find=$(best_of_5 "find '$small' -type f | wc -l")
printf '%-32s %8.3f s\n' "find DIR -type f | wc -l" "$t_find"
# find reads the kind from the directory entry and never stats a file; the
# scan needs each file's size. The same walk with one stat per file:
t_find_stat=$(best_of_5 "find '$small' -type f -size +0 | wc -l")
printf '%-32s %8.3f s\n' "find DIR -type f -size +0 | wc -l" "$t_find_stat"
for n in 1 2 4; do
  t=$(bench_time "$small" 4096 "BM_Scan/$n")
  printf '%-32s %8.3f s   find/scan = %s, find -size/scan = %s\n' \
    "pelko scan, $n threads" "$t" "$(ratio "$t_find" "$t")" \
    "$(ratio "$t_find_stat" "$t")"
done

echo "== reader: the same small files, 4 KiB chunks"
t_cat=$(best_of_5 "xargs -0 -a '$list' cat")
printf '%-32s %8.3f s\n' "cat FILES > /dev/null" "$t_cat"
for n in 1 2 4; do
  t=$(bench_time "$small" 4096 "BM_Read/$n")
  printf '%-32s %8.3f s   reader/cat throughput = %s\n' \
    "pelko reader, $n threads" "$t" "$(ratio "$t_cat" "$t")"
done

echo "== reader: 16 files of 64 MiB, 16 KiB chunks, 1 MiB buckets"
t_cat=$(best_of_5 "cat '$large'/f*")
printf '%-32s %8.3f s\n' "cat FILES > /dev/null" "$t_cat"
for n in 1 2 4; do
  t=$(bench_time "$large" 16384 "BM_Read/$n")
  printf '%-32s %8.3f s   reader/cat throughput = %s\n' \
    "pelko reader, $n threads" "$t" "$(ratio "$t_cat" "$t")"
done
