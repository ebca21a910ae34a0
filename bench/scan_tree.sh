#!/usr/bin/env bash
# Scan of a big tree: the plan's memory per file and the scan rate against
# find, which stats every file as pelko's walk does.
#
#   bash bench/scan_tree.sh [path/to/pelko] [DIR] [N_FILES]
#
# DIR (default /tmp/pelko-tree) is used as it is when it exists; otherwise
# N_FILES (default 1000000) sparse 16 KiB files are made in it, 1000 per
# directory, and left there for the next run. The tree's metadata is cached
# by a first find; then find and pelko run in turn, three times each. pelko
# runs with -D (which prints the plan's memory growth per planned file) and
# --stop-at 1, so that its run is the scan plus a little reading. Prints the
# median wall times, their ratio, pelko's own scan rate and peak memory.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
PELKO=$(readlink -f "${1:-$ROOT/build/pelko}")
DIR=${2:-/tmp/pelko-tree}
N=${3:-1000000}
TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT

if [ ! -d "$DIR" ]; then
  mkdir -p "$DIR"
  python3 - "$DIR" "$N" <<'EOF'
import os, sys
root, n = sys.argv[1], int(sys.argv[2])
for i in range(n):
    d = os.path.join(root, "dir-%05d" % (i // 1000))
    if i % 1000 == 0:
        os.mkdir(d)
    fd = os.open(os.path.join(d, "file-%06d.dat" % i), os.O_CREAT | os.O_WRONLY, 0o644)
    os.ftruncate(fd, 16384)
    os.close(fd)
EOF
fi

now() { date +%s.%N; }
find "$DIR" -type f -printf '%s\n' >/dev/null  # metadata into the cache
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
: >"$TMP/times"
for run in 1 2 3; do
  t0=$(now)
  find "$DIR" -type f -printf '%s\n' >/dev/null
  t1=$(now)
  /usr/bin/time -o "$TMP/rss" -f '%M' "$PELKO" -p "$DIR" -D --stop-at 1 \
    -T 0 -M 0 -o "$TMP/report" >/dev/null 2>&1
  t2=$(now)
  echo "$t0 $t1 $t2 $(tail -n 1 "$TMP/rss")" >>"$TMP/times"
done
files=$(grep -m1 '^#planned files=' "$TMP/report")
scan=$(grep -m1 -o 'Scanned: .*files/s)' "$TMP/report")
python3 - "$TMP/times" "$files" "$scan" <<'EOF'
import statistics, sys
rows = [list(map(float, l.split())) for l in open(sys.argv[1])]
find = statistics.median(r[1] - r[0] for r in rows)
pelko = statistics.median(r[2] - r[1] for r in rows)
rss = max(r[3] for r in rows) / 1024
print(f"find: {find:.2f} s; pelko (scan and 1 % read): {pelko:.2f} s, "
      f"{find / pelko:.2f} of find's rate; peak RSS {rss:.1f} MiB")
print(f"pelko's scan line: {sys.argv[3]}")
print(f"plan: {sys.argv[2]}")
EOF
