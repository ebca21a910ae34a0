#!/usr/bin/env bash
# How often the --by table of a stopped run holds each label's truth: on a
# tree of four directories (copies of one file, random data, zeros, text),
# runs stopped at 10, 20 and 50 % with seeds 1..N; for every label and
# figure (zeros, compress, dedupe) the share of runs whose [low, high]
# holds the complete run's figure, and the median width of the range.
#
#   bench/breakdown_coverage.sh [pelko] [runs per stop, default 40]
#
# Environment: PELKO_COVERAGE_DIR (the tree, default /tmp/pelko_by_cov; kept).
set -euo pipefail

pelko=${1:-build/pelko}
runs=${2:-40}
dir=${PELKO_COVERAGE_DIR:-/tmp/pelko_by_cov}
tree=$dir/tree
if [ ! -d "$tree" ]; then
  mkdir -p "$tree/copies" "$tree/random" "$tree/zeros" "$tree/text"
  head -c 4M /dev/urandom >"$tree/copies/a1"
  for i in 2 3 4; do cp "$tree/copies/a1" "$tree/copies/a$i"; done
  head -c 8M /dev/urandom >"$tree/random/r"
  head -c 4M /dev/zero >"$tree/zeros/z"
  python3 - "$tree/text/t" <<'EOF'
import random, sys
rng = random.Random(5)
words = "the of and a to in is you that it he was for on are as with his they".split()
with open(sys.argv[1], "w") as f:
    n = 0
    while n < 4 << 20:
        line = " ".join(rng.choice(words) for _ in range(rng.randint(4, 14))) + "\n"
        f.write(line)
        n += len(line)
EOF
  truncate -s 4M "$tree/text/t"
fi

"$pelko" -p "$tree" -c 4K --by dir --json "$dir/truth.json" >/dev/null
for stop in 10 20 50; do
  for seed in $(seq 1 "$runs"); do
    "$pelko" -p "$tree" -c 4K --by dir --stop-at "$stop" --seed "$seed" \
      --json "$dir/s$stop.$seed.json" >/dev/null
  done
done

python3 - "$dir" "$runs" <<'EOF'
import json, statistics, sys
d, runs = sys.argv[1], int(sys.argv[2])
def table(path):
    for l in open(path):
        j = json.loads(l)
        if j["type"] == "breakdown":
            return {x["label"]: x for x in j["labels"]}
truth = table(d + "/truth.json")
print("%-28s %-9s %5s %9s %13s" % ("label", "figure", "stop", "coverage", "median width"))
for label in sorted(truth):
    for fig in ("zeros", "compress", "dedupe"):
        t = truth[label][fig]
        if t is None:
            continue
        for stop in (10, 20, 50):
            held, widths = 0, []
            for seed in range(1, runs + 1):
                r = table("%s/s%d.%d.json" % (d, stop, seed))[label]
                lo, hi = r[fig + "_low"], r[fig + "_high"]
                if lo is None or hi is None:
                    continue
                widths.append(hi - lo)
                if lo - 1e-9 <= t <= hi + 1e-9:
                    held += 1
            name = label.split("/")[-1]
            print("%-28s %-9s %4d%% %8.0f%% %13.4f" % (
                name, fig, stop, 100.0 * held / runs,
                statistics.median(widths) if widths else float("nan")))
EOF
