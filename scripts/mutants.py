#!/usr/bin/env python3
"""Deliberate faults: each is applied alone to a copy of the tree, which is
built and run through the tests that cover it. One line per fault:
"caught by <test>", "missed", "stale" (its snippet is no longer in the file,
so the fault must be rewritten) or "does not build".

Usage: scripts/mutants.sh [NAME ...]   (all faults when none is named)
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# name, file, exact snippet, replacement, gtest filter of the tests that cover it
FAULTS = [
    ("numbering off by one", "toolkit/copy/table_copy.cpp",
     "return static_cast<std::int16_t>(row_number + 1);",
     "return static_cast<std::int16_t>(row_number + 2);",
     "Strategy/*:SampleConversion*:Plans/*"),
    ("customer link skips a number", "toolkit/copy/table_copy.cpp",
     "  ++io_.last_customer_number;\n",
     "  io_.last_customer_number += 2;\n",
     "Strategy/CustomerLink*:Strategy/CustomerWriterTest*"),
    ("rows read counted twice", "toolkit/copy/table_copy.cpp",
     "    ++result_.rows_read;\n    ++result_.rows_added;\n    old_rows.MoveNext();",
     "    result_.rows_read += 2;\n    ++result_.rows_added;\n    old_rows.MoveNext();",
     "SampleConversion*:Strategy/*"),
    ("shortcut declines always", "toolkit/db/bulk_append.cpp",
     "  if (!target_db.is_open() || !source.is_open()) return std::nullopt;\n  StatementTables t;",
     "  return std::nullopt;\n  StatementTables t;",
     "BulkAppend*:EveryPath/*:Conversion*"),
    ("fit check accepts everything", "toolkit/db/bulk_append.cpp",
     "  if (AlreadyFits(argv[0], kind, max_length)) {",
     "  if (true) {",
     "BulkAppend*:EveryPath/*:Conversion*:FitCheck*"),
    ("case-sensitive category match", "toolkit/text.h",
     "    key += AsciiLower(c);\n    if (c == '\\0') break;",
     "    key += c;\n    if (c == '\\0') break;",
     "Strategy/Exccs*:StatementsTest*"),
    ("placeholder customers start at the largest number", "toolkit/writers/customer_writer.cpp",
     "        next_number = last_customer_number + 1;",
     "        next_number = last_customer_number;",
     "Strategy/CustomerWriterTest*"),
    ("channel numbered from 0", "toolkit/writers/channel_writer.cpp",
     "      const int number = written + 1;",
     "      const int number = written;",
     "Strategy/ChannelWriterTest*"),
    ("prompt numbered from 0", "toolkit/writers/prompt_writer.cpp",
     "Value{std::int64_t{written + 1}}",
     "Value{std::int64_t{written}}",
     "Strategy/PromptWriterTest*"),
    ("logged table count off by one", "toolkit/run_report.cpp",
     "      out += \"\\n\";\n      ++tables;\n      read += t.rows_read;",
     "      out += \"\\n\";\n      tables += 2;\n      read += t.rows_read;",
     "SampleConversion*:Strategy/*:Progress*"),
    ("board renaming logs one record less", "relamor/board_types.cpp",
     "\"Set Name according to new boardtype in\", boards.RecordCount(),",
     "\"Set Name according to new boardtype in\", boards.RecordCount() - 1,",
     "SampleConversion*"),
    ("pristine restore skipped", "toolkit/safe_rerun.cpp",
     "    platform::CopyFileReplacing(kept.copy, kept.database);\n",
     "",
     "SafeRerun*:All/Faults*"),
    ("stop signal ignored", "toolkit/run_frame.cpp",
     "  const int signal_number = g_stop_signal;\n  if (signal_number == 0) return;",
     "  const int signal_number = 0;\n  if (signal_number == 0) return;",
     "All/Faults*"),
    ("moved Jet row read from its old place", "toolkit/db/jet_reader.cpp",
     "        if (!deleted) crack(start, length, at_page, at_row);",
     "        if (deleted) crack(start, length, at_page, at_row);",
     "JetFile*:JetCorpus*:JetSite*"),
    ("half-even rounding made half-up", "toolkit/db/types.cpp",
     "const double rounded = RoundHalfEven(std::get<double>(number));",
     "const double rounded = std::round(std::get<double>(number));",
     "Conversion*:TypesTest*:BulkAppend*:EveryPath/*"),
    ("Yes/No stored as 1", "toolkit/db/types.cpp",
     "return Value{std::int64_t{yes ? -1 : 0}};", "return Value{std::int64_t{yes ? 1 : 0}};",
     "Conversion*:TypesTest*:BulkAppend*"),
]


def run(cmd, cwd, log):
    with open(log, "a") as out:
        return subprocess.run(cmd, cwd=cwd, stdout=out, stderr=subprocess.STDOUT).returncode


def main(names):
    faults = [f for f in FAULTS if not names or f[0] in names]
    work = tempfile.mkdtemp(prefix="relamor-mutants-")
    os.chmod(work, 0o755)  # the file-mode faults run the programs as an unprivileged user
    tree = os.path.join(work, "tree")
    shutil.copytree(ROOT, tree, ignore=shutil.ignore_patterns("build", ".git", "__pycache__"))
    env_build = os.path.join(tree, "build")
    log = os.path.join(work, "log.txt")
    os.environ.setdefault("CCACHE_BASEDIR", "/")
    os.environ.setdefault("CCACHE_NOHASHDIR", "true")
    if run(["cmake", "-S", ".", "-B", "build", "-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"], tree, log):
        sys.exit("cmake failed: see " + log)
    missed = 0
    for name, path, snippet, replacement, test_filter in faults:
        target = os.path.join(tree, path)
        original = open(target, encoding="utf-8").read() if os.path.exists(target) else ""
        if original.count(snippet) == 0:
            print(f"stale     {name} ({path}: snippet not found)", flush=True)
            missed += 1
            continue
        open(target, "w", encoding="utf-8").write(original.replace(snippet, replacement, 1))
        try:
            if run(["cmake", "--build", "build", "-j2"], tree, log):
                print(f"no build  {name}", flush=True)
                missed += 1
                continue
            result = subprocess.run(
                [os.path.join(env_build, "relamor_tests"), "--gtest_filter=" + test_filter,
                 "--gtest_brief=1"], cwd=tree, capture_output=True, text=True)
            failed = re.findall(r"^\[  FAILED  \] ([^\s,]+)", result.stdout, re.M)
            if result.returncode != 0 and failed:
                print(f"caught    {name} (by {failed[0]}, {len(set(failed))} failing)", flush=True)
            elif result.returncode != 0:
                print(f"caught    {name} (the tests crashed)", flush=True)
            else:
                print(f"MISSED    {name} ({test_filter})", flush=True)
                missed += 1
        finally:
            open(target, "w", encoding="utf-8").write(original)
    shutil.rmtree(work, ignore_errors=True)
    sys.exit(1 if missed else 0)


if __name__ == "__main__":
    main(sys.argv[1:])
