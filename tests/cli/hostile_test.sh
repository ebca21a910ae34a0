#!/usr/bin/env bash
# Hostile inputs: each gives a clear error line or a quiet skip, nothing
# blocks, and the run still reaches its final row with exit status 0.
# Chunk counts are checked through the final row's PROGRESS figure
# (16 KiB chunks: N chunks read = N * 16 KiB).
source "$(dirname "$0")/lib.sh" "$@"
PELKO=$(readlink -f "$PELKO")
# LeakSanitizer cannot run under strace; sanitizer builds check leaks elsewhere.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"

IS_ROOT=0
[ "$(id -u)" -eq 0 ] && IS_ROOT=1
HAVE_STRACE=0
strace -f -o /dev/null true 2>/dev/null && HAVE_STRACE=1

# rand_file PATH BYTES
rand_file() { head -c "$2" /dev/urandom >"$1"; }

# run_timed SECONDS ARGS...: run_pelko under a timeout; 124 in RC means it hung.
run_timed() {
  local secs=$1
  shift
  RC=0
  timeout -k 5 "$secs" "$PELKO" "$@" >"$TMP/out" 2>"$TMP/err" </dev/null || RC=$?
}

# expect_no_errors LABEL: nothing on stderr but WARNING lines (which go
# there as well as to the report).
expect_no_errors() {
  if grep -a -v -q '^WARNING: ' "$TMP/err"; then
    _fail "$1: unexpected error output"
    grep -a -v '^WARNING: ' "$TMP/err" | head -c 600 | sed 's/^/    /'
  fi
}

# dedupe_of ROW: the DEDUPE figure of a report-file row (the second field
# after MEMORY, which ends in GiB; empty fields dropped).
dedupe_of() {
  tr '\t' '\n' <<<"$1" | sed '/^$/d' | awk 'm { n++; if (n == 2) print; next } /GiB$/ { m = 1 }'
}

# expect_final LABEL PROGRESS: exit 0 and a final row showing PROGRESS.
expect_final() {
  expect_status "$1" 0
  expect_contains "$1: final row" "$2" "$(final_row "$TMP/out")"
}

# --- 1. Special entries, links and odd names inside a tree -------------------
T="$TMP/tree"
mkdir -p "$T/empty_dir"
rand_file "$T/plain" 100000                      # 6 chunks
BAD=$(printf 'bad\377\376name')                  # not valid UTF-8
rand_file "$T/$BAD" 50000                        # 3 chunks
NL=$(printf 'new\nline\ttab')
rand_file "$T/$NL" 40000                         # 2 chunks
: >"$T/empty_file"
rand_file "$T/tail_only" 1000                    # shorter than a chunk
mkfifo "$T/fifo"
python3 -c 'import socket, sys; socket.socket(socket.AF_UNIX).bind(sys.argv[1])' "$T/sock"
ln -s loop_b "$T/loop_a"
ln -s loop_a "$T/loop_b"
ln -s nowhere "$T/dangling"
ln -s plain "$T/link_to_plain"                   # never followed: no double count
ln -s . "$T/link_to_self"
if [ $IS_ROOT = 1 ]; then
  mknod "$T/null" c 1 3
  mknod "$T/zero" c 1 5                          # endless if it were ever read
fi

ST=()
[ $HAVE_STRACE = 1 ] && ST=(strace -f -qq -e trace=open,openat -o "$TMP/strace")
RC=0
timeout -k 5 60 "${ST[@]}" "$PELKO" -D -D -D -p "$T" -o "$TMP/report" \
  >"$TMP/out" 2>"$TMP/err" </dev/null || RC=$?
expect_final "tree" "176.000 KiB (100.000%)"     # 6 + 3 + 2 chunks
expect_no_errors "tree: no errors"
expect_contains "tree: report file" "176.000 KiB (100.000%)" "$(final_row "$TMP/report")"
con=$(cat "$TMP/out")
for want in "Skip fifo device $T/fifo" "Skip socket $T/sock" \
    "Skip symbolic link $T/loop_a" "Skip symbolic link $T/dangling" \
    "Skip symbolic link $T/link_to_plain" "$T/$BAD, size=50000" \
    "$T/$NL, size=40000"; do
  expect_contains "tree: debug lines" "$want" "$con"
done
[ $IS_ROOT = 1 ] && expect_contains "tree: chr" "Skip character device $T/zero" "$con"
if [ $HAVE_STRACE = 1 ]; then
  for name in fifo sock null zero loop_a dangling link_to_plain; do
    if grep -a -q "\"$T/$name\"" "$TMP/strace"; then
      _fail "tree: $name was opened"
      grep -a "\"$T/$name\"" "$TMP/strace" | head -n 3 | sed 's/^/    /'
    fi
  done
