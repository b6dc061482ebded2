#!/usr/bin/env python3
"""Benchmark of planning over a large mapping table.

For each size N of --mappings (default 25000,100000) it builds an old and a
new installation whose new main database's `export` holds N mapping rows: N /
--fields tables (default 200 fields each) that keep their names, one old row
each. relamor then converts it, once with --check (planning and checking, no
copy) and once for real; both must succeed. It prints the seconds of each
and, for consecutive sizes, the growth exponent log(t2/t1)/log(N2/N1): about
1 when planning is linear or n log n in the mapping's rows, 2 when quadratic.

Usage: python3 bench/plan.py [--bin build/relamor] [--mappings 25000,100000]
                             [--fields 200] [--scratch /tmp/relamor-plan]
The last line is: plan_seconds=<N>:<check s>/<run s>,... plan_exponent=<x>
"""

import argparse
import math
import os
import shutil
import sqlite3
import subprocess
import sys
import time

REPO_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
KEY_PATH = os.path.join("HKEY_LOCAL_MACHINE", "SOFTWARE", "Kestrun", "Tervanis")


def build(root, mappings, fields):
    shutil.rmtree(root, ignore_errors=True)
    for sub in ("old", "new", os.path.join("registry", KEY_PATH)):
        os.makedirs(os.path.join(root, sub))
    tables = max(1, mappings // fields)
    cols = [f"f{k}" for k in range(fields)]
    for side in ("old", "new"):
        con = sqlite3.connect(os.path.join(root, side, "qorsite.mdb"))
        con.executescript(
            "CREATE TABLE qorreleases (no LONG, productname TEXT(10), servicepack LONG,"
            " buildno LONG);"
            "INSERT INTO qorreleases VALUES (1, '3.0', 0, 1);"
            "INSERT INTO qorreleases VALUES (2, '3.5', 0, 1);"
            "CREATE TABLE sites (siteID LONG, Name TEXT(50));"
            "CREATE TABLE customers (custID LONG, siteID LONG);")
        for t in range(tables):
            con.execute(f"CREATE TABLE t{t} (" + ", ".join(c + " TEXT" for c in cols) + ")")
            if side == "old":
                con.execute(f"INSERT INTO t{t} VALUES (" + ", ".join("'v'" for _ in cols) + ")")
        if side == "old":
            con.execute("CREATE TABLE export3035 (x LONG)")
        else:
            con.execute("CREATE TABLE export (sno LONG, oldtablename TEXT(64),"
                        " olddbfieldname TEXT(64), newtablename TEXT(64), newdbfieldname TEXT(64),"
                        " autonumber YESNO, releaseversion LONG)")
            con.executemany("INSERT INTO export VALUES (?, ?, ?, ?, ?, 0, 1)",
                            ((t + 1, f"t{t}", c, f"t{t}", c) for t in range(tables) for c in cols))
        con.commit()
        con.close()
    shutil.copyfile(os.path.join(root, "new", "qorsite.mdb"),
                    os.path.join(root, "new", "qordxxx.mdb"))


def timed(binary, root, check):
    args = [binary] + (["--check"] if check else []) + [f"{root}/old/,{root}/new/"]
    t = time.monotonic()
    proc = subprocess.run(args, env=dict(os.environ, RELAMOR_REGISTRY=os.path.join(root, "registry")),
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    seconds = time.monotonic() - t
    if proc.returncode != 0:
        sys.exit(f"relamor {'--check ' if check else ''}failed (exit {proc.returncode}): "
                 f"{proc.stderr.decode(errors='replace').strip()[:300]}")
    return seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin", default=os.path.join(REPO_ROOT, "build", "relamor"))
    parser.add_argument("--mappings", default="25000,100000")
    parser.add_argument("--fields", type=int, default=200)
    parser.add_argument("--scratch", default="/tmp/relamor-plan")
    args = parser.parse_args()
    sizes = sorted({int(n) for n in args.mappings.split(",") if n.strip()})
    results = []
    for n in sizes:
        root = os.path.join(args.scratch, str(n))
        build(root, n, args.fields)
        check = timed(os.path.abspath(args.bin), root, True)
        run = timed(os.path.abspath(args.bin), root, False)
        results.append((n, check, run))
        print(f"{n:>8} mapping rows: --check {check:7.2f} s, run {run:7.2f} s", flush=True)
    shutil.rmtree(args.scratch, ignore_errors=True)
    exponent = "-"
    if len(results) >= 2:
        (n1, c1, _), (n2, c2, _) = results[-2], results[-1]
        exponent = f"{math.log(c2 / c1) / math.log(n2 / n1):.2f}"
    print("plan_seconds=" + ",".join(f"{n}:{c:.2f}/{r:.2f}" for n, c, r in results) +
          f" plan_exponent={exponent}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
