#!/usr/bin/env bash
# What the bucket size chosen for small inputs costs: whole runs with the
# chosen size and with -b 1M, in turn, on the same data cached and not
# cached, and the ratio of their median wall-clock times.
#
#   bash bench/bucket_cost.sh [path/to/pelko ...]
#
# The data (PELKO_BUCKET_DIR, default /tmp/pelko_bucket_bench; kept between
# runs): "small", 300 MiB of files of 1 to 128 KiB, half text, half random
# bytes (16 KiB buckets are chosen for it), and "big", a file of 1 GiB of
# random bytes (64 KiB buckets). Before each uncached run the data is dropped
# from the page cache (POSIX_FADV_DONTNEED; the files' metadata stays
# cached), before each cached one it is read in full. Each case runs ROUNDS
# times (PELKO_BUCKET_ROUNDS, default 7). With several binaries, each round
# runs each of them in turn, so that their figures are measured side by
# side. Wall-clock figures mean little on a loaded machine: the load
# average is printed before and after.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
[ $# -eq 0 ] && set -- "$ROOT/build/pelko"
DIR=${PELKO_BUCKET_DIR:-/tmp/pelko_bucket_bench}
ROUNDS=${PELKO_BUCKET_ROUNDS:-7}

mkdir -p "$DIR"
if [ ! -e "$DIR/small/.complete" ]; then
  rm -rf "$DIR/small"
  python3 - "$DIR/small" <<'EOF'
import os, random, sys
root = sys.argv[1]
rng = random.Random(1)
text = b"".join(open(p, "rb").read() for p in
                ["/usr/share/common-licenses/GPL-3", "/usr/share/common-licenses/Apache-2.0"]
                if os.path.exists(p)) or b"pelko " * 1000
total, i = 0, 0
while total < 300 << 20:
    n = rng.randint(1, 128) * 1024 - rng.randint(0, 1023)
    d = os.path.join(root, "%03d" % (i // 1000))
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "f%06d" % i), "wb") as f:
        f.write(os.urandom(n) if i % 2 else (text * (n // len(text) + 1))[:n])
    total += n
    i += 1
open(os.path.join(root, ".complete"), "w").close()
EOF
fi
[ -s "$DIR/big" ] || head -c 1G /dev/urandom >"$DIR/big"
sync

# drop|cache PATH: the data of PATH out of the page cache, or into it.
pagecache() {
  python3 - "$@" <<'EOF'
import os, sys
mode, root = sys.argv[1], sys.argv[2]
paths = [root] if os.path.isfile(root) else [
    os.path.join(d, f) for d, _, fs in os.walk(root) for f in fs]
for p in paths:
    fd = os.open(p, os.O_RDONLY)
    if mode == "drop":
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    else:
        while os.read(fd, 1 << 20):
            pass
    os.close(fd)
EOF
}

median() { sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }

TMPF=$(mktemp)
trap 'rm -f "$TMPF" "$TMPF".*' EXIT
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "$ROUNDS rounds per case; wall-clock medians in seconds"
for input in small big; do
  for case in cached uncached; do
    rm -f "$TMPF".*
    for _ in $(seq "$ROUNDS"); do
      for b in $(seq $#); do
        for size in chosen 1M; do
          args=()
          [ $size = 1M ] && args=(-b 1M)
          if [ $case = cached ]; then pagecache cache "$DIR/$input"; else pagecache drop "$DIR/$input"; fi
          /usr/bin/time -f '%e' -o "$TMPF.t" "${!b}" -p "$DIR/$input" "${args[@]}" >/dev/null
          cat "$TMPF.t" >>"$TMPF.$b.$size"
        done
      done
    done
    for b in $(seq $#); do
      wc_=$(median <"$TMPF.$b.chosen"); w1=$(median <"$TMPF.$b.1M")
      awk -v i=$input -v c=$case -v p="${!b}" -v a="$wc_" -v m="$w1" 'BEGIN {
        printf "%-5s %-8s chosen %.2f  -b 1M %.2f  ratio %.2f  (%s)\n", i, c, a, m, a / m, p }'
    done
  done
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
