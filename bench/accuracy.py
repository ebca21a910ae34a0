#!/usr/bin/env python3
"""Accuracy of the dedupe estimate over many read orders and data shapes.

usage: accuracy.py PELKO REFERENCE [--seeds N] [--work DIR] [--shapes a,b]
                   [--real-tree DIR] [--jobs J]

For every data shape it runs pelko once per seed (--seed 1 .. N, -t 2,
compression off, which does not change the dedupe figures), reads the report
file's rows and prints, at 1, 2, 5, 10, 20, 50 and 100 % progress:

  cover   share of runs whose true ratio lies in [low, high]; a blank bound
          counts as unbounded
  blank   share of runs with a blank low or high
  width   median of (high - low) / truth over the runs with both bounds
  err     mean signed relative error of the DEDUPE column
  |err|   mean absolute relative error
  spread  highest minus lowest estimate over the runs, / truth

then checks the goals and lists those missed. The true ratio comes from the
reference program, which shares no code with pelko. Data sets are made once
in the work directory (default /tmp/pelko_accuracy, about 6 GiB) and kept.
"""
import argparse
import concurrent.futures
import json
import os
import re
import shutil
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
GEN = os.path.join(HERE, "..", "scripts", "gen_dataset.py")
STEPS = [1, 2, 5, 10, 20, 50, 100]


def gen(kind, out, chunks, chunk_size=16384, seed=3):
    if not os.path.isdir(out):
        subprocess.run([sys.executable, GEN, kind, out + ".tmp", "--chunks",
                        str(chunks), "--chunk-size", str(chunk_size), "--seed",
                        str(seed)], check=True)
        os.rename(out + ".tmp", out)
    return out


def fs_images(out, tree="/usr/share/doc"):
    """Two ext4 images made from one tree."""
    if not os.path.isdir(out):
        os.makedirs(out + ".tmp", exist_ok=True)
        for i in (1, 2):
            subprocess.run(["mke2fs", "-q", "-F", "-t", "ext4", "-d", tree,
                            os.path.join(out + ".tmp", "img%d.ext4" % i),
                            "200M"], check=True)
        os.rename(out + ".tmp", out)
    return out


# name -> (what it is, maker(work dir, args) -> path, chunk size, pelko options)
SHAPES = {
    "distinct": ("all distinct", lambda w, a: gen("distinct", os.path.join(w, "distinct"), 16384),
                 16384, []),
    "twice": ("every content twice, spread at random",
              lambda w, a: gen("twice", os.path.join(w, "twice"), 16384), 16384, []),
    "fifty": ("2,000 contents, each 50 times (-c 4K)",
              lambda w, a: gen("fifty", os.path.join(w, "fifty"), 100000, 4096),
              4096, ["-c", "4K"]),
    "zipf": ("Zipf-like law of copies, 5 % zero chunks",
             lambda w, a: gen("zipf", os.path.join(w, "zipf"), 16384), 16384, []),
    "versions": ("whole files copied between five version directories",
                 lambda w, a: gen("versions", os.path.join(w, "versions"), 6000),
                 16384, []),
    "fsimages": ("two file-system images made from one tree (mke2fs -d)",
                 lambda w, a: fs_images(os.path.join(w, "fsimages")), 16384, []),
    "realtree": ("a real tree of this machine (--real-tree)",
                 lambda w, a: a.real_tree, 16384, []),
    "big": ("five version directories, 2.9 GiB, -c 4K -b 56K (53,366 buckets)",
            lambda w, a: gen("versions", os.path.join(w, "bigversions"), 160000, 4096, 5),
            4096, ["-c", "4K", "-b", "56K"]),
}
BIG = "big"


def truth_of(reference, chunk_size, path, work, name):
    cache = os.path.join(work, "truth.json")
    known = json.load(open(cache)) if os.path.exists(cache) else {}
    key = "%s %d %s" % (name, chunk_size, path)
    if key not in known:
        out = subprocess.run([reference, str(chunk_size), path], check=True,
                             capture_output=True, text=True).stdout
        truth = float(re.search(r"^all dedupe=([0-9.eE+-]+)", out, re.M).group(1))
        if not truth > 0:
            sys.exit("no chunk found below %s" % path)
        known[key] = truth
        json.dump(known, open(cache, "w"), indent=1)
    return known[key]


def number(field):
    try:
        return float(field)
    except ValueError:
        return None


def rows(report):
    """(progress %, low, estimate, high) of every row; None for a blank."""
    out = []
    for line in open(report, encoding="utf-8", errors="replace"):
        f = line.rstrip("\n").split("\t")
        if not f or not f[0].endswith("s."):
            continue
        m = re.search(r"\(([0-9.eE+-]+)%\)", line)
        mem = next((k for k, x in enumerate(f) if x.endswith("GiB")), None)
        if not m or mem is None:
            continue
        cells = [x for x in f[mem + 1:] if x != ""]
        if len(cells) < 3:
            continue
        low, mid, high = number(cells[0]), cells[1], number(cells[2])
        est = low if mid == "<--" else high if mid == "-->" else number(mid)
        if est is None:
            continue
        out.append((float(m.group(1)), low, est, high))
    return out


