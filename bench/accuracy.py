#!/usr/bin/env python3
"""Accuracy of the dedupe estimate over many read orders and data shapes.

usage: accuracy.py PELKO REFERENCE [--seeds N] [--big-seeds N] [--work DIR]
                   [--shapes a,b] [--real-tree DIR] [--jobs J]
                   [--chunk-sizes 4K,16K,64K]

For every data shape it runs pelko once per seed (--seed 1 .. N, -t 2,
compression off, which does not change the dedupe figures; seed 1 to the end,
the others to 50 %), reads the JSON rows and prints, at 1, 2, 5, 10, 20, 50
and 100 % progress:

  cover   share of runs whose true ratio lies in [low, high]; a blank bound
          counts as a miss
  blank   share of runs with a blank low or high
  width   median of (high - low) / truth over the runs with both bounds
  rmse    root mean square relative error of the DEDUPE column
  err     mean signed relative error
  floor   the honest floor: how far above the truth the high bound of any
          sound method must reach, for the pairs of copied buckets that a
          sample of that many buckets shows (their 95 % upper bound, each
          excess pair merging a bucket of chunks), as a share of the truth

With --chunk-sizes every run estimates those sizes at once (pelko
--chunk-sizes, in place of the shape's own -c) and a table is printed for
each size: the first size's from the report rows, the others' from the JSON
size rows; each size's truth is the reference's ratio at that size. Another
size's rows stand for the same buckets as the first size's, row for row;
a run whose rows of a size do not pair with the first size's counts as a
miss with blank bounds, and the table's "absent" column gives the share of
such runs.

It then checks the goals (from 5 %: cover >= 95 %, no blank bound, width at
most the largest of 6 x rmse, 1.25 x floor and 10 %; from 20 %: |err| <=
5 %; the final row exact) and lists those missed. The true ratio comes from
the reference program, which shares no code with pelko. Data sets are made
once in the work directory (default /tmp/pelko_accuracy, about 20 GiB) and
kept.
"""
import argparse
import collections
import concurrent.futures
import hashlib
import json
import math
import os
import random
import re
import shutil
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
GEN = os.path.join(HERE, "..", "scripts", "gen_dataset.py")
STEPS = [1, 2, 5, 10, 20, 50, 100]
MIN_PLAN_BUCKETS = 16384  # as pelko chooses the bucket size
DEFAULT_BUCKET = 1 << 20


def gen(kind, out, chunks, chunk_size=16384, seed=3):
    if not os.path.isdir(out):
        subprocess.run([sys.executable, GEN, kind, out + ".tmp", "--chunks",
                        str(chunks), "--chunk-size", str(chunk_size), "--seed",
                        str(seed)], check=True)
        os.rename(out + ".tmp", out)
    return out


def fs_image(path, tree, size):
    subprocess.run(["mke2fs", "-q", "-F", "-t", "ext4", "-d", tree, path, size],
                   check=True, stdout=subprocess.DEVNULL)


def fs_images(out, tree="/usr/share/doc"):
    """Two ext4 images made from one tree."""
    if not os.path.isdir(out):
        os.makedirs(out + ".tmp", exist_ok=True)
        for i in (1, 2):
            fs_image(os.path.join(out + ".tmp", "img%d.ext4" % i), tree, "200M")
        os.rename(out + ".tmp", out)
    return out


