#!/usr/bin/env bash
# Memory cap: with a memory limit below what a run would use, the dedupe map
# switches to its memory-saving mode, the process's peak resident memory
# stays within the limit plus MARGIN_KB, and the final dedupe ratio stays
# within 5 % of the exact ratio of the data.
#
# The data: 480,000 distinct 128-byte chunks, each present 1 to 4 times, and
# 400,000 all-zero chunks, in shuffled order over 8 files (~200 MiB). Its map
# costs ~8 MiB of the ~25 MiB an unlimited run peaks at; the limit is set
# 8 MiB below that peak, so the mode engages once the map holds some tens of
# thousands of checksums (about a tenth into the analysis here) and caps it
# from then on. The zero chunks, many to a bucket, make one checksum seen in
# every bucket: its counts, the histograms and what they hold per checksum
# must stay within the cap too.
#
# The margin covers what is not the map and comes and goes with timing: the
# readers' buckets in flight (more of them when the machine is busy and the
# analysis falls behind), the solver's work space while a row is computed, and
# the allocator's free memory it keeps. Seen: 0.6-1.3 MiB over the limit on an
# idle machine, up to 2.8 MiB under a parallel test run. A map that did not
# stop growing would end near the unlimited peak, 8 MiB above the limit.
source "$(dirname "$0")/lib.sh" "$@"
PELKO=$(readlink -f "$PELKO")
REF=${PELKO_REFERENCE:-$(dirname "$PELKO")/pelko_reference}
MARGIN_KB=4096

python3 - "$TMP/data" <<'EOF'
import os, random, sys
out, n_distinct, cs = sys.argv[1], 480000, 128
rng = random.Random(11)
os.makedirs(out)
blob = rng.randbytes(n_distinct * cs)
order = [i for i in range(n_distinct) for _ in range(rng.randint(1, 4))]
order += [-1] * 400000
rng.shuffle(order)
zero = bytes(cs)
n_files = 8
per = len(order) // n_files
for f in range(n_files):
    part = order[f * per:(f + 1) * per] if f < n_files - 1 else order[f * per:]
    with open(os.path.join(out, "f%d" % f), "wb") as fh:
        fh.write(b"".join(blob[i * cs:(i + 1) * cs] if i >= 0 else zero
                          for i in part))
        fh.write(b"tail")
EOF

# The exact ratio of the data.
want=$("$REF" 128 "$TMP/data" | sed -n 's/^all dedupe=\([^ ]*\).*/\1/p')
[ -n "$want" ] || { _fail "reference gave no ratio"; finish; }

# run_rss ARGS...: runs pelko; the child's peak resident set (KiB) in $PEAK.
run_rss() {
  RC=0
  /usr/bin/time -o "$TMP/rss" -f %M "$PELKO" "$@" >"$TMP/out" 2>"$TMP/err" || RC=$?
  PEAK=$(tail -n 1 "$TMP/rss")
}

# dedupe_of ROW: the DEDUPE figure of a report-file row.
dedupe_of() {
  tr '\t' '\n' <<<"$1" | sed '/^$/d' | awk 'm { n++; if (n == 2) print; next } /GiB$/ { m = 1 }'
}

# within LABEL GOT WANT PERCENT
within() {
  if ! awk -v g="$2" -v w="$3" -v p="$4" \
       'BEGIN { d = g - w; if (d < 0) d = -d; exit !(g != "" && d <= w * p / 100) }'; then
    _fail "$1: got $2, want $3 within $4 %"
  fi
}

# Unlimited: no warning, exact ratio.
run_rss -p "$TMP/data" -c 128 -M 0 -o "$TMP/report0"
expect_status "unlimited" 0
peak0=$PEAK
case "$(cat "$TMP/report0")" in
  *"Memory limit reached"*) _fail "unlimited: memory-saving mode engaged" ;;
esac
within "unlimited: dedupe" "$(dedupe_of "$(final_row "$TMP/report0")")" "$want" 0.1

limit=$((peak0 - 8192))
run_rss -p "$TMP/data" -c 128 -M "${limit}K" -o "$TMP/report1"
expect_status "limited" 0
rep=$(cat "$TMP/report1")
expect_contains "limited: mode engaged" "WARNING: Memory limit reached." "$rep"
expect_contains "limited: complete" "(100.000%)" "$(final_row "$TMP/report1")"
echo "peak RSS: unlimited ${peak0} KiB, limit ${limit} KiB, limited ${PEAK} KiB"
if [ "$PEAK" -gt $((limit + MARGIN_KB)) ]; then
  _fail "limited: peak RSS $PEAK KiB above limit $limit KiB + $MARGIN_KB KiB"
fi
got=$(dedupe_of "$(final_row "$TMP/report1")")
echo "dedupe: exact $want, limited run $got"
within "limited: dedupe" "$got" "$want" 5

# With --by the map's entries also hold the labels: the cap holds for them
# too, and the table says it is a sample.
run_rss -p "$TMP/data" -c 128 -M 0 --by root -o "$TMP/report2"
expect_status "unlimited, by root" 0
peak2=$PEAK
by_bytes=$(( (peak2 - peak0) * 1024 / 480000 ))
echo "peak RSS with --by: ${peak2} KiB (${by_bytes} bytes more per distinct chunk)"
# About 12 bytes are expected (a fatter slot of the one map); a second map of
# the labels beside it costs 22.
if [ "$by_bytes" -gt 17 ]; then
  _fail "by root: ${by_bytes} bytes more per distinct chunk, expected at most 17"
fi
expect_contains "unlimited, by root: exact" "BREAKDOWN by root: exact" "$(cat "$TMP/report2")"
limit=$((peak2 - 8192))
run_rss -p "$TMP/data" -c 128 -M "${limit}K" --by root -o "$TMP/report3"
expect_status "limited, by root" 0
expect_contains "limited, by root: mode engaged" "WARNING: Memory limit reached." "$(cat "$TMP/report3")"
expect_contains "limited, by root: a sample" "BREAKDOWN by root: sample figures" "$(cat "$TMP/report3")"
if [ "$PEAK" -gt $((limit + MARGIN_KB)) ]; then
  _fail "limited, by root: peak RSS $PEAK KiB above limit $limit KiB + $MARGIN_KB KiB"
fi

finish