fi

# --- 2. An empty directory -----------------------------------------------------
run_timed 30 -p "$T/empty_dir"
expect_final "empty dir" "	0 (0.000%)"
expect_no_errors "empty dir: no errors"

# --- 3. The same path twice: counted twice, so everything is a duplicate -------
rand_file "$TMP/once" 163840                     # 10 chunks
run_timed 30 -p "$TMP/once" -p "$TMP/once" -o "$TMP/report"
expect_final "same file twice" "320.000 KiB (100.000%)"
row=$(final_row "$TMP/report")
dedupe=$(dedupe_of "$row")
expect_eq "same file twice: dedupe" "2" "$dedupe"
run_timed 30 -p "$T" -p "$T/"
expect_final "same dir twice" "352.000 KiB (100.000%)"

# --- 4. Unreadable file and directory (as an unprivileged user) ----------------
nobody_ok=0
if [ $IS_ROOT = 1 ] && command -v setpriv >/dev/null &&
   setpriv --reuid=65534 --regid=65534 --clear-groups test -x "$PELKO"; then
  nobody_ok=1
fi
if [ $nobody_ok = 1 ]; then
  chmod 755 "$TMP"
  P="$TMP/perm"
  mkdir -p "$P/open" "$P/closed"
  rand_file "$P/open/ok" 70000                   # 4 chunks
  rand_file "$P/secret" 70000                    # 4 chunks, unreadable
  rand_file "$P/closed/inside" 70000             # never seen
  chmod 000 "$P/secret" "$P/closed"
  RC=0
  (cd "$TMP" && setpriv --reuid=65534 --regid=65534 --clear-groups \
     timeout -k 5 30 "$PELKO" -p perm >"$TMP/out" 2>"$TMP/err" </dev/null) || RC=$?
  expect_final "unreadable" "64.000 KiB (50.000%)"
  errs=$(cat "$TMP/err")
  expect_contains "unreadable file" "ERROR: open(perm/secret) failed, Permission denied" "$errs"
  expect_contains "unreadable dir" "ERROR: opendir(perm/closed) failed, Permission denied" "$errs"
  expect_contains "unreadable dir reason" "Permission denied" "$errs"
  # The directory's files are in no figure: the summary and the JSON say so.
  expect_contains "unreadable: summary" "unreadable:                    1 file, 64.000 KiB unread; 1 directory not walked: their files are in no figure (see the ERROR lines)" "$(cat "$TMP/out")"
  : >"$TMP/perm.json"
  chown 65534:65534 "$TMP/perm.json"
  RC=0
  (cd "$TMP" && setpriv --reuid=65534 --regid=65534 --clear-groups \
     timeout -k 5 30 "$PELKO" -p perm --json perm.json >"$TMP/out" 2>"$TMP/err" </dev/null) || RC=$?
  expect_contains "unreadable: JSON" '"unread_files":1,"skipped_dirs":1' "$(grep '"type":"summary"' "$TMP/perm.json")"
  chmod 755 "$P/closed"
else
  echo "SKIP unreadable file and directory: needs root, setpriv and a binary reachable by uid 65534"
fi

