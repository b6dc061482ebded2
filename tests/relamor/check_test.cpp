// --check: on the sample installations it finds nothing and changes nothing;
// on damaged copies of the release 3.5 sample, one per kind of problem, it
// exits 65 naming the problem, and the real run then fails on the same table
// and field.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "tests/support/installation.h"
#include "tests/support/report_check.h"
#include "tests/support/test_db.h"
#include "toolkit/text.h"

namespace relamor::testing {
namespace {

namespace fs = std::filesystem;

// Every file below the installation (old, new, registry) with its bytes.
std::map<std::string, std::string> Snapshot(const Installation& inst) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(inst.root())) {
    if (entry.is_regular_file()) files[entry.path().string()] = FileBytes(entry.path().string());
  }
  return files;
}

ProgramRun Check(const Installation& inst, const std::string& program) {
  return RunProgram(program,
                    {"--check", "--report", "/tmp/" + fs::path(inst.root()).filename().string() +
                                                "-check.json",
                     inst.old_dir() + "," + inst.new_dir()},
                    inst.registry());
}

nlohmann::json CheckReport(const Installation& inst) {
  const std::string path = "/tmp/" + fs::path(inst.root()).filename().string() + "-check.json";
  nlohmann::json report = ReadReport(path);
  fs::remove(path);
  return report;
}

bool Names(const std::string& text, const std::string& name) {
  return Upper(text).find(Upper(name)) != std::string::npos;
}

