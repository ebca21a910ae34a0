#!/usr/bin/env python3
"""Generates data sets of known dedupe structure for tests and benchmarks.

usage: gen_dataset.py KIND OUT_DIR [--chunks N] [--chunk-size BYTES] [--seed S]

KIND:
  distinct   every chunk different (random bytes)
  twice      every content exactly twice
  four       every content exactly four times
  zipf       copies per content follow a Zipf-like law; 5 % zero chunks
  halfcomp   half text-like compressible chunks, half random; no duplicates
  mixed      a little of everything: duplicates, zero chunks, text, random

The chunks are shuffled and written into files of 1 to 40 whole chunks, each
followed by a tail shorter than one chunk (never part of any chunk).
"""
import argparse
import os
import random

WORDS = [w.encode() for w in (
    "the of and to in is that for it as was with be by on not he this are or "
    "his from at which but have an they you were her she there been one all "
    "we their has would when if so no will more can out other into some time "
    "storage volume block device chunk sample estimate ratio file system data "
    "report memory thread bucket slice reader walker linear program solver "
    "histogram checksum compress duplicate distinct zero progress bandwidth"
).split()]


def text_chunk(rng, size):
    parts = []
    n = 0
    while n < size:
        idx = rng.randbytes(512)
        piece = b" ".join(WORDS[b % len(WORDS)] for b in idx) + b"\n"
        parts.append(piece)
        n += len(piece)
    return b"".join(parts)[:size]


def contents_for(kind, rng, n, cs):
    """Returns the list of chunk contents, in data-set order."""
    zero = bytes(cs)
    out = []
    if kind == "distinct":
        out = [rng.randbytes(cs) for _ in range(n)]
    elif kind in ("twice", "four"):
        k = 2 if kind == "twice" else 4
        for _ in range(n // k):
            c = rng.randbytes(cs)
            out += [c] * k
    elif kind == "zipf":
        n_zero = n // 20
        out = [zero] * n_zero
        rank = 1
        while len(out) < n:
            copies = max(1, int(40 / rank ** 1.1))
            c = rng.randbytes(cs)
            out += [c] * min(copies, n - len(out))
            rank += 1
    elif kind == "halfcomp":
        out = [text_chunk(rng, cs) for _ in range(n // 2)]
        out += [rng.randbytes(cs) for _ in range(n - n // 2)]
    elif kind == "mixed":
        base = [rng.randbytes(cs) for _ in range(n // 8)]
        base += [text_chunk(rng, cs) for _ in range(n // 8)]
        while len(out) < n:
            r = rng.random()
            if r < 0.1:
                out.append(zero)
            elif r < 0.5:
                out.append(rng.choice(base))
            elif r < 0.75:
                out.append(text_chunk(rng, cs))
            else:
                out.append(rng.randbytes(cs))
    else:
        raise SystemExit("unknown kind " + kind)
    rng.shuffle(out)
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("kind")
    ap.add_argument("out_dir")
    ap.add_argument("--chunks", type=int, default=512)
    ap.add_argument("--chunk-size", type=int, default=16384)
    ap.add_argument("--seed", type=int, default=1)
    a = ap.parse_args()
    rng = random.Random(a.seed)
    chunks = contents_for(a.kind, rng, a.chunks, a.chunk_size)
    os.makedirs(a.out_dir, exist_ok=True)
    i = 0
    f = 0
    while i < len(chunks):
        k = rng.randint(1, 40)
        sub = os.path.join(a.out_dir, "d%02d" % (f % 7))
        os.makedirs(sub, exist_ok=True)
        with open(os.path.join(sub, "f%05d.bin" % f), "wb") as fh:
            for c in chunks[i:i + k]:
                fh.write(c)
            fh.write(rng.randbytes(rng.randint(0, a.chunk_size - 1)))
        i += k
        f += 1


if __name__ == "__main__":
    main()
