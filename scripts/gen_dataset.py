#!/usr/bin/env python3
"""Generates data sets of known dedupe structure for tests and benchmarks.

usage: gen_dataset.py KIND OUT_DIR [--chunks N] [--chunk-size BYTES] [--seed S]

KIND:
  distinct   every chunk different (random bytes)
  twice      every content exactly twice
  four       every content exactly four times
  fifty      every content exactly fifty times
  zipf       copies per content follow a Zipf-like law; 5 % zero chunks
  halfcomp   half text-like compressible chunks, half random; no duplicates
  mixed      a little of everything: duplicates, zero chunks, text, random
  versions   a tree of files in five version directories v1 .. v5: from one
             version to the next most files are copied unchanged, some are
             rewritten, overwritten in part, appended to, removed or added
             (--chunks sets the size of v1 in chunks)

The chunks are shuffled and written into files of 1 to 40 whole chunks, each
followed by a tail shorter than one chunk (never part of any chunk).
"""
import argparse
import os
import random
import zlib

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
    elif kind in ("twice", "four", "fifty"):
        k = {"twice": 2, "four": 4, "fifty": 50}[kind]
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


def file_content(rng, size):
    data = text_chunk(rng, size) if rng.random() < 0.5 else rng.randbytes(size)
    return bytearray(data)


def next_version(rng, files, cs):
    """The file list of the next version: name -> bytearray."""
    out = {}
    for name, data in files.items():
        r = rng.random()
        if r < 0.04:
            continue                       # removed
        data = bytearray(data)
        if r < 0.14:
            data = file_content(rng, len(data) or 1)   # rewritten
        elif r < 0.20 and len(data) > 0:
            at = rng.randrange(len(data))   # overwritten in part
            n = min(len(data) - at, rng.randint(1, 2 * cs))
            data[at:at + n] = rng.randbytes(n)
        elif r < 0.24:
            data += file_content(rng, rng.randint(1, 3 * cs))  # appended to
        out[name] = data
    base = len(files)
    for i in range(max(1, base // 20)):     # added
        out["n%d_%05d.bin" % (len(out), i)] = file_content(rng, file_size(rng, cs))
    return out


def file_size(rng, cs):
    return max(1, min(int(rng.lognormvariate(0, 1.6) * cs), 400 * cs))


def write_versions(rng, out_dir, n_chunks, cs):
    files = {}
    total = 0
    i = 0
    while total < n_chunks * cs:
        size = file_size(rng, cs)
        files["f%05d.bin" % i] = file_content(rng, size)
        total += size
        i += 1
    for v in range(1, 6):
        for name, data in files.items():
            sub = os.path.join(out_dir, "v%d" % v, "d%d" % (zlib.crc32(name.encode()) % 5))
            os.makedirs(sub, exist_ok=True)
            with open(os.path.join(sub, name), "wb") as fh:
                fh.write(data)
        files = next_version(rng, files, cs)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("kind")
    ap.add_argument("out_dir")
    ap.add_argument("--chunks", type=int, default=512)
    ap.add_argument("--chunk-size", type=int, default=16384)
    ap.add_argument("--seed", type=int, default=1)
    a = ap.parse_args()
    rng = random.Random(a.seed)
    if a.kind == "versions":
        write_versions(rng, a.out_dir, a.chunks, a.chunk_size)
        return
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
