#!/usr/bin/env bash
# Two different chunks with one 32-bit checksum (made so, and checked with
# the system's cksum): one content by default, two with --fingerprint 64.
source "$(dirname "$0")/lib.sh" "$@"

python3 - "$TMP/pair" <<'EOF'
import os, random, sys

def cksum(data):
    """POSIX cksum: CRC-32/04C11DB7 over the data and its length."""
    crc = 0
    table = cksum.table
    for b in data:
        crc = ((crc << 8) & 0xFFFFFFFF) ^ table[(crc >> 24) ^ b]
    n = len(data)
    while n:
        crc = ((crc << 8) & 0xFFFFFFFF) ^ table[(crc >> 24) ^ (n & 0xFF)]
        n >>= 8
    return ~crc & 0xFFFFFFFF

cksum.table = []
for i in range(256):
    c = i << 24
    for _ in range(8):
        c = ((c << 1) ^ 0x04C11DB7) if c & 0x80000000 else c << 1
    cksum.table.append(c & 0xFFFFFFFF)

rng = random.Random(7)
a = bytearray(rng.randbytes(16384))
b = bytearray(a)
b[100] ^= 0x5A
# The checksum is affine in the bits of a fixed-length input: solve for the
# 32 bits of bytes 200 .. 203 that bring b's checksum back to a's.
base = cksum(b)
cols = []
for j in range(32):
    t = bytearray(b)
    t[200 + j // 8] ^= 1 << (j % 8)
    cols.append((cksum(t) ^ base, 1 << j))
basis = {}
for v, c in cols:
    for bit in range(31, -1, -1):
        if not v >> bit & 1:
            continue
        if bit not in basis:
            basis[bit] = (v, c)
            break
        v ^= basis[bit][0]
        c ^= basis[bit][1]
v, pick = base ^ cksum(a), 0
for bit in range(31, -1, -1):
    if v >> bit & 1:
        v ^= basis[bit][0]
        pick ^= basis[bit][1]
for j in range(32):
    if pick >> j & 1:
        b[200 + j // 8] ^= 1 << (j % 8)
assert a != b and cksum(a) == cksum(b)
os.makedirs(sys.argv[1])
open(os.path.join(sys.argv[1], "a"), "wb").write(a)
open(os.path.join(sys.argv[1], "b"), "wb").write(b)
EOF
expect_eq "planted pair: one checksum" "$(cksum <"$TMP/pair/a")" "$(cksum <"$TMP/pair/b")"

# dedupe_of FILE: the DEDUPE column of the report file's final row.
dedupe_of() {
  final_row "$1" | tr '\t' '\n' | sed '/^$/d' | sed -n '/GiB$/{n;n;p;q}'
}

run_pelko -p "$TMP/pair" -e no-compress -o "$TMP/r32"
expect_status "32-bit" 0
expect_eq "32-bit: the pair counts as one content" "2" "$(dedupe_of "$TMP/r32")"

run_pelko -p "$TMP/pair" -e no-compress --fingerprint 64 -o "$TMP/r64"
expect_status "64-bit" 0
expect_eq "64-bit: told apart" "1" "$(dedupe_of "$TMP/r64")"
expect_contains "64-bit: echoed" "fingerprint:     64 bits" "$(cat "$TMP/r64")"

run_pelko -p "$TMP/pair" --fingerprint 48
expect_status "other widths" 1
expect_contains "other widths" "pelko: --fingerprint 48: the width is 32 or 64 (bits)" "$(cat "$TMP/err")"

finish
