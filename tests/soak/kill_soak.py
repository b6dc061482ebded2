#!/usr/bin/env python3
"""kill -9 soak: relamor killed at random moments, then rerun on the same new directory.

Builds an installation whose site databases are large enough that SQLite's
page cache spills to the file during a transaction (the generator of
bench/run.py: an old main database with --sites sites, each site database
with --rows item rows). One clean conversion of a fresh copy of the new
directory is the reference. Then, until --kills kills or --minutes minutes:
a fresh copy of the new directory is converted, and the run is killed with
SIGKILL after a random delay (seeded by --seed) within the reference run's
duration. The kills take turns between three kinds of run:
  fresh            the first run on a fresh copy of the new directory
  repeat           a repeat of a successful conversion, nothing changed since
  forced repeat    a row added to a site database after a successful
                   conversion: a plain repeat must be refused (exit 76, no
                   file of the new directory changed); the killed run and its
                   rerun use --again
After each kill:
  corrupt          a new database (with its journal, on a scratch copy) fails
                   PRAGMA integrity_check
  old changed      the old directory gained, lost or changed a file
  true after kill  RelamorResult holds "True"
  reruns failed    a rerun on the same new directory did not exit 0 with
                   "True", the reference's log and every table's rows
  repeats not refused  a plain repeat after the change did not exit 76, or
                   changed a file of the new directory
A run that ended before its kill is not counted. The last line is
  N kills, N corrupt, N old changed, N true after kill, N reruns failed,
  N repeats not refused
and the exit status is 1 when any count but the kills is not 0.

Usage: python3 tests/soak/kill_soak.py [--bin build/relamor] [--kills 200] [--minutes 15]
                                       [--seed 1] [--sites 4] [--rows 30000] [--keep]
"""

import argparse
import hashlib
import importlib.util
import os
import random
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time

REPO_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
KEY_PATH = os.path.join("HKEY_LOCAL_MACHINE", "SOFTWARE", "Kestrun", "Tervanis")


