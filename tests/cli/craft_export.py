#!/usr/bin/env python3
"""Writes export files by hand: sound ones, and crafted ones a hostile host
could send. Each carries a valid checksum (XXH3-64 from the system's
libxxhash), so that what a merge refuses is refused for its content.

    craft_export.py DIR                 the crafted cases, named by case
    craft_export.py --sound DIR N [C]   N sound exports of C chunks each
                                        (default 64), distinct runs,
                                        sound_<i>.pex

With PELKO_EXPORT_VERSION=1 or 2 in the environment the files are of that
format version: 1 (no count of skipped directories) as pelko 1.08 wrote
them, 2 (no bucket size) as the first releases after it did. The
crafted cases also seed the fuzz target (scripts/fuzz.sh).
"""
import ctypes
import ctypes.util
import os
import struct
import sys

MAGIC = b"PELKOSMP"
VERSION = int(os.environ.get("PELKO_EXPORT_VERSION", "3"))
ALL = 2 | 4 | 8  # dedupe, dedupe zeros, compress

_lib = ctypes.CDLL(ctypes.util.find_library("xxhash") or "libxxhash.so.0")
_lib.XXH3_64bits.restype = ctypes.c_uint64
_lib.XXH3_64bits.argtypes = [ctypes.c_char_p, ctypes.c_size_t]


def varint(v):
    out = bytearray()
    while True:
        b = v & 0x7F
        v >>= 7
        if v:
            out.append(b | 0x80)
        else:
            out.append(b)
            return bytes(out)


def text(s):
    return varint(len(s)) + s


def header(chunk_size=4096, mask=ALL, bits=32, threads=1, total_chunks=64,
           total_buckets=64, n_data=64, n_zero=0, n_skipped=0,
           compressed=None, uncompressed=None, save_memory=0, lower_fp=0,
           total_size=None, reductible=None, total_files=1, scan_stopped=0,
           unread_size=0, unread_files=0, skipped_dirs=0, bucket_size=None,
           bucket_chosen=0, stop_at=0.0,
           seed=1, run_id=1, created=1765000000, host=b"host",
           paths=(b"/data",), stop_reason=b"", n_entries=64):
    if uncompressed is None:
        uncompressed = n_data * chunk_size
    if compressed is None:
        compressed = n_data * 100
    if reductible is None:
        reductible = total_chunks * chunk_size
    if total_size is None:
        total_size = reductible
    out = bytearray(MAGIC)
    out.append(VERSION)
    for v in (chunk_size, mask, bits, threads, total_chunks, total_buckets,
              n_data, n_zero, n_skipped, compressed, uncompressed,
              save_memory, lower_fp, total_size, reductible,
              total_files + 1, scan_stopped, unread_size, unread_files):
        out += varint(v)
    if VERSION >= 2:
        out += varint(skipped_dirs)
    if VERSION >= 3:
        out += varint(chunk_size if bucket_size is None else bucket_size)
        out += varint(bucket_chosen)
    for v in (struct.unpack("<Q", struct.pack("<d", stop_at))[0], seed):
        out += varint(v)
    out += struct.pack("<Q", run_id)
    out += varint(created)
    out += text(host)
    out += varint(len(paths))
    for p in paths:
        out += text(p)
    out += text(stop_reason)
    out += varint(n_entries)
    return out


def lone_entries(n, csize=100, first_fp=1000):
    """n distinct fingerprints, one chunk each, one bucket each."""
    out = bytearray()
    for i in range(n):
        out += varint(first_fp if i == 0 else 7)  # the difference to the last
        out.append(i % 8)
        out += varint(csize)
    return out


def sealed(body):
    return bytes(body) + struct.pack("<Q", _lib.XXH3_64bits(bytes(body), len(body)))


