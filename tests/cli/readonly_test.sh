#!/usr/bin/env bash
# A run changes nothing on its inputs: contents, sizes, modification times,
# access times (files and directories), modes; and every open of an input is
# read-only. The data lives on a loop-mounted ext4 image mounted with
# strictatime where this machine allows it, else in the temporary directory
# with access times set far in the past (so that any read under relatime
# would move them too). A control read proves access-time updates are visible.
source "$(dirname "$0")/lib.sh" "$@"
PELKO=$(readlink -f "$PELKO")
# LeakSanitizer cannot run under strace; sanitizer builds check leaks elsewhere.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
SRC=${PELKO_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}

MNT="$TMP/mnt"
mkdir -p "$MNT"
trap 'umount "$MNT" 2>/dev/null || true; rm -rf "$TMP"' EXIT
where="temporary directory"
if [ "$(id -u)" -eq 0 ] && command -v mkfs.ext4 >/dev/null; then
  truncate -s 64M "$TMP/img"
  if mkfs.ext4 -q -F "$TMP/img" 2>/dev/null &&
     mount -o loop,strictatime "$TMP/img" "$MNT" 2>/dev/null; then
    where="ext4 image mounted with strictatime"
  fi
fi
echo "data on: $where"
D="$MNT/data"
python3 "$SRC/scripts/gen_dataset.py" mixed "$D" --chunks 400 --seed 3 >/dev/null
mkdir -p "$D/sub/empty"
head -c 70000 /dev/urandom >"$D/sub/single"
ln -s single "$D/sub/link"
sync

# Contents first: reading them moves access times, which are set after.
sums() { (cd "$D" && find . -type f -print0 | sort -z | xargs -0 sha256sum); }
# Everything else that a reader could change, for files, links and dirs.
# The list of paths is made once: walking the tree again would itself move
# the directories' access times.
(cd "$D" && find . -print0 | sort -z) >"$TMP/paths"
meta() {
  # A link root is resolved by the kernel, which moves the link's own access
  # time on every path lookup through it: that one is not compared.
  (cd "$D" && xargs -0 stat -c '%n	%F	%s	%a	%.9Y	%.9X' <"$TMP/paths") |
    awk -F'\t' -v OFS='\t' '$2 == "symbolic link" { $6 = "-" } { print }'
}
sums >"$TMP/sums.before"
find "$D" -exec touch -h -a -d '2001-02-03 04:05:06' {} +
meta >"$TMP/meta.before"

# One run over the tree, one over a single file given twice, one through a
# link root; reports go outside the data.
ST=()
HAVE_STRACE=0
if strace -f -o /dev/null true 2>/dev/null; then
  HAVE_STRACE=1
  ST=(strace -f -qq -e trace=open,openat,creat,truncate,unlink,unlinkat,rename,renameat,renameat2,utimensat,chmod,fchmodat -o "$TMP/strace")
fi
RC=0
"${ST[@]}" "$PELKO" -p "$D" -p "$D/sub/single" -p "$D/sub/single" \
  -p "$D/sub/link" -o "$TMP/report" >"$TMP/out" 2>"$TMP/err" </dev/null || RC=$?
expect_status "run" 0
expect_contains "run: complete" "(100.000%)" "$(final_row "$TMP/report")"

meta >"$TMP/meta.after"
if ! diff -u "$TMP/meta.before" "$TMP/meta.after" >"$TMP/diff"; then
  _fail "metadata changed (path type size mode mtime atime)"
  sed '1,2d; s/^/    /' "$TMP/diff" | head -n 20
fi
# Control: an ordinary read does move the access time here, so the check
# above could have seen one.
f=$(cd "$D" && find . -type f -size +20k | head -n 1)
before=$(stat -c %X "$D/$f")
cat "$D/$f" >/dev/null
after=$(stat -c %X "$D/$f")
if [ "$before" = "$after" ]; then
  _fail "control: access times are not updated on this file system; the atime check proved nothing"
fi

sums >"$TMP/sums.after"
if ! diff -u "$TMP/sums.before" "$TMP/sums.after" >"$TMP/diff"; then
  _fail "contents changed"
  sed '1,2d; s/^/    /' "$TMP/diff" | head -n 20
fi

# Every open of a path inside the data is read-only.
if [ $HAVE_STRACE = 1 ]; then
  grep -a -F "\"$D" "$TMP/strace" >"$TMP/opens" || true
  n=$(grep -c -E 'open(at)?\(' "$TMP/opens" || true)
  [ "$n" -gt 0 ] || _fail "strace: no open of the data was seen"
  if grep -a -v -E '^[0-9]+ +open(at)?\((AT_FDCWD|[0-9]+), "[^"]*", O_RDONLY[|,)]' "$TMP/opens" \
       | grep -a -E 'O_WRONLY|O_RDWR|O_CREAT|O_TRUNC|O_APPEND|^[0-9]+ +(creat|truncate|unlink|rename|utimensat|chmod|fchmodat)' \
       >"$TMP/bad"; then
    _fail "strace: an input was opened for writing or changed"
    head -n 5 "$TMP/bad" | sed 's/^/    /'
  fi
  # File reads ask for O_NOATIME (root may always use it).
  if [ "$(id -u)" -eq 0 ]; then
    reads=$(grep -a -E 'O_RDONLY' "$TMP/opens" | grep -a -v O_DIRECTORY || true)
    [ -n "$reads" ] || _fail "strace: no file read was seen"
    if grep -a -v O_NOATIME <<<"$reads" | grep -a -q .; then
      _fail "strace: a file was opened without O_NOATIME"
      grep -a -v O_NOATIME <<<"$reads" | head -n 3 | sed 's/^/    /'
    fi
  fi
else
  echo "SKIP open flags: strace not usable"
fi

finish
