#!/usr/bin/env bash
# How closely --max-rate holds: the mean reading rate of whole runs of at
# least 10 s against the limit.
#
#   bash bench/rate_limit.sh [path/to/pelko] [RATE...]
#
# RATEs (default 8M 32M 96M) take size suffixes as -c does. For each, pelko
# reads a cached file sized for about 14 s at that rate while this script
# samples the bytes the process has read (rchar of /proc/PID/io) every
# 0.2 s. The rate is measured from the first sample after the analysis has
# begun (the first report row) to the last sample before reading ended,
# which must lie at least 10 s apart, and printed with its deviation from
# the limit. A rate above what the machine can analyse cannot be reached;
# the script says so when the deviation is negative and large.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
PELKO=$(readlink -f "${1:-$ROOT/build/pelko}")
shift || true
RATES=("$@")
[ ${#RATES[@]} -gt 0 ] || RATES=(8M 32M 96M)
TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT

bytes_of() {  # bytes_of SIZE: a size argument in bytes
  python3 -c 'import sys
s = sys.argv[1]; m = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}
print(int(float(s[:-1]) * m[s[-1].upper()]) if s[-1].upper() in m else int(float(s)))' "$1"
}

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
for rate in "${RATES[@]}"; do
  limit=$(bytes_of "$rate")
  # About 14 s of reading, in whole MiB.
  size_mb=$(( (limit * 14 + (1 << 20) - 1) >> 20 ))
  head -c "${size_mb}M" /dev/urandom >"$TMP/data"
  cat "$TMP/data" >/dev/null  # cached: the limit, not the disk, sets the pace
  "$PELKO" -p "$TMP/data" --max-rate "$rate" -o "$TMP/report" \
    >/dev/null 2>&1 &
  pid=$!
  : >"$TMP/samples"
  while kill -0 $pid 2>/dev/null; do
    rchar=$(awk '/^rchar:/ { print $2 }' /proc/$pid/io 2>/dev/null || true)
    [ -n "$rchar" ] && echo "$(date +%s.%N) $rchar $(grep -c -a -E '^[0-9]+s\.'$'\t' "$TMP/report" 2>/dev/null || echo 0)" \
      >>"$TMP/samples"
    sleep 0.2
  done
  wait $pid
  # Samples once the first row was out, while the count still grew.
  awk -v limit="$limit" -v rate="$rate" 'BEGIN { n = 0 }
    $3 > 0 { t[n] = $1; b[n] = $2; n++ }
    END {
      last = n - 1
      while (last > 0 && b[last] == b[last - 1]) last--
      if (last < 1) { print rate ": too few samples"; exit 1 }
      secs = t[last] - t[0]; got = (b[last] - b[0]) / secs
      printf "--max-rate %s (%d bytes/s): %.1f s measured, mean %.0f bytes/s, %+.2f %% from the limit%s\n",
        rate, limit, secs, got, (got / limit - 1) * 100,
        secs < 10 ? " (SHORTER THAN 10 s)" : ""
    }' "$TMP/samples"
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
