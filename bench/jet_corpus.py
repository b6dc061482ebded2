#!/usr/bin/env python3
"""Reading the Jet corpus: relamor's Jet import against mdb-export.

Unpacks ../shared/jet-corpus/public.tar.xz (or the file given) into a scratch
folder and times, over every file of it:
  relamor     the corpus test (build/relamor_tests, JetCorpus.*) with
              RELAMOR_JET_CORPUS_READ_ONLY set: each file opened as an old
              database is (the whole import into SQLite) and every table read
  mdb-export  one mdb-export per table that mdb-tables lists, output discarded
Each is run --repeat times (default 5); the medians are printed, and the line
  jet_corpus_relamor_s=<x> jet_corpus_mdbexport_s=<y> ratio=<x/y>
Not run by CI.

Usage: python3 bench/jet_corpus.py [--corpus PATH] [--tests build/relamor_tests] [--repeat 5]
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

REPO_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--corpus", default=os.path.join(REPO_ROOT, "..", "shared", "jet-corpus",
                                                         "public.tar.xz"))
    parser.add_argument("--tests", default=os.path.join(REPO_ROOT, "build", "relamor_tests"))
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    if not os.path.exists(args.corpus):
        sys.exit("no Jet corpus at " + args.corpus)
    scratch = tempfile.mkdtemp(prefix="relamor-jet-bench-")
    try:
        subprocess.run(["tar", "xJf", args.corpus, "-C", scratch], check=True)
        files = sorted(os.path.join(scratch, f) for f in os.listdir(scratch)
                       if f.endswith((".mdb", ".accdb")))
        tables = []
        for f in files:
            out = subprocess.run(["mdb-tables", "-1", f], capture_output=True, text=True).stdout
            tables += [(f, t) for t in out.split("\n") if t]

        env = dict(os.environ, RELAMOR_JET_CORPUS=scratch, RELAMOR_JET_CORPUS_READ_ONLY="1",
                   TMPDIR=scratch)
        ours, theirs = [], []
        for _ in range(args.repeat):
            start = time.perf_counter()
            run = subprocess.run([args.tests, "--gtest_filter=JetCorpus.*"], env=env,
                                 capture_output=True, text=True)
            ours.append(time.perf_counter() - start)
            if run.returncode != 0:
                sys.exit("the corpus read failed:\n" + run.stdout[-3000:])
            start = time.perf_counter()
            for f, t in tables:
                subprocess.run(["mdb-export", f, t], stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
            theirs.append(time.perf_counter() - start)
        a, b = statistics.median(ours), statistics.median(theirs)
        print("%d files, %d tables, %d rounds" % (len(files), len(tables), args.repeat))
        print("relamor (open and read every table): %s" % " ".join("%.3f" % x for x in ours))
        print("mdb-export (every table):            %s" % " ".join("%.3f" % x for x in theirs))
        print("jet_corpus_relamor_s=%.3f jet_corpus_mdbexport_s=%.3f ratio=%.2f" % (a, b, a / b))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
