#!/usr/bin/env bash
# The cost of several configurations in one read, side by side in one run
# on page-cached data (-t 2): one chunk size with LZ4 (4K, the unit the
# several sizes are read in, and 16K, the default), five sizes with LZ4,
# and five sizes with three compressors, the commands run in turn round by
# round so that a drift of the machine's speed hits them alike; the same
# two without compression (-e dedupe) tell the checksums, zero tests and
# maps from the compressors. Wall
# seconds (medians) and user + system seconds (means) of whole runs, their
# ratios to the 4K run, and the peak resident memory per distinct
# fingerprint per size on random data (every chunk of every size
# distinct). Section 6 of bench/perf.sh; runs on its own too:
#
#   bench/configs_perf.sh [build-dir]         (default: build-bench)
#
# Environment: PELKO_PERF_DIR (data, default /tmp/pelko_perf; kept between
# runs), PELKO_PERF_CONFIG_ROUNDS (rounds, default 3). About 2 GiB of disk
# and of page cache.
set -euo pipefail

src_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${1:-$src_dir/build-bench}
data=${PELKO_PERF_DIR:-/tmp/pelko_perf}
rounds=${PELKO_PERF_CONFIG_ROUNDS:-3}
pelko=$build_dir/pelko
[ -x "$pelko" ] || {
  cmake -S "$src_dir" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build_dir" -j2 --target pelko >/dev/null
}

mkdir -p "$data"
# Text and binaries of this machine, 1 GiB.
if [ ! -s "$data/configs.tar" ]; then
  echo "creating $data/configs.tar" >&2
  (cd / && tar cf - usr/include usr/share/doc usr/lib/x86_64-linux-gnu usr/bin \
    2>/dev/null | head -c $((1 << 30)) >"$data/configs.tar") || true
fi
if [ ! -s "$data/configs_random.dat" ]; then
  echo "creating $data/configs_random.dat" >&2
  head -c $((512 << 20)) /dev/urandom >"$data/configs_random.dat"
fi
cat "$data/configs.tar" "$data/configs_random.dat" >/dev/null

sizes=4K,8K,16K,32K,64K
codecs=lz4,zstd:1,zstd:3
echo "== 6. several configurations in one read (-t 2, cached; goals: 5 sizes <= 1.5 x one, 5 x 3 <= 2 x one; <= 32 B per fingerprint per size)"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
python3 - "$rounds" "$pelko" "$data/configs.tar" "$sizes" "$codecs" <<'EOF'
import resource, statistics, subprocess, sys, time
rounds, pelko, f, sizes, codecs = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5]
cmds = [
    ("-c 4K", ["-c", "4K"]),
    ("-c 16K", ["-c", "16K"]),
    ("5 sizes, lz4", ["--chunk-sizes", sizes]),
    ("5 sizes x 3", ["--chunk-sizes", sizes, "--compressors", codecs]),
    # Where the time goes: the same without compression.
    ("-c 4K, dedupe", ["-c", "4K", "-e", "dedupe"]),
    ("5 sizes, dedupe", ["--chunk-sizes", sizes, "-e", "dedupe"]),
]
def run(args):
    r0 = resource.getrusage(resource.RUSAGE_CHILDREN); t0 = time.monotonic()
    subprocess.run([pelko, "-p", f, "-t", "2"] + args, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=True)
    t1 = time.monotonic(); r1 = resource.getrusage(resource.RUSAGE_CHILDREN)
    return t1 - t0, r1.ru_utime - r0.ru_utime + r1.ru_stime - r0.ru_stime
run(cmds[0][1])  # warm-up
wall = {n: [] for n, _ in cmds}
cpu = {n: [] for n, _ in cmds}
for _ in range(rounds):
    for n, a in cmds:
        w, c = run(a)
        wall[n].append(w); cpu[n].append(c)
w0 = statistics.median(wall["-c 4K"]); c0 = statistics.mean(cpu["-c 4K"])
print("%-14s %8s %8s %9s %9s" % ("run", "wall s", "x 4K", "cpu s", "x 4K"))
for n, _ in cmds:
    w = statistics.median(wall[n]); c = statistics.mean(cpu[n])
    print("%-14s %8.2f %8.2f %9.2f %9.2f" % (n, w, w / w0, c, c / c0))
EOF
# Memory: peak resident size over random data, five sizes against one, per
# distinct fingerprint the four larger sizes add.
rss() { /usr/bin/time -f %M "$pelko" -p "$data/configs_random.dat" -t 2 "$@" 2>&1 >/dev/null | tail -n 1; }
one=$(rss -c 4K -e dedupe)
five=$(rss --chunk-sizes $sizes -e dedupe)
n=$(( (512 << 20) / 8192 + (512 << 20) / 16384 + (512 << 20) / 32768 + (512 << 20) / 65536 ))
echo "peak resident: -c 4K $one KiB, 5 sizes $five KiB: $(python3 -c "print(format(($five - $one) * 1024 / $n, '.1f'))") B per fingerprint of the 4 larger sizes ($n)"
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
