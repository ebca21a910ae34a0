#!/usr/bin/env python3
"""Accuracy of merged estimates: many hosts' exports against one run over all.

usage: merge_accuracy.py PELKO REFERENCE [--seeds N] [--work DIR] [--shapes a,b]
                         [--jobs J]

Every data shape is a set of host directories whose duplicates are mostly
across hosts. For every seed and every fraction (5, 10, 20, 50 %) it runs
pelko on each host with --stop-at and --export, merges the exports with
--merge and reads the merged final row; beside it, one run with all the host
directories as roots, read at the same fraction. Both are summarised as in
accuracy.py (cover, blank, width, err, |err|, spread over the seeds), and
complete runs (100 %) must merge to the exact ratio.

Two ways of running the hosts are compared:
  merged    each host reads in its own order (what pelko does by default
            when it exports)
  same      every host given the same --seed: hosts holding the same data
            then sample the same places, and the copies are seen together
            far more often than chance (why the default differs)
Compression is off, which does not change the dedupe figures.
"""
import argparse
import concurrent.futures
import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import accuracy  # noqa: E402

FRACTIONS = [5, 10, 20, 50, 100]


def versions(work):
    """Five version directories of one tree: each version is one host."""
    out = accuracy.gen("versions", os.path.join(work, "m_versions"), 6000)
    return [os.path.join(out, "v%d" % v) for v in range(1, 6)]


def clones(work):
    """Four hosts made from one image: the same 48 MiB on each, plus 16 MiB
    of their own."""
    out = os.path.join(work, "m_clones")
    if not os.path.isdir(out):
        base = accuracy.gen("distinct", os.path.join(work, "m_base"), 3000, seed=11)
        for h in range(4):
            own = accuracy.gen("distinct", os.path.join(work, "m_own%d" % h), 1000,
                               seed=20 + h)
            shutil.copytree(base, os.path.join(out + ".tmp", "h%d" % h, "image"))
            shutil.copytree(own, os.path.join(out + ".tmp", "h%d" % h, "own"))
        os.rename(out + ".tmp", out)
    return [os.path.join(out, "h%d" % h) for h in range(4)]


SHAPES = {
    "versions": ("five version directories, one per host", versions),
    "clones": ("four hosts from one image, a quarter of each their own", clones),
}
OPTIONS = ["-t", "2", "-e", "no-compress", "-b", "128K"]


def final_row(report):
    r = accuracy.rows(report)
    return r[-1] if r else None


def merged_run(pelko, hosts, seed, frac, same, work):
    exports = []
    for h, path in enumerate(hosts):
        ex = os.path.join(work, "h%d.pex" % h)
        s = seed if same else seed * 1000 + h
        stop = [] if frac == 100 else ["--stop-at", str(frac)]
        subprocess.run([pelko, "-p", path, "--seed", str(s), "--export", ex]
                       + stop + OPTIONS, check=True, stdout=subprocess.DEVNULL)
        exports.append(ex)
    report = os.path.join(work, "merged.report")
    subprocess.run([pelko, "--merge"] + exports + ["-o", report], check=True,
                   stdout=subprocess.DEVNULL)
    row = final_row(report)
    for f in exports + [report]:
        os.unlink(f)
    return row


def single_run(pelko, hosts, seed, frac, work):
    report = os.path.join(work, "single.report")
    roots = [x for h in hosts for x in ("-p", h)]
    stop = [] if frac == 100 else ["--stop-at", str(frac)]
    subprocess.run([pelko] + roots + ["--seed", str(seed), "-o", report] + stop
                   + OPTIONS, check=True, stdout=subprocess.DEVNULL)
    row = final_row(report)
    os.unlink(report)
    return row


def one_seed(pelko, hosts, seed, work):
    work = os.path.join(work, "seed%d" % seed)
    os.makedirs(work, exist_ok=True)
    out = {"merged": {}, "same": {}, "single": {}}
    for frac in FRACTIONS:
        out["merged"][frac] = merged_run(pelko, hosts, seed, frac, False, work)
        out["same"][frac] = merged_run(pelko, hosts, seed, frac, True, work)
        out["single"][frac] = single_run(pelko, hosts, seed, frac, work)
    shutil.rmtree(work)
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("pelko")
    ap.add_argument("reference")
    ap.add_argument("--seeds", type=int, default=20)
    ap.add_argument("--work", default="/tmp/pelko_accuracy")
    ap.add_argument("--shapes", default=",".join(SHAPES))
    ap.add_argument("--jobs", type=int, default=1)
    a = ap.parse_args()
    os.makedirs(a.work, exist_ok=True)
    accuracy.STEPS = FRACTIONS
    missed = []
    for name in a.shapes.split(","):
        what, make = SHAPES[name]
        hosts = make(a.work)
        # The reference reads every root below one directory.
        truth = accuracy.truth_of(a.reference, 16384, os.path.dirname(hosts[0]),
                                  a.work, "merge_" + name)
        with concurrent.futures.ThreadPoolExecutor(a.jobs) as pool:
            runs = list(pool.map(lambda s: one_seed(a.pelko, hosts, s, a.work),
                                 range(1, a.seeds + 1)))
        print("\n%s: %s; %d hosts; true ratio %.4f; %d read orders" % (
            name, what, len(hosts), truth, a.seeds))
        print("  progress  way      cover  blank   width     err   |err|  spread")
        tables = {way: accuracy.summarise(truth, [r[way] for r in runs])
                  for way in ("single", "merged", "same")}
        for frac in FRACTIONS:
            for way in ("single", "merged", "same"):
                c = tables[way][frac]
                print("  %6d%%  %-7s  %4.0f%%  %4.0f%%  %6.3f  %+5.1f%%  %5.1f%%  %6.3f" % (
                    frac, way, c["cover"], c["blank"], c["width"], c["err"],
                    c["aerr"], c["spread"]))
            m, s = tables["merged"][frac], tables["single"][frac]
            if frac == 100 and (m["aerr"] > 1e-3 or m["width"] > 1e-5):
                missed.append("%s: merged final row not exact" % name)
            elif frac < 100 and m["cover"] < min(95, s["cover"]):
                missed.append("%s at %d%%: merged range holds the truth in %.0f%% of runs"
                              " (single run %.0f%%)" % (name, frac, m["cover"], s["cover"]))
            elif frac < 100 and m["aerr"] > max(2 * s["aerr"], s["aerr"] + 2):
                missed.append("%s at %d%%: merged |error| %.1f%% against %.1f%% for one run"
                              % (name, frac, m["aerr"], s["aerr"]))
        sys.stdout.flush()
    print("\ngoals missed: %s" % ("none" if not missed else ""))
    for m in missed:
        print("  " + m)


if __name__ == "__main__":
    main()