# --- 5. Files deleted, truncated, grown and replaced between scan and read -----
# Every open of the victims is delayed by 1 s (strace fault injection);
# meanwhile, as soon as the analysis has begun, they are changed: one is
# replaced by a symbolic link to /dev/zero, one by a file renamed over it.
# Neither replacement is read; each is named once. Without
# strace the same cases are covered by the unit test
# Sampler.DeletedAndTruncatedFilesBetweenScanAndRead.
if [ $HAVE_STRACE = 1 ]; then
  R="$TMP/race"
  mkdir -p "$R"
  for f in keep1 keep2 keep3 gone shrink grow linked renamed; do rand_file "$R/$f" 200000; done
  rand_file "$TMP/outside" 200000
  (
    for _ in $(seq 400); do
      grep -q ANALYZING "$TMP/report" 2>/dev/null && break
      sleep 0.05
    done
    rm "$R/gone"
    truncate -s 50000 "$R/shrink"
    head -c 300000 /dev/urandom >>"$R/grow"
    ln -s /dev/zero "$TMP/zero_link" && mv "$TMP/zero_link" "$R/linked"
    mv "$TMP/outside" "$R/renamed"
  ) &
  changer=$!
  rm -f "$TMP/report"
  RC=0
  timeout -k 5 60 strace -f -qq -o /dev/null -P "$R/gone" -P "$R/shrink" -P "$R/grow" \
    -P "$R/linked" -P "$R/renamed" \
    -e trace=open,openat -e inject=open,openat:delay_enter=1s \
    "$PELKO" -p "$R" -o "$TMP/report" >"$TMP/out" 2>"$TMP/err" </dev/null || RC=$?
  wait $changer
  # 8 files x 12 chunks planned; read: 3 x 12 kept, 3 of the shrunk file,
  # the 12 planned of the grown one, none of the deleted or replaced ones.
  expect_final "race" "816.000 KiB (53.125%)"
  errs=$(cat "$TMP/err")
  expect_contains "race: deleted" "ERROR: open($R/gone) failed, No such file or directory" "$errs"
  expect_contains "race: shrunk" "ERROR: pread($R/shrink) failed, the file has shrunk since the scan" "$errs"
  expect_contains "race: link" "ERROR: open($R/linked) failed, it has been replaced by a symbolic link since the scan" "$errs"
  expect_contains "race: renamed" "ERROR: open($R/renamed) failed, it has been replaced by another file since the scan" "$errs"
  expect_eq "race: each named once" 1 "$(grep -c "($R/renamed)" <<<"$errs")"
  expect_contains "race: summary" "unreadable:                    4 files, 720.000 KiB unread" "$(grep -a "^unreadable:" "$TMP/report")"
else
  echo "SKIP scan/read race: strace not usable; see Sampler.DeletedAndTruncatedFilesBetweenScanAndRead"
fi

# --- 6. A tree 4,000 levels deep (paths twice PATH_MAX and more) --------------
python3 - "$TMP/deep" 4000 <<'EOF'
import os, sys
root, depth = sys.argv[1], int(sys.argv[2])
os.mkdir(root)
fd = os.open(root, os.O_RDONLY | os.O_DIRECTORY)
def put(fd, name):
    f = os.open(name, os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd)
    os.write(f, os.urandom(40000))               # 2 chunks
    os.close(f)
put(fd, "top")
for i in range(depth):
    os.mkdir("d", dir_fd=fd)
    nfd = os.open("d", os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
    os.close(fd)
    fd = nfd
    if i == 100:
        put(fd, "mid")
put(fd, "bottom")
EOF
# Resolving each level's path from the top costs kernel time that grows with
# the square of the depth: about 20 s of it on a two-core test machine (110 s
# at 10,000 levels), so the limit only guards against a hang.
run_timed 120 -p "$TMP/deep"
expect_status "deep tree" 0
row=$(final_row "$TMP/out")
# Every level is walked and read, paths beyond PATH_MAX included (each level
# adds two bytes: 8,000 at the bottom). The cost of a path grows with its
# length, so the walk is quadratic in the depth.
expect_contains "deep tree: final row" "96.000 KiB (100.000%)" "$row"
expect_no_errors "deep tree"

# --- 7. A sparse file of 1 TiB: planned in full, read only briefly -------------
truncate -s 1T "$TMP/sparse"
RC=0
timeout -s INT 8 "$PELKO" -p "$TMP/sparse" -o "$TMP/report" >"$TMP/out" 2>"$TMP/err" </dev/null || RC=$?
expect_eq "sparse: stopped by the timeout, not before" 124 "$RC"
rep=$(cat "$TMP/report")
expect_contains "sparse: root line" "$TMP/sparse: single file, 1024.000 GiB" "$rep"
expect_contains "sparse: planned" "Scanned: 1024.000 GiB, 100%" "$rep"   # a rate may follow
expect_contains "sparse: one file" " 1 files (" "$rep"
expect_contains "sparse: reductible" "Reductible: 1024.000 GiB (100%)" "$rep"
expect_contains "sparse: reading began" "1024.000 KiB (0.000%)" "$rep"
expect_file "sparse: only the stop line" \
  "stopping: finishing the final row; press Ctrl-C again to quit without it" "$TMP/err"
rm -f "$TMP/sparse"

# --- 8. Paths under /proc and /sys: refused, never enumerated, nothing read ----
for p in /proc /proc/self /proc/self/status /sys; do
  [ -e "$p" ] || continue
  rm -f "$TMP/report"
  run_timed 30 -p "$p" -o "$TMP/report"
  expect_status "$p" 1
  expect_contains "$p: refused" "lies on a virtual file system" "$(cat "$TMP/err")"
  expect_eq "$p: nothing scanned" "" "$(grep -a SCANNING "$TMP/out" || true)"
  [ -e "$TMP/report" ] && _fail "$p: a report file was written"
done

finish
