#!/usr/bin/env bash
# Root lines: one per input path with its kind and size, the reset of the
# scan limits for plain directories (printed once), a failed probe ending the
# run with status 1 after the earlier roots' lines.
source "$(dirname "$0")/lib.sh" "$@"

mkdir -p "$TMP/d1/sub" "$TMP/d2"
head -c 20000 /dev/urandom >"$TMP/d1/a"
head -c 3000000 /dev/zero >"$TMP/big"
: >"$TMP/empty"
mkfifo "$TMP/fifo"
ln -s "$TMP/big" "$TMP/link"
MISSING="$TMP/missing"

# root_lines: the lines after the echo (the echo ends with an empty line).
root_lines() { sed '1,/^$/d' "$TMP/out"; }

run_pelko -T 10 -p "$TMP/big" -p "$TMP/empty" -p "$TMP/link" -p /dev/null \
  -p "$TMP/fifo" -p "$TMP/d1" -p "$TMP/d2/" -p "$TMP/d1" -p "$MISSING" -p "$TMP/empty"
expect_status "kinds" 1
expect_eq "kinds" "$TMP/big: single file, 2.861 MiB
$TMP/empty: single file, 0
$TMP/link: single file, 2.861 MiB
/dev/null: char device
$TMP/fifo: fifo file
$TMP/d1: directory
Reset scan time/memory limits. (Not supported for directories)
$TMP/d2/: directory
$TMP/d1: directory" "$(root_lines)"
expect_file "kinds: stderr" "pelko: no such file or directory: $MISSING" "$TMP/err"
# The echo shows the limits as parsed, before the reset.
expect_contains "echo before reset" "scan_time_limit: 10 sec." "$(cat "$TMP/out")"

# Only the memory limit left: still reset.
run_pelko -T 0 -p "$TMP/d1" -p "$MISSING"
expect_eq "memory limit only" "$TMP/d1: directory
Reset scan time/memory limits. (Not supported for directories)" "$(root_lines)"

# No limits: nothing to reset.
run_pelko -T 0 -M 0 -p "$TMP/d1" -p "$MISSING"
expect_eq "no limits" "$TMP/d1: directory" "$(root_lines)"

# A mount point is a file system and keeps its limits; /proc is never
# enumerated, and the missing path stops the run anyway.
if grep -q ' /proc proc ' /proc/self/mountinfo; then
  for p in /proc /proc/; do
    run_pelko -p "$p" -p "$MISSING"
    expect_status "$p" 1
    lines=$(root_lines)
    expect_contains "$p is a file system" "$p: file system" "$lines"
    case "$lines" in *Reset*) _fail "$p: limits reset for a file system" ;; esac
  done
fi

# A bind mount (same device as its parent) is a file system too; needs a
# private mount namespace, skipped where that is not allowed.
if unshare -m --propagation private true 2>/dev/null; then
  mkdir -p "$TMP/bind"
  RC=0
  unshare -m --propagation private bash -c \
    'mount --bind "$1/d1" "$1/bind" && exec "$2" -p "$1/bind" -p "$1/bind/" -p "$1/d1" -p "$1/missing"' \
    _ "$TMP" "$PELKO" >"$TMP/out" 2>"$TMP/err" || RC=$?
  expect_status "bind mount" 1
  expect_eq "bind mount" "$TMP/bind: file system, <SIZE>
$TMP/bind/: file system, <SIZE>
$TMP/d1: directory
Reset scan time/memory limits. (Not supported for directories)" \
    "$(root_lines | sed -E 's/(file system), .*/\1, <SIZE>/')"
fi

# The first root fails: nothing but the echo on stdout.
run_pelko -p "$MISSING" -p "$TMP/big"
expect_status "first root missing" 1
expect_eq "first root missing" "" "$(root_lines)"

# Data given twice or inside another root: one warning each, through the
# printer, after the root lines; the data is still counted twice.
mkdir -p "$TMP/d1/sub/deeper"
head -c 20000 /dev/urandom >"$TMP/d1/sub/deeper/b"
run_pelko -p "$TMP/d1/sub/deeper/b" -p "$TMP/d1" -p "$TMP/d1/" -p "$TMP/d2" \
  -p "$TMP/big" -p "$TMP/link" -p "$TMP/d1/a" -o "$TMP/report.txt"
expect_status "overlapping roots" 0
want="WARNING: $TMP/d1/sub/deeper/b lies inside $TMP/d1: its data is counted twice.
WARNING: $TMP/d1/ is the same as $TMP/d1: its data is counted twice.
WARNING: $TMP/link is the same as $TMP/big: its data is counted twice.
WARNING: $TMP/d1/a lies inside $TMP/d1: its data is counted twice."
expect_eq "overlapping roots: warnings" "$want" "$(grep '^WARNING' "$TMP/out")"
expect_eq "overlapping roots: in the file" "$want" "$(grep '^WARNING' "$TMP/report.txt")"
expect_eq "overlapping roots: after the root lines" "$TMP/d1/a: single file, 19.531 KiB
${want%%$'\n'*}" "$(grep -A1 "^$TMP/d1/a: single file" "$TMP/out")"
# In whole 16 KiB chunks: 1 (b) + 2 x 2 (d1 twice) + 2 x 183 (big twice) + 1.
expect_contains "overlapping roots: counted twice" "5.812 MiB (100.000%)" "$(final_row "$TMP/out")"
run_pelko -p "$TMP/d1/a" -p "$TMP/d2" -p "$TMP/big" -p "$TMP/d1/a"
expect_eq "the same path twice" "WARNING: $TMP/d1/a is given twice: its data is counted twice." \
  "$(grep '^WARNING' "$TMP/out" || true)"
run_pelko -p "$TMP/d1/a" -p "$TMP/d2" -p "$TMP/big"
expect_eq "distinct roots: no warning" "" "$(grep '^WARNING' "$TMP/out" || true)"
# Files and directories of virtual file systems are no stored data: refused
# (a file of proc can claim 128 TiB), whatever their place among the roots.
for path in /proc/self/status /proc /sys/kernel; do
  run_pelko -p "$TMP/d1/a" -p "$path"
  expect_status "virtual file system $path" 1
  expect_eq "virtual file system $path" \
    "ERROR: $path lies on a virtual file system: no stored data to estimate" \
    "$(cat "$TMP/err")"
done

# A run that probes successfully ends with status 0.
run_pelko -p "$TMP/d1/a" -o "$TMP/report.txt"
expect_status "complete run" 0
expect_contains "complete run: root line" "$TMP/d1/a: single file, 19.531 KiB" "$(cat "$TMP/out")"
expect_contains "complete run: file" "$TMP/d1/a: single file, 19.531 KiB" "$(cat "$TMP/report.txt")"

finish