def aligned_chunks(near, copies, cs=16384):
    """An image size in chunks near `near` that is a whole number of the
    buckets pelko chooses for `copies` copies of it."""
    for s in range(near, near + 100000):
        cpb = max(1, min(DEFAULT_BUCKET // cs, copies * s // MIN_PLAN_BUCKETS))
        if s % cpb == 0:
            return s
    raise SystemExit("no aligned size near %d" % near)


def copies(out, n, near_chunks, tree, rewrite=0.0, shift=False, cs=16384):
    """n copies of one ext4 image of `tree`; each copy but the first with a
    share `rewrite` of its chunks overwritten with random bytes, and with
    shift, preceded by a file of a quarter bucket."""
    if os.path.isdir(out):
        return out
    tmp = out + ".tmp"
    shutil.rmtree(tmp, ignore_errors=True)
    os.makedirs(tmp)
    s = aligned_chunks(near_chunks, n, cs)
    img = os.path.join(tmp, "c0_img")
    fs_image(img, tree, "%dk" % (s * cs // 1024))
    cpb = max(1, min(DEFAULT_BUCKET // cs, n * s // MIN_PLAN_BUCKETS))
    rng = random.Random(7)
    for c in range(1, n):
        if shift:
            with open(os.path.join(tmp, "c%d_a_pad" % c), "wb") as f:
                f.write(rng.randbytes(max(1, cpb // 4) * cs))
        dst = os.path.join(tmp, "c%d_b_img" % c)
        shutil.copyfile(img, dst)
        if rewrite > 0:
            with open(dst, "r+b") as f:
                for k in rng.sample(range(s), int(s * rewrite)):
                    f.seek(k * cs)
                    f.write(rng.randbytes(cs))
    os.rename(tmp, out)
    return out


# name -> (what it is, maker(work dir, args) -> path, chunk size, options, big)
SHAPES = {
    "distinct": ("all distinct", lambda w, a: gen("distinct", os.path.join(w, "distinct"), 16384),
                 16384, [], False),
    "twice": ("every content twice, spread at random",
              lambda w, a: gen("twice", os.path.join(w, "twice"), 16384), 16384, [], False),
    "fifty": ("2,000 contents, each 50 times (-c 4K)",
              lambda w, a: gen("fifty", os.path.join(w, "fifty"), 100000, 4096),
              4096, ["-c", "4K"], False),
    "zipf": ("Zipf-like law of copies, 5 % zero chunks",
             lambda w, a: gen("zipf", os.path.join(w, "zipf"), 16384), 16384, [], False),
    "versions": ("whole files copied between five version directories",
                 lambda w, a: gen("versions", os.path.join(w, "versions"), 6000),
                 16384, [], False),
    "fsimages": ("two file-system images made from one tree (mke2fs -d)",
                 lambda w, a: fs_images(os.path.join(w, "fsimages")), 16384, [], False),
    "copies2": ("2 bucket-aligned copies of a 1.1 GiB image of /usr/share",
                lambda w, a: copies(os.path.join(w, "copies2"), 2, 70400, a.image_tree),
                16384, [], False),
    "copies3": ("3 bucket-aligned copies of a 1.1 GiB image of /usr/share",
                lambda w, a: copies(os.path.join(w, "copies3"), 3, 70400, a.image_tree),
                16384, [], False),
    "clones8": ("8 clones of a 256 MiB image, 5 % of each clone's chunks rewritten",
                lambda w, a: copies(os.path.join(w, "clones8"), 8, 16384, "/usr/share/doc",
                                    rewrite=0.05), 16384, [], False),
    "shifted": ("3 copies of a 1.1 GiB image, each shifted by a quarter bucket",
                lambda w, a: copies(os.path.join(w, "shifted"), 3, 70400, a.image_tree,
                                    shift=True), 16384, [], False),
    "realtree": ("a real tree of this machine (--real-tree)",
                 lambda w, a: a.real_tree, 16384, [], False),
    "big": ("five version directories, 2.9 GiB, -c 4K -b 56K (53,366 buckets)",
            lambda w, a: gen("versions", os.path.join(w, "bigversions"), 160000, 4096, 5),
            4096, ["-c", "4K", "-b", "56K"], True),
}


def truth_of(reference, chunk_size, path, work, name):
    cache = os.path.join(work, "truth.json")
    known = json.load(open(cache)) if os.path.exists(cache) else {}
    key = "%s %d %s" % (name, chunk_size, path)
    if key not in known:
        out = subprocess.run([reference, str(chunk_size), path], check=True,
                             capture_output=True, text=True).stdout
        first = out.splitlines()[0]
        fields = dict(f.split("=") for f in first.split())
        truth = float(re.search(r"^all dedupe=([0-9.eE+-]+)", out, re.M).group(1))
        if not truth > 0:
            sys.exit("no chunk found below %s" % path)
        known[key] = {"ratio": truth, "chunks": int(fields["chunks"]),
                      "distinct": int(fields["distinct"])}
        json.dump(known, open(cache, "w"), indent=1)
    return known[key]


def plan_files(root):
    """The plan's files in pelko's order: by directory, then by name."""
    if os.path.isfile(root):
        return [root]
    items = []
    for d, dirs, files in os.walk(root):
        for f in files:
            p = os.path.join(d, f)
            if os.path.isfile(p) and not os.path.islink(p):
                items.append(((d + "/").encode(), f.encode(), p))
    items.sort()
    return [p for _, _, p in items]


def copy_pairs(path, cs, bucket, work, name):
    """Pairs of the plan's buckets that share at least 3/4 of their contents
    (contents in more than 64 buckets, and zero chunks, left out), cached."""
    cache = os.path.join(work, "pairs.json")
    known = json.load(open(cache)) if os.path.exists(cache) else {}
    key = "%s %d %d %s" % (name, cs, bucket, path)
    if key in known:
        return known[key]
    cpb = bucket // cs
    zero = bytes(cs)
    where = collections.defaultdict(list)
    k = 0
    for p in plan_files(path):
        try:
            with open(p, "rb") as f:
                while True:
                    c = f.read(cs)
                    if len(c) < cs:
                        break
                    if c != zero:
                        h = hashlib.blake2b(c, digest_size=8).digest()
                        b = k // cpb
                        v = where[h]
                        if not v or v[-1] != b:
                            v.append(b)
                    k += 1
        except OSError:
            continue
    shared = collections.Counter()
    for v in where.values():
        if 2 <= len(v) <= 64:
            for i in range(len(v)):
                for j in range(i + 1, len(v)):
                    shared[(v[i], v[j])] += 1
    pairs = sum(1 for n in shared.values() if 4 * n >= 3 * cpb)
    known[key] = {"pairs": pairs, "buckets": (k + cpb - 1) // cpb, "cpb": cpb}
    json.dump(known, open(cache, "w"), indent=1)
    return known[key]


def poisson_upper(k):
    """95 % upper bound of a Poisson mean of which k were seen."""
    a = k + 1
    c = 1 - 1 / (9 * a) + 1.645 / (3 * math.sqrt(a))
    return a * c ** 3


def floor_of(t, p, share):
    """The honest floor at `share` of the plan read (see the module text)."""
    B = p["buckets"]
    s = max(2.0, round(share * B))
    q = s * (s - 1) / (B * (B - 1)) if B > 1 else 1.0
    k = p["pairs"] * q
    extra = (poisson_upper(k) - k) / q
    merged = min(extra * p["cpb"], t["distinct"] / 2)
    d = t["distinct"] - merged
    return (t["chunks"] / d - t["ratio"]) / t["ratio"] if d > 0 else float("inf")


def size_bytes(text):
    """4096, 4K, 4KiB, 1M -> bytes."""
    m = re.fullmatch(r"(\d+)\s*([KMG]?)(?:i?B)?", text.strip(), re.I)
    if not m:
        raise SystemExit("not a chunk size: %r" % text)
    return int(m.group(1)) << {"": 0, "K": 10, "M": 20, "G": 30}[m.group(2).upper()]


def without_chunk_size(options):
    """The options less a -c and its value (--chunk-sizes replaces it)."""
    out, skip = [], False
    for o in options:
        if skip:
            skip = False
        elif o == "-c":
            skip = True
        else:
            out.append(o)
    return out


ABSENT = (None, None, None, None)  # no row at a checkpoint


def run_one(pelko, path, options, seed, out, sizes=None):
    """The rows of one run at the checkpoints, by chunk size ({size: {step:
    (progress, low, dedupe, high)}}), and the bucket size. With `sizes`
    (bytes, first first) the run estimates them all; without, the only key
    is None."""
    stop = [] if seed == 1 else ["--stop-at", "50"]
    several = ["--chunk-sizes", ",".join(str(c) for c in sizes)] if sizes else []
    subprocess.run([pelko, "-p", path, "-t", "2", "-e", "no-compress",
                    "--seed", str(seed), "--json", out] + stop + options + several,
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    first = sizes[0] if sizes else None
    rows, bucket = collections.defaultdict(list), None
    for line in open(out):
        j = json.loads(line)
        if j["type"] == "run":
            bucket = j["parameters"].get("bucket_size")
        if j["type"] in ("row", "size_row"):
            key = first if j["type"] == "row" else j["chunk_size"]
            rows[key].append((j["progress"], j["dedupe_low"], j["dedupe"], j["dedupe_high"]))
    os.unlink(out)
    at = {s: next((i for i, x in enumerate(rows[first]) if x[0] >= s - 1e-9), None)
          for s in STEPS}
    picked = {first: {s: None if at[s] is None else rows[first][at[s]] for s in STEPS}}
    for key in (sizes or [])[1:]:
        # Another size's rows stand for the same buckets as the first
        # size's, row for row (their progress, counted in their own chunks,
        # differs a little); a row missing is ABSENT (a miss).
        same = len(rows[key]) == len(rows[first])
        picked[key] = {s: None if at[s] is None else
                       rows[key][at[s]] if same else ABSENT for s in STEPS}
    return picked, bucket


def summarise(truth, runs):
    table = {}
    for s in STEPS:
        got = [r[s] for r in runs if r.get(s)]
        cover = blank = 0
        widths, errs = [], []
        absent = sum(1 for x in got if x[0] is None)
        for _, low, est, high in got:
            is_blank = low is None or high is None
            blank += is_blank
            # Within the JSON's precision; a blank bound is a miss.
            if not is_blank:
                cover += low <= truth * (1 + 1e-6) and high >= truth * (1 - 1e-6)
                widths.append((high - low) / truth)
            if est is not None:
                errs.append((est - truth) / truth)
        n = max(1, len(got))
        table[s] = dict(
            n=len(got), cover=100.0 * cover / n, blank=100.0 * blank / n,
            absent=100.0 * absent / n,
            width=statistics.median(widths) if widths else float("nan"),
            err=100.0 * statistics.mean(errs) if errs else float("nan"),
            rmse=math.sqrt(statistics.mean(e * e for e in errs)) if errs else float("nan"))
    return table


def print_table(name, t, truth, pairs, absent_column=False):
    """Prints one shape's table; returns the goals it misses. absent: share
    of runs without a row of that size at the checkpoint (within blank)."""
    missed = []
    print("  progress  cover  blank   width    rmse     err   floor" +
          (" absent" if absent_column else ""))
    for s in STEPS:
        c = t[s]
        fl = floor_of(truth, pairs, s / 100.0) if s < 100 else 0.0
        print("  %6d%%  %4.0f%%  %4.0f%%  %6.3f  %6.3f  %+5.1f%%  %6.3f%s%s" % (
            s, c["cover"], c["blank"], c["width"], c["rmse"], c["err"], fl,
            "   %4.0f%%" % c["absent"] if absent_column else "",
            "" if s < 100 else "   (%d runs)" % c["n"]))
        if 5 <= s < 100:
            if c["cover"] < 95:
                missed.append("%s at %d%%: truth inside the range in %.0f%% of runs"
                              % (name, s, c["cover"]))
            if c["blank"] > 0:
                missed.append("%s at %d%%: %.0f%% blank bounds" % (name, s, c["blank"]))
            allowed = max(6 * c["rmse"], 1.25 * fl, 0.10)
            if not c["width"] <= allowed:
                missed.append("%s at %d%%: median width %.3f > %.3f" % (
                    name, s, c["width"], allowed))
        if 20 <= s < 100 and abs(c["err"]) > 5:
            missed.append("%s at %d%%: mean signed error %+.1f%%" % (name, s, c["err"]))
        if s == 100 and (abs(c["err"]) > 1e-3 or c["width"] > 1e-5 or c["cover"] < 100):
            missed.append("%s: final row not exact" % name)
    return missed


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("pelko")
    ap.add_argument("reference")
    ap.add_argument("--seeds", type=int, default=100)
    ap.add_argument("--big-seeds", type=int, default=20)
    ap.add_argument("--work", default="/tmp/pelko_accuracy")
    ap.add_argument("--shapes", default=",".join(SHAPES))
    ap.add_argument("--real-tree", default="/usr/share")
    ap.add_argument("--image-tree", default="/usr/share",
                    help="the tree the image copies are made of")
    ap.add_argument("--jobs", type=int, default=1)
    ap.add_argument("--chunk-sizes", default=None,
                    help="estimate these sizes in every run (e.g. 4K,16K,64K), "
                         "a table for each")
    a = ap.parse_args()
    sizes = [size_bytes(c) for c in a.chunk_sizes.split(",")] if a.chunk_sizes else None
    if sizes and len(set(sizes)) != len(sizes):
        sys.exit("a chunk size is given twice")
    os.makedirs(a.work, exist_ok=True)
    missed = []
    for name in a.shapes.split(","):
        what, make, chunk_size, options, big = SHAPES[name]
        path = make(a.work, a)
        if sizes:
            options = without_chunk_size(options)
        seeds = a.big_seeds if big else a.seeds
        with concurrent.futures.ThreadPoolExecutor(a.jobs) as pool:
            futures = [pool.submit(run_one, a.pelko, path, options, seed,
                                   os.path.join(a.work, "%s.%d.json" % (name, seed)), sizes)
                       for seed in range(1, seeds + 1)]
            results = [f.result() for f in futures]
        bucket = results[0][1]
        for cs in (sizes or [None]):
            size = cs or chunk_size
            label = name if cs is None else "%s at %s" % (
                name, "%d KiB" % (size >> 10) if size % 1024 == 0 else "%d B" % size)
            truth = truth_of(a.reference, size, path, a.work, name)
            pairs = copy_pairs(path, size, bucket, a.work, name)
            t = summarise(truth["ratio"], [r[cs] for r, _ in results])
            print("\n%s: %s; true ratio %.4f; %d read orders; buckets of %d KiB (%d)" % (
                label, what, truth["ratio"], seeds, bucket // 1024, pairs["buckets"]))
            missed += print_table(label, t, truth, pairs, bool(sizes) and cs != sizes[0])
            sys.stdout.flush()
    print("\ngoals missed: %s" % ("none" if not missed else ""))
    for m in missed:
        print("  " + m)


if __name__ == "__main__":
    main()