def run_one(pelko, path, options, seed, report):
    subprocess.run([pelko, "-p", path, "-t", "2", "-e", "no-compress",
                    "--seed", str(seed), "-o", report] + options, check=True,
                   stdout=subprocess.DEVNULL)
    r = rows(report)
    os.unlink(report)
    picked = {}
    for s in STEPS:
        picked[s] = next((x for x in r if x[0] >= s - 1e-9), r[-1] if r else None)
    return picked


def summarise(truth, runs):
    table = {}
    for s in STEPS:
        got = [r[s] for r in runs if r.get(s)]
        cover = blank = 0
        widths, errs, ests = [], [], []
        for _, low, est, high in got:
            # Within the report file's six significant digits.
            inside = (low is None or low <= truth * (1 + 1e-5)) and \
                     (high is None or high >= truth * (1 - 1e-5))
            cover += inside
            blank += low is None or high is None
            if low is not None and high is not None:
                widths.append((high - low) / truth)
            errs.append((est - truth) / truth)
            ests.append(est)
        n = max(1, len(got))
        table[s] = dict(
            cover=100.0 * cover / n, blank=100.0 * blank / n,
            width=statistics.median(widths) if widths else float("nan"),
            err=100.0 * statistics.mean(errs) if errs else float("nan"),
            aerr=100.0 * statistics.mean(abs(e) for e in errs) if errs else float("nan"),
            spread=(max(ests) - min(ests)) / truth if ests else float("nan"))
    return table


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("pelko")
    ap.add_argument("reference")
    ap.add_argument("--seeds", type=int, default=20)
    ap.add_argument("--work", default="/tmp/pelko_accuracy")
    ap.add_argument("--shapes", default=",".join(SHAPES))
    ap.add_argument("--real-tree", default="/usr/share")
    ap.add_argument("--jobs", type=int, default=1)
    a = ap.parse_args()
    os.makedirs(a.work, exist_ok=True)
    missed = []
    for name in a.shapes.split(","):
        what, make, chunk_size, options = SHAPES[name]
        path = make(a.work, a)
        truth = truth_of(a.reference, chunk_size, path, a.work, name)
        with concurrent.futures.ThreadPoolExecutor(a.jobs) as pool:
            futures = [pool.submit(run_one, a.pelko, path, options, seed,
                                   os.path.join(a.work, "%s.%d.report" % (name, seed)))
                       for seed in range(1, a.seeds + 1)]
            runs = [f.result() for f in futures]
        t = summarise(truth, runs)
        print("\n%s: %s; true ratio %.4f; %d read orders" % (name, what, truth, a.seeds))
        print("  progress  cover  blank   width     err   |err|  spread%s" % (
            "  width/spread" if name == BIG else ""))
        for s in STEPS:
            c = t[s]
            ratio = ""
            if name == BIG and c["spread"] > 0:
                ratio = "  %12.2f" % (c["width"] / c["spread"])
            print("  %6d%%  %4.0f%%  %4.0f%%  %6.3f  %+5.1f%%  %5.1f%%  %6.3f%s" % (
                s, c["cover"], c["blank"], c["width"], c["err"], c["aerr"],
                c["spread"], ratio))
            if c["cover"] < 95:
                missed.append("%s at %d%%: truth inside the range in %.0f%% of runs" % (name, s, c["cover"]))
            if s >= 20 and c["blank"] > 0:
                missed.append("%s at %d%%: %.0f%% blank bounds" % (name, s, c["blank"]))
            if s >= 20 and abs(c["err"]) > 5:
                missed.append("%s at %d%%: mean signed error %+.1f%%" % (name, s, c["err"]))
            if name == BIG and 5 <= s < 100:
                if c["blank"] > 0:
                    missed.append("%s at %d%%: blank bounds" % (name, s))
                if c["width"] > 3 * c["spread"]:
                    missed.append("%s at %d%%: median width %.3f > 3 x spread %.3f" % (
                        name, s, c["width"], c["spread"]))
            if name == BIG and s == 50 and c["aerr"] > 2:
                missed.append("%s at 50%%: mean |error| %.1f%%" % (name, c["aerr"]))
            if s == 100 and (c["aerr"] > 1e-3 or c["width"] > 1e-5):
                missed.append("%s: final row not exact" % name)
        sys.stdout.flush()
    print("\ngoals missed: %s" % ("none" if not missed else ""))
    for m in missed:
        print("  " + m)


if __name__ == "__main__":
    main()
