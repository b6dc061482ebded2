// Data faults during the copy end the run through the error path: "False",
// exit status 1, a log line that names what failed, and every row stored
// before the fault kept; the same under both copy strategies.
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "tests/relamor/relamor_fixture.h"
#include "tests/support/report_check.h"
#include "tests/support/strategies.h"

namespace relamor::testing {
namespace {

struct Fault {
  const char* name;
  std::string old_tables;
  std::string mapping;
  std::string new_tables;
  std::vector<std::string> in_message;  // texts the last log line must name
  std::string kept;                     // rows of table "first" after the run
};
void PrintTo(const Fault& f, std::ostream* os) { *os << f.name; }

class ErrorPath : public ::testing::TestWithParam<std::tuple<Fault, std::string>> {
 protected:
  void TearDown() override { unsetenv("RELAMOR_COPY_STRATEGY"); }
};

TEST_P(ErrorPath, EndsTheRunAndKeepsStoredRows) {
  const Fault& f = std::get<0>(GetParam());
  UseStrategy(std::get<1>(GetParam()));
  Installation inst;
  // Table "first" is copied before the faulty one.
  inst.Old("qorsite", kOldMain + "CREATE TABLE first (v LONG); INSERT INTO first VALUES (1);"
                                 "INSERT INTO first VALUES (2);\n" + f.old_tables);
  inst.New("qorsite", kNewMain + Map(1, "first", "v", "first", "v", 0) + f.mapping +
                          "CREATE TABLE first (v LONG);\n" + f.new_tables);
  const std::string report_path = inst.root() + "/report.json";
  const ProgramRun run = inst.Run("relamor", inst.old_dir() + "," + inst.new_dir(),
                                  {{"RELAMOR_REPORT", report_path}});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(inst.Result(), "False");
  // The summary runs up to the failing table; the report says the same and
  // places the error.
  const std::string summary = SummaryTables(run.out);
  EXPECT_EQ(summary.substr(0, summary.find('\n') + 1), "qorsite|first|F|2|2|0\n");
  EXPECT_NE(summary.find("qorsite|second|"), std::string::npos) << run.out;
  EXPECT_TRUE(summary.ends_with("|FAILED\n")) << run.out;
  // The failing table counts the rows it stored before the error.
  const long kept = std::count(f.kept.begin(), f.kept.end(), '\n');
  EXPECT_TRUE(summary.ends_with("|" + std::to_string(kept) + "|0|FAILED\n")) << run.out;
  const nlohmann::json report = ReadReport(report_path);
  EXPECT_EQ(ReportTables(report), summary);
  EXPECT_EQ(report.at("exit_status"), 1);
  EXPECT_EQ(report.at("result"), "False");
  EXPECT_EQ(report.at("error").at("database"), "qorsite");
  EXPECT_EQ(report.at("error").at("table"), "second");
  EXPECT_EQ(report.at("error").at("description"), LastLine(inst.Log()));
  const std::string last = LastLine(inst.Log());
  for (const std::string& text : f.in_message) {
    EXPECT_NE(last.find(text), std::string::npos) << "'" << text << "' not in: " << last;
  }
  EXPECT_EQ(inst.Dump("new", "qorsite", "first"), "1\n2\n");
  EXPECT_EQ(inst.Dump("new", "qorsite", "second"), f.kept);
  EXPECT_TRUE(inst.OldUnchanged());
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ErrorPath,
    ::testing::Combine(::testing::Values(
        Fault{"MissingOldTable", "", Map(2, "second", "v", "second", "v", 0),
              "CREATE TABLE second (v LONG);", {"second", "qorsite.mdb"}, ""},
        Fault{"MissingField",
              "CREATE TABLE second (v LONG, w LONG); INSERT INTO second VALUES (1, 2);",
              Map(2, "second", "v", "second", "v", 0) + Map(2, "second", "nosuch", "second", "w", 0),
              "CREATE TABLE second (v LONG, w LONG);", {"nosuch", "second"}, ""},
        Fault{"RefusedValue",
              "CREATE TABLE second (v LONG, t TEXT(20)); INSERT INTO second VALUES (1, 'ok');"
              "INSERT INTO second VALUES (2, 'far too long'); INSERT INTO second VALUES (3, 'x');",
              Map(2, "second", "v", "second", "v", 0) + Map(2, "second", "t", "second", "t", 0),
              "CREATE TABLE second (v LONG, t TEXT(5));", {"second", "t"}, "1|ok\n"},
        // A name that begins with "[" addresses a field with an empty name,
        // which no table has; it is never taken for a numbered field.
        Fault{"FieldNameBeginningWithBracket",
              "CREATE TABLE second (v LONG); INSERT INTO second VALUES (1);",
              Map(2, "second", "v", "second", "v", 0) + Map(2, "second", "[old]", "second", "n", 0),
              "CREATE TABLE second (v LONG, n LONG);", {"no field ''", "second"}, ""}),
        ::testing::Values(std::string("auto"), std::string("rows"))),
    [](const ::testing::TestParamInfo<std::tuple<Fault, std::string>>& p) {
      return std::string(std::get<0>(p.param).name) + "_" + std::get<1>(p.param);
    });

// The overflow case keeps 32767 rows; counting them is enough.
TEST(ErrorPathOverflow, KeepsTheRowsNumberedBeforeTheOverflow) {
  Installation inst;
  inst.Old("qorsite", kOldMain +
                          "CREATE TABLE second (v LONG);"
                          "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c "
                          "WHERE x < 32768) INSERT INTO second SELECT x FROM c;");
  inst.New("qorsite", kNewMain + Map(2, "second", "v", "second", "n", -1) +
                          Map(2, "second", "v", "second", "v", 0) +
                          "CREATE TABLE second (n LONG, v LONG);");
  const ProgramRun run = inst.Run("relamor");
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(inst.Dump("new", "qorsite", "SELECT count(*), max(n), max(v) FROM second"),
            "32767|32767|32767\n");
}

}  // namespace
}  // namespace relamor::testing