def load_generator():
    spec = importlib.util.spec_from_file_location(
        "relamor_bench", os.path.join(REPO_ROOT, "bench", "run.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def tree_digest(folder):
    """Names, sizes and bytes of every file below `folder`."""
    digest = hashlib.sha1()
    for root, dirs, files in os.walk(folder):
        dirs.sort()
        for name in sorted(files):
            path = os.path.join(root, name)
            digest.update(os.path.relpath(path, folder).encode() + b"\0")
            with open(path, "rb") as f:
                digest.update(hashlib.sha1(f.read()).digest())
    return digest.hexdigest()


def databases(folder):
    return sorted(n for n in os.listdir(folder) if n.endswith(".mdb"))


def content(folder):
    """Every table's rows of every database in `folder`, in rowid order."""
    result = {}
    for name in databases(folder):
        con = sqlite3.connect(f"file:{os.path.join(folder, name)}?mode=ro", uri=True)
        try:
            tables = [r[0] for r in con.execute(
                "SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name")]
            for table in tables:
                digest = hashlib.sha1()
                for row in con.execute(f'SELECT * FROM "{table}" ORDER BY rowid'):
                    digest.update(repr(row).encode())
                result[(name, table)] = digest.hexdigest()
        finally:
            con.close()
    return result


def sound(folder, scratch):
    """Whether every database of `folder` passes the integrity check, read on
    a copy (with any journal left beside it) so that the check's own rollback
    of a hot journal leaves `folder` as the kill left it."""
    check = os.path.join(scratch, "check")
    shutil.rmtree(check, ignore_errors=True)
    os.makedirs(check)
    for name in os.listdir(folder):
        path = os.path.join(folder, name)
        if os.path.isfile(path) and ".mdb" in name:
            shutil.copyfile(path, os.path.join(check, name))
    for name in databases(check):
        try:
            con = sqlite3.connect(os.path.join(check, name))
            try:
                verdict = con.execute("PRAGMA integrity_check").fetchall()
            finally:
                con.close()
        except sqlite3.Error as e:
            print(f"  {name}: {e}", file=sys.stderr)
            return False
        if verdict != [("ok",)]:
            print(f"  {name}: {verdict[:3]}", file=sys.stderr)
            return False
    return True


class Soak:
    def __init__(self, args, scratch):
        self.args = args
        self.scratch = scratch
        self.registry = os.path.join(scratch, "registry")
        self.result = os.path.join(self.registry, KEY_PATH, "RelamorResult")
        os.makedirs(os.path.dirname(self.result))
        self.old = os.path.join(scratch, "old")
        self.pristine = os.path.join(scratch, "pristine-new")
        self.new = os.path.join(scratch, "new")

    def start(self, options=()):
        if os.path.exists(self.result):
            os.remove(self.result)
        return subprocess.Popen(
            [self.args.bin, *options, f"{self.old}/,{self.new}/"],
            env=dict(os.environ, RELAMOR_REGISTRY=self.registry),
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, cwd=self.scratch)

    def value(self):
        if not os.path.exists(self.result):
            return None
        with open(self.result) as f:
            return f.read()

    def fresh_new(self):
        shutil.rmtree(self.new, ignore_errors=True)
        shutil.copytree(self.pristine, self.new)

    def log(self):
        path = os.path.join(self.new, "RelamorLog.txt")
        return open(path, "rb").read() if os.path.exists(path) else b""

    def run(self):
        gen = load_generator()
        t = time.monotonic()
        gen.make_sites(self.old, self.pristine, self.args.sites, self.args.rows, gen.DATA_SETS[0])
        print(f"generated {self.args.sites} sites of {self.args.rows} rows in "
              f"{time.monotonic() - t:.1f} s", flush=True)
        old_digest = tree_digest(self.old)

        self.fresh_new()
        t = time.monotonic()
        proc = self.start()
        _, err = proc.communicate()
        duration = time.monotonic() - t
        if proc.returncode != 0 or self.value() != "True":
            sys.exit(f"reference run failed: exit {proc.returncode}, {self.value()!r}, "
                     f"{err.decode(errors='replace')}")
        reference = content(self.new)
        reference_log = self.log()
        print(f"reference run: {duration:.2f} s, {len(reference)} tables", flush=True)

        rng = random.Random(self.args.seed)
        kills = corrupt = old_changed = true_after = reruns_failed = not_refused = 0
        converted = True  # the new directory holds a successful conversion
        deadline = time.monotonic() + self.args.minutes * 60
        while kills < self.args.kills and time.monotonic() < deadline:
            kind = kills % 3
            options = ()
            if kind == 0 or not converted:
                self.fresh_new()
            elif kind == 2:
                # The installation in use: a row added to a site database.
                site = os.path.join(self.new, [n for n in databases(self.new)
                                               if n.startswith("qord0")][0])
                con = sqlite3.connect(site)
                con.execute("INSERT INTO boards (boardID) VALUES (999999)")
                con.commit()
                con.close()
                before = tree_digest(self.new)
                refused = self.start()
                refused.communicate()
                if refused.returncode != 76 or tree_digest(self.new) != before:
                    not_refused += 1
                    print(f"repeat after a change: exit {refused.returncode}", flush=True)
                options = ("--again",)
            delay = rng.uniform(0, duration)
            proc = self.start(options)
            time.sleep(delay)
            proc.send_signal(signal.SIGKILL)
            proc.communicate()
            if proc.returncode != -signal.SIGKILL:
                converted = proc.returncode == 0
                continue  # it ended before the kill
            kills += 1
            problems = []
            if not sound(self.new, self.scratch):
                corrupt += 1
                problems.append("corrupt")
            if tree_digest(self.old) != old_digest:
                old_changed += 1
                problems.append("old changed")
                sys.exit(f"kill {kills}: the old directory changed; stopping")
            if self.value() == "True":
                true_after += 1
                problems.append("true after kill")
            rerun = self.start(options)
            _, err = rerun.communicate()
            converted = rerun.returncode == 0
            if (rerun.returncode != 0 or self.value() != "True" or self.log() != reference_log
                    or content(self.new) != reference):
                reruns_failed += 1
                problems.append(f"rerun failed (exit {rerun.returncode}, {self.value()!r}: "
                                f"{err.decode(errors='replace').strip()[:200]})")
            if problems:
                print(f"kill {kills} after {delay:.3f} s: {'; '.join(problems)}", flush=True)
        print(f"{kills} kills, {corrupt} corrupt, {old_changed} old changed, "
              f"{true_after} true after kill, {reruns_failed} reruns failed, "
              f"{not_refused} repeats not refused", flush=True)
        return 1 if corrupt or old_changed or true_after or reruns_failed or not_refused else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin", default=os.path.join(REPO_ROOT, "build", "relamor"))
    parser.add_argument("--kills", type=int, default=200)
    parser.add_argument("--minutes", type=float, default=15)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--sites", type=int, default=4)
    parser.add_argument("--rows", type=int, default=30000)
    parser.add_argument("--keep", action="store_true", help="keep the scratch folder")
    args = parser.parse_args()
    args.bin = os.path.abspath(args.bin)
    scratch = tempfile.mkdtemp(prefix="relamor-soak-")
    try:
        status = Soak(args, scratch).run()
    finally:
        if args.keep:
            print(f"kept {scratch}")
        else:
            shutil.rmtree(scratch, ignore_errors=True)
    return status


if __name__ == "__main__":
    sys.exit(main())
