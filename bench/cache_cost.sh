#!/usr/bin/env bash
# What leaving the page cache as it was costs: whole runs by default and with
# --keep-cache, in turn, on the same data cached and not cached.
#
#   bash bench/cache_cost.sh [path/to/pelko]
#
# The data (PELKO_CACHE_DIR, default /tmp/pelko_cache_bench; kept between
# runs) is 512 MiB of random bytes and 512 MiB of text from /usr/share, two
# files. Before each run of the "cached" case both files are read in full;
# before each run of the "uncached" case they are dropped from the cache
# (POSIX_FADV_DONTNEED). Each case runs ROUNDS times (PELKO_CACHE_ROUNDS,
# default 7), default and --keep-cache alternating, and prints the median
# wall-clock and CPU seconds of each and the cost: default / --keep-cache - 1.
# It also prints how much of the data each mode leaves cached (fincore).
# Wall-clock figures mean little on a loaded machine: the load average is
# printed before and after.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
PELKO=$(readlink -f "${1:-$ROOT/build/pelko}")
DIR=${PELKO_CACHE_DIR:-/tmp/pelko_cache_bench}
ROUNDS=${PELKO_CACHE_ROUNDS:-7}
SIZE_MB=512

mkdir -p "$DIR"
if [ ! -s "$DIR/random" ]; then
  head -c "${SIZE_MB}M" /dev/urandom >"$DIR/random"
fi
if [ ! -s "$DIR/text" ]; then
  # Text files of this machine, repeated until the size is reached.
  find /usr/share -type f -size +8k \( -name '*.txt' -o -name '*.html' \
    -o -name '*.py' -o -name '*.pl' -o -name '*.h' -o -name '*.xml' \) \
    -print0 2>/dev/null | head -z -n 4000 | xargs -0 cat >"$DIR/text.part" || true
  while [ "$(stat -c %s "$DIR/text.part")" -lt $((SIZE_MB << 20)) ]; do
    cat "$DIR/text.part" "$DIR/text.part" >"$DIR/text.more"
    mv "$DIR/text.more" "$DIR/text.part"
  done
  head -c "${SIZE_MB}M" "$DIR/text.part" >"$DIR/text"
  rm -f "$DIR/text.part"
fi
sync "$DIR/random" "$DIR/text"
FILES=("$DIR/random" "$DIR/text")

cache_all() { cat "${FILES[@]}" >/dev/null; }
drop_all() {
  python3 -c 'import os, sys
for p in sys.argv[1:]:
    fd = os.open(p, os.O_RDONLY)
    os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    os.close(fd)' "${FILES[@]}"
}
# Bytes of the data in the page cache.
cached_bytes() {
  fincore --bytes --noheadings --output RES "${FILES[@]}" | awk '{ s += $1 } END { print s + 0 }'
}

# run MODE: one whole run; appends "wall cpu" to $TMPF.MODE.
run() {
  local mode=$1 args=()
  [ "$mode" = keep ] && args=(--keep-cache)
  /usr/bin/time -f '%e %U %S' -o "$TMPF.t" "$PELKO" -p "$DIR/random" -p "$DIR/text" \
    -t 2 "${args[@]}" >/dev/null
  awk '{ printf "%s %.2f\n", $1, $2 + $3 }' "$TMPF.t" >>"$TMPF.$mode"
}

median() { sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }

TMPF=$(mktemp)
trap 'rm -f "$TMPF" "$TMPF".*' EXIT
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "data: $(du -sh "$DIR" | cut -f1) in ${#FILES[@]} files; $ROUNDS rounds per case"
for case in cached uncached; do
  rm -f "$TMPF.default" "$TMPF.keep"
  left_default=0 left_keep=0
  for _ in $(seq "$ROUNDS"); do
    for mode in default keep; do
      if [ $case = cached ]; then cache_all; else drop_all; fi
      run $mode
      if [ $mode = default ]; then left_default=$(cached_bytes); else left_keep=$(cached_bytes); fi
    done
  done
  wd=$(cut -d' ' -f1 "$TMPF.default" | median); wk=$(cut -d' ' -f1 "$TMPF.keep" | median)
  cd_=$(cut -d' ' -f2 "$TMPF.default" | median); ck=$(cut -d' ' -f2 "$TMPF.keep" | median)
  total=$(cat "${FILES[@]}" | wc -c)
  if [ $case = uncached ]; then cache_all; fi
  awk -v c=$case -v wd="$wd" -v wk="$wk" -v cd="$cd_" -v ck="$ck" \
      -v ld="$left_default" -v lk="$left_keep" -v t="$total" 'BEGIN {
    printf "%-8s wall: default %.2f s, --keep-cache %.2f s, cost %+.1f %%; ", c, wd, wk, (wd / wk - 1) * 100
    printf "cpu: %.2f s vs %.2f s, cost %+.1f %%\n", cd, ck, (cd / ck - 1) * 100
    printf "         left cached after a run: default %.1f %%, --keep-cache %.1f %% of the data\n", 100 * ld / t, 100 * lk / t }'
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
