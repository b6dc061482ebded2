#!/usr/bin/env python3
"""Deliberate faults: each is applied alone to a copy of the tree, which is
built and run through the tests that cover it. One line per fault:

  caught  NAME  by TEST (+N more failing)
  MISSED  NAME  (FILTER passed)
  NO BUILD NAME

Before anything is built, every fault's snippets are looked up: a snippet
that no longer stands exactly once in its file stops the script with the
fault's name and file (the fault must then be rewritten to today's code).
The unchanged copy is built and its covering tests run first: they must
pass, and every fault's test filter must name at least one test.

Usage: scripts/mutants.sh [-j N] [--list] [NAME ...]
  NAME   run only the faults whose names contain NAME (all when none)
  -j N   build jobs (default 2)
  --list print the faults and check their snippets, build nothing

Exit status 0 when every fault run was caught, 1 otherwise, 2 when a snippet
is stale or the unchanged tree fails.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def fault(area, name, path, edits, tests):
    """`edits`: (exact snippet, replacement) pairs, each standing once in `path`."""
    return {"area": area, "name": name, "path": path, "edits": edits, "tests": tests}


FAULTS = [
    # The copy (toolkit/copy).
    fault("copy", "numbering off by one", "toolkit/copy/table_copy.cpp",
          [("return static_cast<std::int16_t>(row_number + 1);",
            "return static_cast<std::int16_t>(row_number + 2);")],
          "Strategy/*:SampleConversion*"),
    fault("copy", "customer link skips a number", "toolkit/copy/table_copy.cpp",
          [("  ++io_.last_customer_number;\n", "  io_.last_customer_number += 2;\n")],
          "Strategy/CustomerLink*:Strategy/Relamor2035*"),
    fault("copy", "rows read counted twice", "toolkit/copy/table_copy.cpp",
          [("    ++result_.rows_read;\n    ++result_.rows_added;\n    old_rows.MoveNext();",
            "    result_.rows_read += 2;\n    ++result_.rows_added;\n    old_rows.MoveNext();")],
          "Strategy/*:SampleConversion*:CopyDifferential*"),
    # The shortcuts (toolkit/db/bulk_append.cpp, the set-based forms).
    fault("shortcut", "append shortcut declines always", "toolkit/db/bulk_append.cpp",
          [("  if (columns.empty()) return Decline(\"no column to write\");\n"
            "  const Declinable<StatementTables> tables = TablesOf(target_db, source, old_table, "
            "new_table);\n  if (!tables.stored()) return Decline(tables.reason());\n"
            "  if (tables.result().to->has_counter)",
            "  return Decline(\"no column to write\");\n"
            "  const Declinable<StatementTables> tables = TablesOf(target_db, source, old_table, "
            "new_table);\n  if (!tables.stored()) return Decline(tables.reason());\n"
            "  if (tables.result().to->has_counter)")],
          "BulkAppend*:EveryPath/*:SampleConversion*:Strategy/CopyModes*"),
    fault("shortcut", "fit check accepts everything", "toolkit/db/bulk_append.cpp",
          [("  if (AlreadyFits(argv[0], kind, max_length)) {", "  if (true) {")],
          "BulkAppend*:EveryPath/*:Conversion*:FitCheck*"),
    fault("shortcut", "case-sensitive category match", "toolkit/text.h",
          [("    key += AsciiLower(c);\n    if (c == '\\0') break;",
            "    key += c;\n    if (c == '\\0') break;")],
          "Strategy/Exccs*:BulkAppend*:EveryPath/*"),
    fault("shortcut", "half-even rounding made half-up", "toolkit/db/types.cpp",
          [("const double rounded = RoundHalfEven(std::get<double>(number));",
            "const double rounded = std::round(std::get<double>(number));")],
          "Conversion*:TypesTest*:BulkAppend*:EveryPath/*"),
    fault("shortcut", "Yes/No stored as 1", "toolkit/db/types.cpp",
          [("return Value{std::int64_t{yes ? -1 : 0}};", "return Value{std::int64_t{yes ? 1 : 0}};")],
          "Conversion*:TypesTest*:BulkAppend*"),
    # The special writers (toolkit/writers).
    fault("writers", "placeholder customers start at the largest number",
          "toolkit/writers/customer_writer.cpp",
          [("        next_number = last_customer_number + 1;",
            "        next_number = last_customer_number;")],
          "Strategy/CustomerWriterTest*:Strategy/Relamor2035*"),
    fault("writers", "channel numbered from 0", "toolkit/writers/channel_writer.cpp",
          [("      const int number = written + 1;", "      const int number = written;")],
          "Strategy/ChannelWriterTest*:Strategy/Relamor2035*"),
    fault("writers", "prompt numbered from 0", "toolkit/writers/prompt_writer.cpp",
          [("Value{std::int64_t{written + 1}}", "Value{std::int64_t{written}}")],
          "Strategy/PromptWriterTest*:Strategy/Relamor2035*"),
    fault("writers", "modem one pass declines always", "toolkit/writers/connection_writers.cpp",
          [("  if (plan.failure || plan.moves.empty()) return Decline(\"the mapping lacks a row\");\n"
            "  std::vector<db::OrderedValue> values;",
            "  return Decline(\"forced\");\n  std::vector<db::OrderedValue> values;")],
          "Strategy/Relamor2035Test*"),
    fault("writers", "modem one pass keeps the first of a field stored twice",
          "toolkit/writers/connection_writers.cpp",
          [("      same->old_position = m.source_index;", "")],
          "Strategy/ConnectionWritersTest*"),
    # The run frame and its log (toolkit/run_frame.cpp, run_report.cpp).
    fault("run frame", "site passes sharing the customer counter run in parallel",
          "toolkit/site_workers.cpp",
          [("observer_ == nullptr && !site_passes_share_state_ && each_site_once &&",
            "observer_ == nullptr && each_site_once &&")],
          "Samples/SiteWorkersTest*"),
    fault("run frame", "a site listed twice converts in parallel", "toolkit/site_workers.cpp",
          [("observer_ == nullptr && !site_passes_share_state_ && each_site_once &&",
            "observer_ == nullptr && !site_passes_share_state_ && (each_site_once || true) &&")],
          "Samples/SiteWorkersTest*"),
    fault("run frame", "stop signal ignored", "toolkit/run_frame.cpp",
          [("  const int signal_number = g_stop_signal;\n  if (signal_number == 0) return;",
            "  const int signal_number = 0;\n  if (signal_number == 0) return;")],
          "All/Faults*:Faults/*:RunFrameTest*"),
    fault("run frame", "a failed run exits with status 0", "toolkit/run_frame.cpp",
          [("  PrintReason(line);\n  return Finish(1, info);",
            "  PrintReason(line);\n  return Finish(0, info);")],
          "ErrorPath*:Faults/*:All/Faults*:RunFrameTest*"),
    fault("run frame", "logged table count off by one", "toolkit/run_report.cpp",
          [("      out += \"\\n\";\n      ++tables;\n      read += t.rows_read;",
            "      out += \"\\n\";\n      tables += 2;\n      read += t.rows_read;")],
          "SampleConversion*:Strategy/*:Progress*"),
    fault("run frame", "board renaming logs one record less", "relamor/board_types.cpp",
          [("\"Set Name according to new boardtype in\", boards.RecordCount(),",
            "\"Set Name according to new boardtype in\", boards.RecordCount() - 1,")],
          "SampleConversion*"),
    # The safe-rerun state (toolkit/safe_rerun.cpp).
    fault("safe rerun", "pristine restore skipped", "toolkit/safe_rerun.cpp",
          [("    folder.CopyOut(kMainDatabase, copy.identity, database);\n", "")],
          "Repeat*:All/Faults*:Strategy/DamagedOldDatabase*"),
    fault("safe rerun", "installer's fresh file after a failed run overwritten",
          "toolkit/safe_rerun.cpp",
          [("    if (left == nullptr || !now || now->SameFile(left->identity)) {\n"
            "      plan_ = Plan::kRestore;\n    } else {\n"
            "      notes_.push_back(database + \" was replaced since the last run; it is taken "
            "as it is\");\n    }\n",
            "    (void)left;\n    (void)now;\n    plan_ = Plan::kRestore;\n")],
          "Repeat*:All/Faults*:Status*"),
    # The Jet reader (toolkit/db/jet_reader.cpp).
    fault("jet", "moved row read only when deleted", "toolkit/db/jet_reader.cpp",
          [("        if (!deleted) crack(start, length, at_page, at_row);",
            "        if (deleted) crack(start, length, at_page, at_row);")],
          "JetFile*:JetCorpus*:JetSite*"),
    fault("jet", "overflow row read out of order", "toolkit/db/jet_reader.cpp",
          [("        if (flags & kRowDeleted) continue;\n"
            "        if (!(flags & kRowMoved)) {\n"
            "          crack(start, length, page, row);\n"
            "          continue;\n"
            "        }\n",
            "        if (flags == kRowDeleted) {  // moved in: read where it is stored\n"
            "          crack(start, length, page, row);\n"
            "          continue;\n"
            "        }\n"
            "        if (flags & kRowDeleted) continue;\n"
            "        if (!(flags & kRowMoved)) {\n"
            "          crack(start, length, page, row);\n"
            "          continue;\n"
            "        }\n"
            "        continue;\n")],
          "JetFile*:JetCorpus*:JetSite*"),
]


def stale(faults, root):
    """The faults whose snippets do not stand exactly once in their file."""
    out = []
    for f in faults:
        target = os.path.join(root, f["path"])
        text = open(target, encoding="utf-8").read() if os.path.exists(target) else None
        for snippet, _ in f["edits"]:
            found = 0 if text is None else text.count(snippet)
            if found != 1:
                out.append(f"{f['name']}: {f['path']}: a snippet stands {found} times "
                           f"(first line: {snippet.strip().splitlines()[0]!r})")
    return out


def run(cmd, cwd, log):
    with open(log, "a") as out:
        out.write("$ " + " ".join(cmd) + "\n")
        out.flush()
        return subprocess.run(cmd, cwd=cwd, stdout=out, stderr=subprocess.STDOUT).returncode


def gtest(tree, test_filter, *extra):
    return subprocess.run([os.path.join(tree, "build", "relamor_tests"),
                           "--gtest_filter=" + test_filter, *extra],
                          cwd=tree, capture_output=True, text=True)


def main():
    parser = argparse.ArgumentParser(description="Deliberate faults, each built and tested alone.")
    parser.add_argument("names", nargs="*")
    parser.add_argument("-j", type=int, default=2, dest="jobs")
    parser.add_argument("--list", action="store_true")
    args = parser.parse_args()
    faults = [f for f in FAULTS if not args.names or any(n in f["name"] for n in args.names)]
    if not faults:
        sys.exit("no fault is named " + " or ".join(args.names))
    problems = stale(faults, ROOT)
    if problems:
        print("STALE: these faults no longer match the code and must be rewritten:",
              file=sys.stderr)
        for p in problems:
            print("  " + p, file=sys.stderr)
        sys.exit(2)
    if args.list:
        for f in faults:
            print(f"{f['area']:<11} {f['name']}  ({f['path']}; tests {f['tests']})")
        return

    work = tempfile.mkdtemp(prefix="relamor-mutants-")
    os.chmod(work, 0o755)  # the file-mode faults run the programs as an unprivileged user
    tree = os.path.join(work, "tree")
    shutil.copytree(ROOT, tree, ignore=shutil.ignore_patterns("build", "build-*", ".git",
                                                               "__pycache__"))
    log = os.path.join(work, "log.txt")
    # The copy lies elsewhere than the worktree: ccache hashes paths relative
    # to the build directory, so the copy's objects are found in the cache.
    os.environ["CCACHE_BASEDIR"] = "/"
    os.environ.setdefault("CCACHE_NOHASHDIR", "true")
    build = ["cmake", "--build", "build", "-j", str(args.jobs), "--target", "relamor_tests"]
    if (run(["cmake", "-S", ".", "-B", "build", "-DRELAMOR_WERROR=ON", "-DRELAMOR_TESTS=ON",
             "-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"], tree, log) or run(build, tree, log)):
        print("the unchanged tree does not build: see " + log, file=sys.stderr)
        sys.exit(2)
    for f in faults:
        listed = gtest(tree, f["tests"], "--gtest_list_tests").stdout
        if not re.search(r"^  ", listed, re.M):
            print(f"the tests of '{f['name']}' ({f['tests']}) name no test", file=sys.stderr)
            sys.exit(2)
    union = ":".join(sorted({part for f in faults for part in f["tests"].split(":")}))
    baseline = gtest(tree, union, "--gtest_brief=1")
    if baseline.returncode != 0:
        print("the unchanged tree fails its tests:\n" + baseline.stdout[-3000:], file=sys.stderr)
        sys.exit(2)

    missed = 0
    for f in faults:
        target = os.path.join(tree, f["path"])
        original = open(target, encoding="utf-8").read()
        changed = original
        for snippet, replacement in f["edits"]:
            changed = changed.replace(snippet, replacement, 1)
        open(target, "w", encoding="utf-8").write(changed)
        try:
            if run(build, tree, log):
                print(f"NO BUILD {f['name']}  (see {log})", flush=True)
                missed += 1
                continue
            result = gtest(tree, f["tests"], "--gtest_brief=1")
            failed = list(dict.fromkeys(
                re.findall(r"^\[  FAILED  \] ([^\s,]+)", result.stdout, re.M)))
            if result.returncode != 0 and failed:
                more = f" (+{len(failed) - 1} more failing)" if len(failed) > 1 else ""
                print(f"caught   {f['name']}  by {failed[0]}{more}", flush=True)
            elif result.returncode != 0:
                print(f"caught   {f['name']}  (the tests ended with status "
                      f"{result.returncode})", flush=True)
            else:
                print(f"MISSED   {f['name']}  ({f['tests']} passed)", flush=True)
                missed += 1
        finally:
            open(target, "w", encoding="utf-8").write(original)
    print(f"{len(faults) - missed} of {len(faults)} faults caught", flush=True)
    if missed:
        print("log of the builds: " + log, flush=True)
    else:
        shutil.rmtree(work, ignore_errors=True)
    sys.exit(1 if missed else 0)


if __name__ == "__main__":
    main()