TEST(Check, SamplesAreCleanAndUntouched) {
  for (const auto& [program, sample] :
       {std::pair{"relamor", "release35"}, {"relamor2035", "release20"},
        {"relamor3035", "release30"}}) {
    Installation inst;
    inst.FromSample(sample);
    const auto before = Snapshot(inst);
    const ProgramRun run = Check(inst, program);
    EXPECT_EQ(run.exit_status, 0) << program << "\n" << run.out << run.err;
    EXPECT_NE(run.out.find("Plan\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("No problems found."), std::string::npos) << run.out;
    EXPECT_TRUE(Snapshot(inst) == before) << program << ": a file changed or appeared";
    const nlohmann::json report = CheckReport(inst);
    EXPECT_EQ(report.at("check"), true);
    EXPECT_EQ(report.at("exit_status"), 0);
    EXPECT_TRUE(report.at("result").is_null());
    EXPECT_TRUE(report.at("problems").empty());
    EXPECT_FALSE(report.at("databases").empty());
  }
}

// Without the product key the run stops early; the check says so with the
// same exit status and the same reason.
TEST(Check, EarlyStopHasTheRunsStatus) {
  Installation inst;
  inst.FromSample("release35");
  fs::remove_all(ProductKeyDir(inst.registry()));
  const auto before = Snapshot(inst);
  const ProgramRun run = Check(inst, "relamor");
  EXPECT_EQ(run.exit_status, 2) << run.out << run.err;
  EXPECT_TRUE(Snapshot(inst) == before);
  const nlohmann::json report = CheckReport(inst);
  EXPECT_EQ(report.at("error").at("description").get<std::string>().rfind("Registry Access Error", 0),
            0u);
  EXPECT_EQ(inst.Run("relamor").exit_status, 2);
}

struct Damage {
  const char* name;
  const char* side;  // "old" or "new"
  const char* db;
  std::string sql;   // empty: the file is overwritten with bytes that are no database
  std::string table;  // where the first problem and the run's error are
  std::string field;  // "" when no field is concerned
  std::string named = "";  // what the run's last log line names, when not `field`
  std::string new_sql = "";  // run on the new qorsite as well
};

void PrintTo(const Damage& d, std::ostream* os) { *os << d.name; }

class CheckAgreesWithRun : public ::testing::TestWithParam<Damage> {};

TEST_P(CheckAgreesWithRun, FirstProblemIsWhereTheRunFails) {
  const Damage& d = GetParam();
  Installation inst;
  inst.FromSample("release35");
  if (d.sql.empty()) {
    std::ofstream(inst.root() + "/" + d.side + "/" + d.db + ".mdb", std::ios::trunc)
        << "this is not a database";
  } else if (std::string(d.side) == "old") {
    inst.Old(d.db, d.sql);
  } else {
    inst.New(d.db, d.sql);
  }
  if (!d.new_sql.empty()) inst.New("qorsite", d.new_sql);
  const auto before = Snapshot(inst);
  const ProgramRun check = Check(inst, "relamor");
  EXPECT_EQ(check.exit_status, 65) << check.out << check.err;
  EXPECT_TRUE(Snapshot(inst) == before) << "the check changed a file";
  const nlohmann::json report = CheckReport(inst);
  ASSERT_FALSE(report.at("problems").empty()) << check.out;
  const nlohmann::json& first = report.at("problems").at(0);
  EXPECT_EQ(Upper(first.at("table").get<std::string>()), Upper(d.table)) << check.out;
  EXPECT_EQ(Upper(first.at("field").get<std::string>()), Upper(d.field)) << check.out;
  EXPECT_EQ(report.at("exit_status"), 65);
  EXPECT_NE(check.out.find("Problems ("), std::string::npos) << check.out;

  const ProgramRun run = inst.Run("relamor");
  EXPECT_EQ(run.exit_status, 1) << run.err;
  const std::string log = inst.Log();
  std::string last = log.substr(log.rfind("\r\n", log.size() - 3) + 2);
  last.resize(last.size() - 2);  // CR LF
  EXPECT_TRUE(Names(last, d.named.empty() ? d.field : d.named)) << last;
  EXPECT_EQ(first.at("message"), last);
  if (!d.table.empty()) {
    EXPECT_TRUE(Names(SummaryTables(run.out), "|" + d.table + "|")) << run.out;
    EXPECT_TRUE(SummaryTables(run.out).ends_with("|FAILED\n")) << run.out;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Damages, CheckAgreesWithRun,
    ::testing::Values(
        Damage{"TextTooLong", "old", "qord003", "UPDATE schedules SET startTime = '12:00:00';",
               "schedules", "startTime"},
        Damage{"NonNumeric", "old", "qord003", "UPDATE boards SET boardtype = 'abc';", "boards",
               "boardtype"},
        Damage{"OutOfRange", "old", "qord003", "UPDATE alarms SET priority = 300;", "alarms",
               "priority"},
        Damage{"NullInNotNull", "old", "qorsite", "UPDATE users SET userName = NULL;", "users",
               "loginName"},
        Damage{"DuplicateKey", "old", "qorsite",
               "UPDATE customers SET id = (SELECT min(id) FROM customers);", "customers",
               "customerID"},
        Damage{"DuplicateOfANewRow", "new", "qorsite", "INSERT INTO areas VALUES (1, 'Lobby');",
               "areas", "areaID"},
        Damage{"MissingField", "old", "qord003",
               "ALTER TABLE commands RENAME COLUMN description TO descr;", "commands",
               "description"},
        Damage{"MissingTable", "old", "qorsite", "DROP TABLE zones;", "areas", "", "zones"},
        Damage{"ExccsCategoryMissing", "old", "qord003",
               "INSERT INTO EXCCS VALUES ('ZZ', 1, 0);", "EXCCS", "CAT"},
        // A category stored as a number: the check promises the run's words.
        Damage{"ExccsCategoryNumber", "old", "qord003",
               "ALTER TABLE EXCCS RENAME TO texts; CREATE TABLE EXCCS (CAT, threshold LONG, "
               "enabled YESNO); INSERT INTO EXCCS SELECT * FROM texts; DROP TABLE texts;"
               "INSERT INTO EXCCS VALUES (7, 1, 0);",
               "EXCCS", "CAT", "category 7"},
        // A first numbering flag True with one mapping row, into an empty table.
        Damage{"FirstFlagTrueWithoutSecondRow", "old", "qorsite",
               "CREATE TABLE lone (n SHORT); INSERT INTO lone VALUES (1);", "lone", "",
               "has 1 row(s)",
               "CREATE TABLE lone (n SHORT);"
               "INSERT INTO export VALUES (6, 'lone', 'n', 'lone', 'n', -1, 1);"},
        Damage{"NumberingOverflow", "old", "qord003",
               "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 32768) "
               "INSERT INTO alarms SELECT x, 'a', 1 FROM c;",
               "alarms", "alarmNo", "alarms"},
        Damage{"ModeGWithFewerNewRows", "old", "qorsite",
               "CREATE TABLE notes (body TEXT(20)); INSERT INTO notes VALUES ('a'), ('b');",
               "notes", "text", "notes",
               "CREATE TABLE notes (text TEXT(20)); INSERT INTO notes VALUES ('x');"
               "INSERT INTO export VALUES (6, 'notes', 'body', 'notes', 'text', 0, 1);"},
        Damage{"UnreadableSiteDatabase", "old", "qord012", "", "", "", "qord012.mdb"}),
    [](const ::testing::TestParamInfo<Damage>& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace relamor::testing
