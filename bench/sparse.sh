#!/usr/bin/env bash
# Peak memory and throughput on a big, mostly empty input: a sparse file (all
# zero chunks, as a thin-provisioned LUN that was never written), read to the
# end with -t 2, against cat of the same input in the same run.
#
#   bash bench/sparse.sh [path/to/pelko] [SIZE] [DIR]
#
# SIZE (default 1T) is passed to truncate; DIR (default /tmp) holds the file,
# which takes no space. Where losetup can attach a read-only loop device, the
# same pair of runs is made on the device too (attached with direct I/O, so
# that the loop driver does not cache the file's pages a second time).
# Prints, per input, the wall time and rate of cat and of pelko, their ratio,
# and pelko's peak resident memory.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
PELKO=$(readlink -f "${1:-$ROOT/build/pelko}")
SIZE=${2:-1T}
DIR=${3:-/tmp}
TMP=$(mktemp -d "$DIR/sparse.XXXXXX")
LOOP=
cleanup() {
  [ -n "$LOOP" ] && losetup -d "$LOOP" 2>/dev/null
  rm -rf "$TMP"
}
trap cleanup EXIT

truncate -s "$SIZE" "$TMP/sparse"
bytes=$(stat -c %s "$TMP/sparse")

now() { date +%s.%N; }
measure() {  # measure INPUT LABEL
  local input=$1 label=$2 t0 t1 t2 rss
  t0=$(now)
  cat "$input" >/dev/null
  t1=$(now)
  /usr/bin/time -o "$TMP/rss" -f '%M' "$PELKO" -p "$input" -t 2 -T 0 -M 0 \
    -o "$TMP/report" >/dev/null 2>&1
  rss=$(tail -n 1 "$TMP/rss")
  t2=$(now)
  python3 - "$label" "$bytes" "$t0" "$t1" "$t2" "$rss" <<'EOF'
import sys
label, n, t0, t1, t2, rss = sys.argv[1], int(sys.argv[2]), *map(float, sys.argv[3:6]), int(sys.argv[6])
cat, pelko = t1 - t0, t2 - t1
gib = 1 << 30
print(f"{label}: {n / gib:.0f} GiB; cat {cat:.1f} s ({n / gib / cat:.2f} GiB/s); "
      f"pelko -t 2 {pelko:.1f} s ({n / gib / pelko:.2f} GiB/s, "
      f"{cat / pelko:.2f} of cat); peak RSS {rss / 1024:.1f} MiB")
EOF
  tail -n 3 "$TMP/report" | sed 's/^/    /'
}

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
measure "$TMP/sparse" "sparse file"
if LOOP=$(losetup -r --direct-io=on -f --show "$TMP/sparse" 2>/dev/null); then
  measure "$LOOP" "loop device"
else
  LOOP=
  echo "loop device: losetup could not attach one here; skipped"
fi
