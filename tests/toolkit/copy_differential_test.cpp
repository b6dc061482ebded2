// Seeded randomized differential test of the two table executors: random
// copy modes, declared types and constraints, values at and past the type
// limits, texts at and past their length, Null, empty text, non-ASCII text,
// apostrophes and dates in several forms; every fourth case a category copy
// into EXCCS. Each case is copied once row by
// row and once set-based into identical new databases at the same path; the
// table dump, the error (number and description), the run log and the copy
// result must be the same.
//
// RELAMOR_DIFF_CASES (default 200) and RELAMOR_DIFF_SEED (default 1) widen
// the run, e.g. RELAMOR_DIFF_CASES=5000 build/relamor_tests
// --gtest_filter='CopyDifferential.*'.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "tests/support/installation.h"
#include "tests/support/strategies.h"
#include "tests/toolkit/writer_harness.h"

namespace relamor::testing {
namespace {

long EnvNumber(const char* name, long fallback) {
  const char* v = std::getenv(name);
  return v && *v ? std::strtol(v, nullptr, 10) : fallback;
}

const char* const kTypes[] = {"LONG",    "SHORT",   "BYTE",  "TEXT(5)", "TEXT(50)",
                              "DOUBLE",  "DATETIME", "YESNO", "COUNTER", "MEMO"};
const char* const kValues[] = {
    "NULL", "0", "-1", "1", "255", "256", "32767", "32768", "-32769", "2147483647",
    "2147483648", "9223372036854775807", "0.5", "-2.5", "1e300", "32767.5", "''", "'a'",
    "'O''Brien'", "'\xC3\xBC\xE6\x97\xA5'", "'12'", "' 7 '", "'abcde'", "'abcdef'",
    "'2024-01-02'", "'1/2/2024'", "'2024-01-02 10:20:30'", "'2024-13-45'", "'-1'", "'yes'"};

struct Case {
  std::string old_sql;
  std::string new_sql;
  CopyRules rules;
  std::string new_table = "dst";
};

// A category copy into a pre-filled EXCCS: categories that differ only in
// letter case (ASCII or not), empty, Null, with a NUL byte, without a new row.
Case MakeExccsCase(std::mt19937& rng) {
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  const char* const kCategories[] = {"'a'", "'A'", "'b'", "'\xC3\xBC'", "'\xC3\x9C'", "''",
                                     "NULL", "'a' || char(0) || 'x'", "'A' || char(0) || 'y'",
                                     "'zz'"};
  Case c;
  c.rules = CopyRules::kGeneral;
  c.new_table = "EXCCS";
  c.old_sql = std::string("CREATE TABLE src (CAT TEXT, o0 ") + kTypes[pick(8)] + ", o1 " +
              kTypes[pick(8)] + ");\n";
  // Mostly values that most types take and categories that have a row, so
  // that the one-pass copy is reached, not only its fallback.
  const char* const kTame[] = {"NULL", "0", "1", "2", "'t'"};
  auto value = [&] { return pick(3) ? kTame[pick(5)] : kValues[pick(std::size(kValues))]; };
  for (int r = 1 + pick(8); r > 0; --r) {
    c.old_sql += std::string("INSERT INTO src VALUES (") + kCategories[pick(4) ? pick(6) : pick(10)] +
                 ", " + value() + ", " + value() + ");\n";
  }
  const bool tame_types = pick(2);
  auto type = [&] { return tame_types ? (pick(2) ? "LONG" : "TEXT(50)") : kTypes[pick(8)]; };
  c.new_sql = kExportTable + std::string("CREATE TABLE EXCCS (CAT ") +
              (pick(4) ? "TEXT" : "TEXT(1)") + (pick(6) ? "" : " UNIQUE") + ", n0 " + type() +
              (pick(6) ? "" : " NOT NULL DEFAULT 0") + ", n1 " + type() +
              (pick(8) ? "" : " CHECK (n1 <> 7)") + ");\n";
  if (pick(4) == 0) c.new_sql += "CREATE INDEX by_category ON EXCCS (CAT);\n";
  for (int r = 6 + pick(6); r > 0; --r) {
    c.new_sql += std::string("INSERT OR IGNORE INTO EXCCS VALUES (") +
                 kCategories[r <= 6 && pick(4) ? 6 - r : pick(9)] + ", 0, " + std::to_string(r) +
                 ");\n";
  }
  const char* const kMoves[] = {"'CAT', 'EXCCS', 'CAT'", "'o0', 'EXCCS', 'n0'",
                                "'o1', 'EXCCS', 'n1'", "'o1', 'EXCCS', 'n0'"};
  for (int m = 2 + pick(3); m > 0; --m) {
    c.new_sql += std::string("INSERT INTO export VALUES (1, 'src', ") + kMoves[pick(4)] +
                 ", 0, 1);\n";
  }
  return c;
}

Case MakeCase(std::mt19937& rng) {
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  Case c;
  c.rules = pick(2) ? CopyRules::kGeneral : CopyRules::kFixedPath;
  const int old_columns = 1 + pick(4);
  c.old_sql = "CREATE TABLE src (";
  for (int i = 0; i < old_columns; ++i) {
    c.old_sql += (i ? ", o" : "o") + std::to_string(i) + " " + kTypes[pick(8)];
  }
  c.old_sql += ");\n";
  const int rows = pick(8) == 0 ? 0 : 1 + pick(6);
  // Half the cases hold values that most types take, so that whole tables
  // copy and the set-based way is exercised, not only its fallback.
  const bool tame = pick(2) == 0;
  const char* const kTame[] = {"NULL", "0", "1", "2", "7"};
  for (int r = 0; r < rows; ++r) {
    c.old_sql += "INSERT INTO src VALUES (";
    for (int i = 0; i < old_columns; ++i) {
      const char* v = tame && pick(12) != 0 ? kTame[pick(std::size(kTame))]
                                            : kValues[pick(std::size(kValues))];
      c.old_sql += std::string(i ? ", " : "") + v;
    }
    c.old_sql += ");\n";
  }
  const int new_columns = 1 + pick(4);
  c.new_sql = kExportTable + std::string("CREATE TABLE dst (");
  for (int i = 0; i < new_columns; ++i) {
    c.new_sql += (i ? ", n" : "n") + std::to_string(i) + " " + kTypes[pick(std::size(kTypes))];
    const int constraint = pick(8);
    if (constraint == 0) c.new_sql += i ? " NOT NULL DEFAULT 0" : " NOT NULL";
    if (constraint == 1) c.new_sql += " UNIQUE";
    if (constraint == 2) c.new_sql += " DEFAULT 3";
  }
  c.new_sql += ");\n";
  // Rows already in the new table, for the modes that overwrite or refuse.
  if (pick(3) == 0) {
    for (int r = 1 + pick(3); r > 0; --r) {
      c.new_sql += "INSERT INTO dst (n0) VALUES (" + std::to_string(r) + ");\n";
    }
  }
  const int mappings = 1 + pick(4);
  const char* const kFlags[] = {"0", "0", "0", "0", "-1", "-1", "-1", "NULL"};
  for (int m = 0; m < mappings; ++m) {
    std::string old_field = "o" + std::to_string(pick(old_columns));
    if (pick(16) == 0) old_field = "o9";  // a field the old table lacks
    if (pick(16) == 0) old_field = "[x]";
    const std::string new_field = "n" + std::to_string(pick(new_columns));
    // Positions 2 and 4 (olddbfieldname, newdbfieldname) equal or not.
    const std::string new_name = pick(2) ? old_field : new_field;
    c.new_sql += "INSERT INTO export VALUES (1, 'src', '" + old_field + "', 'dst', '" +
                 (mappings == 1 ? new_name : new_field) + "', " + kFlags[pick(8)] + ", 1);\n";
  }
  return c;
}

struct Outcome {
  int status = -1;
  std::string error;
  std::string dump;
  std::string log;
  CopyResult result;
};

Outcome Copy(Installation& inst, const Case& c, const char* strategy) {
  std::filesystem::remove(inst.new_dir() + "qorsite.mdb");
  inst.New("qorsite", c.new_sql);
  UseStrategy(strategy);
  Outcome out;
  const FrameRun run = RunWriters(
      inst,
      [&](WriterHarness& h) {
        h.Open();
        h.Prepare(1);
        out.result = h.CopyMappedTable();
        h.Close();
      },
      c.rules);
  unsetenv("RELAMOR_COPY_STRATEGY");
  out.status = run.status;
  if (run.error) out.error = std::to_string(run.error->number()) + " " + run.error->description();
  out.dump = inst.Dump("new", "qorsite", c.new_table);
  out.log = inst.Log();
  return out;
}

TEST(CopyDifferential, BothExecutorsAgreeOnRandomCases) {
  const long cases = EnvNumber("RELAMOR_DIFF_CASES", 200);
  const long seed = EnvNumber("RELAMOR_DIFF_SEED", 1);
  std::mt19937 rng(static_cast<unsigned>(seed));
  int failures = 0;
  long copied = 0;  // cases that stored rows, and cases that ended in an error
  long failed = 0;
  for (long i = 0; i < cases && failures < 3; ++i) {
    const Case c = i % 4 == 3 ? MakeExccsCase(rng) : MakeCase(rng);
    Installation inst;
    inst.Old("qorsite", c.old_sql);
    const Outcome rows = Copy(inst, c, "rows");
    const Outcome set = Copy(inst, c, "auto");
    const bool same = rows.status == set.status && rows.error == set.error &&
                      rows.dump == set.dump && rows.result == set.result && rows.log == set.log;
    EXPECT_TRUE(same) << "case " << i << " (seed " << seed << ")\nold:\n"
                      << c.old_sql << "new:\n" << c.new_sql << "rows: " << rows.status << " "
                      << rows.error << "\n" << rows.dump << "set:  " << set.status << " "
                      << set.error << "\n" << set.dump << "logs:\n" << rows.log << "--\n" << set.log << "results " << rows.result.rows_added
                      << "/" << set.result.rows_added;
    if (!same) ++failures;
    if (rows.result.rows_added + rows.result.rows_edited > 0) ++copied;
    if (!rows.error.empty()) ++failed;
  }
  // The cases reach both outcomes (a generator gone blind would not).
  if (cases >= 100) {
    EXPECT_GT(copied, cases / 10);
    EXPECT_GT(failed, cases / 10);
  }
  std::printf("%ld cases: %ld copied rows, %ld ended in an error\n", cases, copied, failed);
}

}  // namespace
}  // namespace relamor::testing
