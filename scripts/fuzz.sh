#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on) and runs each for a bounded time. Fails on
# any crash, leak or sanitizer report.
#
#   bash scripts/fuzz.sh [SECONDS_PER_TARGET]      (default 30)
#
# The build directory is build-fuzz/ unless PELKO_FUZZ_BUILD_DIR names
# another. Corpora grow in $PELKO_FUZZ_BUILD_DIR/corpus/<target>.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
SECS=${1:-30}
BUILD=${PELKO_FUZZ_BUILD_DIR:-$ROOT/build-fuzz}
JOBS=$(nproc 2>/dev/null || echo 2)

CC=clang CXX=clang++ cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPELKO_BUILD_FUZZERS=ON -DPELKO_BUILD_TESTS=OFF -DPELKO_SANITIZE=address,undefined >/dev/null
cmake --build "$BUILD" -j "$JOBS"

export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1

# Seeds and a dictionary for the command line: arguments are NUL-separated.
corpus() {
  local dir="$BUILD/corpus/$1"
  mkdir -p "$dir"
  case $1 in
    options_fuzz)
      printf -- '-p\0/tmp\0-c\0008K\0-M\0001.5G' >"$dir/seed_basic"
      printf -- '--path=/x\0-e\0no-dedupe\0-e\0no-compress\0-DD\0-A\0000.5' >"$dir/seed_modes"
      printf -- '-hV\0-t\0999999999999\0-r\0-1' >"$dir/seed_errors"
      printf -- '--merge\0a.pex\0b.pex\0-o\0r.txt' >"$dir/seed_merge" ;;
    strsize_fuzz)
      printf '16K' >"$dir/seed_k"
      printf '1.5T' >"$dir/seed_t"
      printf -- '-3e400M' >"$dir/seed_huge" ;;
    sample_file_fuzz)
      # Real exports of a small data set: duplicates, zeros, both widths.
      local data="$BUILD/corpus/data"
      mkdir -p "$data"
      head -c 40960 /dev/urandom >"$data/a"
      cat "$data/a" "$data/a" >"$data/b"
      head -c 8192 /dev/zero >"$data/z"
      "$BUILD/pelko" -p "$data" -c 4K -b 8K -t 1 --export "$dir/seed_all" >/dev/null
      "$BUILD/pelko" -p "$data" -c 4K -b 8K -t 1 --fingerprint 64 --stop-at 50 \
        -e no-compress --export "$dir/seed_64" >/dev/null
      # Crafted exports a hostile host could send, and pairs of exports one
      # after the other (the target merges them).
      python3 "$ROOT/tests/cli/craft_export.py" "$BUILD/corpus/crafted"
      python3 "$ROOT/tests/cli/craft_export.py" --sound "$BUILD/corpus/crafted" 2 8
      for f in "$BUILD"/corpus/crafted/*.pex; do cp "$f" "$dir/crafted_$(basename "$f" .pex)"; done
      cat "$dir/seed_all" "$dir/seed_all" >"$dir/pair_same"
      cat "$BUILD/corpus/crafted/sound_0.pex" "$BUILD/corpus/crafted/sound_1.pex" >"$dir/pair_sound"
      cat "$BUILD/corpus/crafted/escapes.pex" "$BUILD/corpus/crafted/sound_0.pex" >"$dir/pair_escapes" ;;
  esac
  echo "$dir"
}

cat >"$BUILD/options.dict" <<'EOF'
sep="\x00"
p="-p"
path="--path="
c="-c"
chunk="--chunk_size"
b="-b"
e="-e"
all="all"
dedupe="dedupe"
nodedupe="no-dedupe"
compress="compress"
nocompress="no-compress"
zeros="no-dedupe-zeros"
r="-r"
t="-t"
T="-T"
M="-M"
o="-o"
A="-A"
D="-D"
debug="--debug="
h="-h"
V="-V"
dashdash="--"
K="K"
G="G"
big="1e308"
neg="-1"
nan="nan"
inf="inf"
EOF

status=0
for target in "$BUILD"/*_fuzz; do
  [ -x "$target" ] || continue
  name=$(basename "$target")
  dict=()
  [ "$name" = options_fuzz ] && dict=(-dict="$BUILD/options.dict")
  echo "== $name: ${SECS}s"
  log="$BUILD/$name.log"
  # A finding is written beside the logs, not into the directory run from.
  if ! "$target" -max_total_time="$SECS" -timeout=10 -rss_limit_mb=2048 \
       -artifact_prefix="$BUILD/" -print_final_stats=1 "${dict[@]}" "$(corpus "$name")" >"$log" 2>&1; then
    echo "FAIL: $name (log: $log)"
    grep -E -A 30 'ERROR|runtime error|Assertion|deadly signal' "$log" | head -n 60 || tail -n 40 "$log"
    status=1
    continue
  fi
  # A sanitizer report that did not end the process still counts.
  if grep -q -E 'runtime error|ERROR: (Address|Leak|Undefined)Sanitizer' "$log"; then
    echo "FAIL: $name: sanitizer report (log: $log)"
    grep -E -A 20 'runtime error|ERROR: ' "$log" | head -n 40
    status=1
    continue
  fi
  grep -E '^Done [0-9]+ runs|stat::(number_of_executed_units|new_units_added)' "$log" || true
done
exit $status