def sound(run_id, host=b"host", paths=(b"/data",), stop_reason=b"", n=64):
    return sealed(header(run_id=run_id, host=host, paths=paths,
                         stop_reason=stop_reason, total_chunks=n,
                         total_buckets=n, n_data=n, n_entries=n) +
                  lone_entries(n))


def crafted():
    """name -> bytes of each crafted case."""
    cases = {}
    # One entry claiming more than 2^63 buckets (and chunks to match).
    big = 1 << 63
    body = header(chunk_size=1, mask=2 | 4, total_chunks=big + 8,
                  total_buckets=big + 8, n_data=big + 8, n_entries=1,
                  compressed=0, uncompressed=0)
    body += varint(5) + bytes([9]) + varint(big + 1) + varint(0)
    cases["huge_buckets"] = sealed(body)
    # Group counts whose sum overflows 64 bits, within a plan below the cap.
    g = 1 << 61
    body = header(chunk_size=1, mask=2 | 4, total_chunks=(1 << 62) - 1,
                  total_buckets=(1 << 62) - 1, n_data=(1 << 62) - 1,
                  n_entries=1, compressed=0, uncompressed=0)
    body += varint(5) + bytes([8]) + b"".join(varint(g) for _ in range(8))
    body += varint(0)
    cases["group_overflow"] = sealed(body)
    # Group counts of 2^63 that wrap around to a small bucket count.
    body = header(chunk_size=1, mask=2 | 4, total_chunks=big + 8,
                  total_buckets=big + 8, n_data=big + 8, n_entries=1,
                  compressed=0, uncompressed=0)
    body += varint(5) + bytes([8]) + varint(big) + varint(big) + varint(5)
    body += b"".join(varint(0) for _ in range(5)) + varint(0)
    cases["group_wrap"] = sealed(body)
    # A chunk of 2016 MiB over 20 MiB of data: the totals disagree.
    chunk = 2016 << 20
    body = header(chunk_size=chunk, mask=2 | 4, total_chunks=10,
                  total_buckets=10, n_data=10, n_entries=1,
                  reductible=20 << 20, total_size=20 << 20,
                  compressed=0, uncompressed=0, host=b"", paths=())
    body += varint(5) + bytes([9]) + varint(10) + varint(0)
    cases["big_chunk"] = sealed(body)
    # A large chunk size in a sound export (512 MiB: the largest, 2016 MiB,
    # takes seconds to checksum): one chunk, read.
    body = header(chunk_size=512 << 20, mask=2 | 4, total_chunks=1,
                  total_buckets=1, n_data=1, n_entries=1,
                  compressed=0, uncompressed=0, host=b"", paths=())
    body += varint(5) + bytes([0])
    cases["big_chunk_sound"] = sealed(body)
    # Escape sequences in what the merge prints.
    esc = b"\x1b]0;pwned\x07\x1b[2J\x1b[31m"
    cases["escapes"] = sound(7, host=b"evil" + esc, paths=(b"/data/" + esc,),
                             stop_reason=b"stopped " + esc)
    # More chunks analysed than the plan holds.
    cases["over_analysed"] = sealed(header(n_data=65, n_entries=64) +
                                    lone_entries(64))
    return cases


def main():
    if len(sys.argv) in (4, 5) and sys.argv[1] == "--sound":
        out, n = sys.argv[2], int(sys.argv[3])
        chunks = int(sys.argv[4]) if len(sys.argv) == 5 else 64
        os.makedirs(out, exist_ok=True)
        body = sound(1000, n=chunks)[:-8]
        at = body.index(struct.pack("<Q", 1000))
        for i in range(n):
            # The same export with a run id of its own.
            b = body[:at] + struct.pack("<Q", 1000 + i) + body[at + 8:]
            with open(os.path.join(out, "sound_%d.pex" % i), "wb") as f:
                f.write(sealed(b))
        return
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    os.makedirs(sys.argv[1], exist_ok=True)
    for name, data in crafted().items():
        with open(os.path.join(sys.argv[1], name + ".pex"), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
