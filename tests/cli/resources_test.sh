#!/usr/bin/env bash
# Resource limits of pelko's own never drop data nor crash it: with few file
# descriptors the threads are sized to the limit and every file is read (the
# same figures as without the limit); a resource the run cannot do without
# (a thread, a system file) ends it with an "ERROR: " line naming it and exit
# status 1, never an assertion or a core dump.
source "$(dirname "$0")/lib.sh" "$@"

mkdir -p "$TMP/tree"
for i in $(seq 150); do head -c 40000 /dev/urandom >"$TMP/tree/f$i"; done
for i in $(seq 50); do cp "$TMP/tree/f$i" "$TMP/tree/copy$i"; done

# limited LIMIT ARGS...: pelko under `ulimit LIMIT` (one shell word, as
# "-n 12"); stdout, stderr and status as run_pelko.
limited() {
  local limit=$1
  shift
  RC=0
  # The redirections come first: the shell needs descriptors for them.
  (exec >"$TMP/out" 2>"$TMP/err" </dev/null && ulimit $limit && exec "$PELKO" "$@") || RC=$?
}

run_pelko -p "$TMP/tree" -t 8
expect_status "no limit" 0
# The figures: the summary's physical sizes and ratio.
figures() { grep -a -E '^(analysed|after [a-z]+|reduction ratio):' "$TMP/out"; }
want=$(figures)

# --- Few file descriptors: fewer threads, and every file read --------------------
limited "-n 12" -p "$TMP/tree" -t 8
expect_status "12 descriptors" 0
expect_contains "12 descriptors: threads sized" "instead of 8: the limit on open files leaves" "$(cat "$TMP/out")"
# On standard error, the warning alone: no file went unread.
expect_eq "12 descriptors: no error" "" "$(grep -v '^WARNING: ' "$TMP/err" || true)"
expect_eq "12 descriptors: the same figures" "$want" "$(figures)"
expect_contains "12 descriptors: nothing unread" "unreadable:                    none" "$(cat "$TMP/out")"

# Descriptors the reading ahead keeps open for the reads come out of what the
# threads leave: with a few to spare, some, none, or all of the buckets
# ahead keep theirs, and a descriptor kept and never given back would soon
# leave the reads none (200 files, one per bucket). Only data not cached is
# read ahead.
for n in 24 40 64 200; do
  uncache "$TMP"/tree/*
  limited "-n $n" -p "$TMP/tree" -t 2
  expect_status "$n descriptors, reading ahead" 0
  expect_eq "$n descriptors, reading ahead: no error" "" "$(cat "$TMP/err")"
  expect_eq "$n descriptors, reading ahead: the same figures" "$want" "$(figures)"
done

# A sanitizer's runtime needs descriptors of its own (its type checks fail
# without them), and its shadow memory does not fit under a small
# address-space limit: the tightest limits are for plain builds.
SANITIZED=0
case "$(ldd "$PELKO" 2>/dev/null || true)" in *libasan*|*libtsan*|*libubsan*) SANITIZED=1 ;; esac

# Fewer still: the run either reads everything or ends at once saying which
# system file it could not open.
for n in 5 6 7 8; do
  [ $SANITIZED = 1 ] && { echo "SKIP $n descriptors: sanitizer build"; continue; }
  limited "-n $n" -p "$TMP/tree" -t 8
  case $RC in
    0) expect_contains "$n descriptors: nothing unread" "unreadable:                    none" "$(cat "$TMP/out")"
       expect_eq "$n descriptors: the same figures" "$want" "$(figures)" ;;
    1) expect_contains "$n descriptors: named" "ERROR: cannot " "$(cat "$TMP/err")" ;;
    *) _fail "$n descriptors: exit status $RC"; head -n 3 "$TMP/err" ;;
  esac
  grep -q Assertion "$TMP/err" && _fail "$n descriptors: an assertion failed"
done

# --- Threads that cannot be created ----------------------------------------------
if [ $SANITIZED = 1 ]; then
  echo "SKIP address-space limit: sanitizer build"
else
  named=0
  for kib in 30000 40000 60000; do
    limited "-v $kib" -p "$TMP/tree" -t 8
    case $RC in
      0) ;;
      1) expect_contains "-v $kib: named" "ERROR: cannot create a thread" "$(cat "$TMP/err")"
         named=1 ;;
      *) _fail "-v $kib: exit status $RC"; head -n 3 "$TMP/err" ;;
    esac
  done
  [ $named = 1 ] || _fail "no address-space limit tried kept a thread from starting"
fi

finish
