#!/usr/bin/env bash
# The page cache after a run, as fincore (util-linux) sees it: data that was
# not cached is not cached afterwards, data that was cached stays cached, a
# file cached in part keeps exactly that part, and --keep-cache leaves what
# it read cached. Files hold whole chunks only (a file's tail is never read).
source "$(dirname "$0")/lib.sh" "$@"

if ! command -v fincore >/dev/null; then
  echo "SKIP: fincore not found"
  finish
fi

D="$TMP/data"
mkdir -p "$D/sub"
head -c $((8 << 20)) /dev/urandom >"$D/a"
head -c $((3 << 20)) /dev/urandom >"$D/sub/b"
head -c $((2 << 20)) /dev/zero >"$D/sub/zeros"
sync

# cached_bytes FILE...: bytes of the files in the page cache.
cached_bytes() {
  fincore --bytes --noheadings --output RES "$@" | awk '{ s += $1 } END { print s + 0 }'
}
# cache_part FILE FROM TO: reads [FROM, TO) into the cache and nothing more
# (read-ahead off).
cache_part() {
  python3 -c 'import os, sys
fd = os.open(sys.argv[1], os.O_RDONLY)
os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_RANDOM)
a, b = int(sys.argv[2]), int(sys.argv[3])
while a < b:
    a += len(os.pread(fd, min(1 << 20, b - a), a))
os.close(fd)' "$@"
}

ALL=("$D/a" "$D/sub/b" "$D/sub/zeros")
uncache "${ALL[@]}"
if [ "$(cached_bytes "${ALL[@]}")" != 0 ]; then
  echo "SKIP: this file system keeps its files in memory ($(df --output=fstype "$D" | tail -n 1))"
  finish
fi

# Nothing cached before: nothing cached after, with one thread and several.
for t in 1 4; do
  uncache "${ALL[@]}"
  run_pelko -p "$D" -t "$t"
  expect_status "uncached, -t $t" 0
  expect_contains "uncached, -t $t: complete" "(100.000%)" "$(final_row "$TMP/out")"
  expect_eq "uncached, -t $t: left in the cache" 0 "$(cached_bytes "${ALL[@]}")"
done
# Stopped early, with buckets read ahead that are never read.
uncache "${ALL[@]}"
run_pelko -p "$D" -t 3 --max-rate 4M --time-limit 1
expect_status "uncached, stopped" 0
expect_eq "uncached, stopped: left in the cache" 0 "$(cached_bytes "${ALL[@]}")"

# The kernel reclaims cached pages of its own whenever memory runs short
# (other test processes can make it so) and, on some virtual machines, a few
# all the time: with nothing else running, up to 1.2 % of these files' pages
# went during one sanitized run, and as much of a file no process touched.
# It never adds any: a figure may fall short of what was cached by a little,
# pelko's part of it is exact; 3 % still tells a dropped bucket (1 MiB is
# 7.7 % of the data here, and half of the part cached below).
# at_least LABEL WANT GOT: GOT is WANT, or less by at most 3 %.
at_least() {
  if [ "$3" -gt "$2" ] || [ "$3" -lt $(($2 - $2 * 3 / 100)) ]; then
    _fail "$1: $3 bytes cached, want $2"
  fi
}
HAVE_STRACE=0
strace -f -o /dev/null true 2>/dev/null && HAVE_STRACE=1
# pin FILE...: holds the files' pages in memory (mapped and locked, as root
# may) until unpin, so that none goes between the caching and pelko's look;
# where a page went, pelko would rightly read it in and drop it again.
PIN_PID=""
pin() {
  python3 -c 'import ctypes, mmap, os, sys, time
libc = ctypes.CDLL(None, use_errno=True)
libc.mmap.restype = ctypes.c_void_p
libc.mmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int,
                      ctypes.c_int, ctypes.c_int, ctypes.c_long]
libc.mlock.argtypes = [ctypes.c_void_p, ctypes.c_size_t]
for p in sys.argv[1:]:
    fd = os.open(p, os.O_RDONLY)
    n = os.fstat(fd).st_size
    a = libc.mmap(None, n, mmap.PROT_READ, mmap.MAP_SHARED, fd, 0)
    if a in (None, ctypes.c_void_p(-1).value) or libc.mlock(a, n) != 0:
        sys.exit(1)
print("pinned", flush=True)
time.sleep(3600)' "$@" >"$TMP/pin" 2>/dev/null &
  PIN_PID=$!
  for _ in $(seq 1 50); do
    grep -q pinned "$TMP/pin" 2>/dev/null && return 0
    kill -0 "$PIN_PID" 2>/dev/null || break
    sleep 0.1
  done
  unpin
}
unpin() {
  [ -n "$PIN_PID" ] && { kill "$PIN_PID" 2>/dev/null; wait "$PIN_PID" 2>/dev/null || true; }
  PIN_PID=""
}
trap 'unpin; rm -rf "$TMP"' EXIT

# Everything cached before: all of it still cached, and not a page dropped.
cat "${ALL[@]}" >/dev/null
# Locked pages are never dropped: the trace of pelko's calls is the check then.
[ $HAVE_STRACE = 1 ] && pin "${ALL[@]}"
total=$(cached_bytes "${ALL[@]}")
at_least "cat" $(((8 + 3 + 2) << 20)) "$total"
if [ $HAVE_STRACE = 1 ]; then
  RC=0
  ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" \
    strace -f -qq -e trace=fadvise64 -o "$TMP/strace" "$PELKO" -p "$D" \
    >"$TMP/out" 2>"$TMP/err" </dev/null || RC=$?
  if grep -q DONTNEED "$TMP/strace"; then
    _fail "cached: pages were dropped"
    grep DONTNEED "$TMP/strace" | head -n 3 | sed 's/^/    /'
  fi
else
  run_pelko -p "$D"
fi
expect_status "cached" 0
at_least "cached: still cached" "$total" "$(cached_bytes "${ALL[@]}")"
unpin

# One file cached in part (its second and fourth MiB, and a piece within a
# chunk): those pages afterwards, and nothing else.
uncache "${ALL[@]}"
cache_part "$D/a" $((1 << 20)) $((2 << 20))
cache_part "$D/a" $((3 << 20)) $((4 << 20))
cache_part "$D/a" $((5 << 20)) $(((5 << 20) + 8192))
part=$(cached_bytes "$D/a")
at_least "partly cached before" $(((2 << 20) + 8192)) "$part"
run_pelko -p "$D/a" -p "$D/sub/b"
expect_status "partly cached" 0
at_least "partly cached: the same part after" "$part" "$(cached_bytes "$D/a")"
expect_eq "partly cached: the other file" 0 "$(cached_bytes "$D/sub/b")"

# --keep-cache: what was read stays cached.
uncache "${ALL[@]}"
run_pelko -p "$D" --keep-cache
expect_status "--keep-cache" 0
at_least "--keep-cache: all of it cached" $(((8 + 3 + 2) << 20)) "$(cached_bytes "${ALL[@]}")"

finish
