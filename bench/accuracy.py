#!/usr/bin/env python3
"""Accuracy of the early estimates on data sets of known dedupe structure.

usage: accuracy.py PELKO REFERENCE [--chunks N] [--work DIR]

For each data set it runs pelko with a report file, reads every report row,
and prints for 1, 2, 5, 10, 20 and 50 % progress the dedupe estimate's
relative error against the true ratio (from the reference program) and
whether the truth lies within [low, high].
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
GEN = os.path.join(HERE, "..", "scripts", "gen_dataset.py")
STEPS = [1, 2, 5, 10, 20, 50]


def rows(report):
    """Yields (progress %, low, dedupe, high) for every report row."""
    for line in open(report, encoding="utf-8", errors="replace"):
        f = [x for x in line.rstrip("\n").split("\t") if x != ""]
        if len(f) < 5 or not f[0].endswith("s."):
            continue
        m = re.search(r"\(([0-9.eE+-]+)%\)", f[1])
        if not m:
            continue
        i = next((k for k, x in enumerate(f) if x.endswith("GiB")), None)
        if i is None or len(f) < i + 4:
            continue
        low, mid, high = f[i + 1], f[i + 2], f[i + 3]
        try:
            lo = float(low)
            hi = float(high)
        except ValueError:
            continue
        est = lo if mid == "<--" else hi if mid == "-->" else float(mid)
        yield float(m.group(1)), lo, est, hi


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("pelko")
    ap.add_argument("reference")
    ap.add_argument("--chunks", type=int, default=16384)
    ap.add_argument("--work", default=None)
    a = ap.parse_args()
    work = a.work or tempfile.mkdtemp(prefix="pelko-acc-")
    print("data set     truth   " + "  ".join("%5d%% err  in" % s for s in STEPS))
    for kind in ["distinct", "twice", "zipf", "halfcomp"]:
        ds = os.path.join(work, kind)
        if not os.path.isdir(ds):
            subprocess.run([sys.executable, GEN, kind, ds, "--chunks",
                            str(a.chunks), "--seed", "3"], check=True)
        ref = subprocess.run([a.reference, "16384", ds], check=True,
                             capture_output=True, text=True).stdout
        truth = float(re.search(r"^all dedupe=([0-9.eE+-]+)", ref, re.M).group(1))
        out = os.path.join(work, kind + ".report")
        subprocess.run([a.pelko, "-p", ds, "-t", "2", "-o", out],
                       check=True, stdout=subprocess.DEVNULL)
        all_rows = list(rows(out))
        cells = []
        for s in STEPS:
            r = next((x for x in all_rows if x[0] >= s), None)
            if r is None:
                cells.append("   n/a      ")
                continue
            _, lo, est, hi = r
            err = (est - truth) / truth * 100
            inside = lo - 1e-9 <= truth <= hi + 1e-9
            cells.append("%+6.2f%% %s" % (err, " yes" if inside else "  NO"))
        print("%-10s %7.4f   %s" % (kind, truth, "  ".join(cells)))
    if not a.work:
        shutil.rmtree(work)


if __name__ == "__main__":
    main()
