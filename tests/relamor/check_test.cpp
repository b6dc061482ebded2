// --check: on the sample installations it finds nothing and changes nothing;
// on damaged copies of the release 3.5 sample, one per kind of problem, it
// exits 65 naming the problem, and the real run then fails on the same table
// and field with the very line the check promised.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <tuple>
#include <vector>

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
    // What the report adds for scripts: its format, the times, the absolute
    // directories, the sites (and relamor's releases); no table is flagged
    // as a mismatch, since a check adds nothing.
    EXPECT_EQ(report.at("format"), 1);
    EXPECT_EQ(report.at("started").get<std::string>().size(), 20u) << report.at("started");
    EXPECT_EQ(report.at("old_directory"), inst.old_dir());
    EXPECT_FALSE(report.at("sites").empty()) << program;
    EXPECT_EQ(report.at("releases").is_null(), std::string(program) != "relamor");
    for (const auto& database : report.at("databases")) {
      for (const auto& table : database.at("tables")) EXPECT_EQ(table.at("mismatch"), false);
    }
  }
}

// After a run failed (its cause then fixed) and after a run succeeded, the
// check reads the new qorsite.mdb as the rerun would: the pristine copy it
// restores, not the rows the last run stored.
TEST(Check, AfterARunReadsWhatTheRerunReads) {
  Installation inst;
  inst.FromSample("release35");
  const std::string old_main = inst.old_dir() + "qorsite.mdb";
  const std::string healthy = FileBytes(old_main);
  inst.Old("qorsite", "UPDATE users SET userName = NULL;");
  ASSERT_EQ(inst.Run("relamor").exit_status, 1);
  std::ofstream(old_main, std::ios::binary | std::ios::trunc) << healthy;
  for (const char* after : {"a failed run", "a successful run"}) {
    const ProgramRun check = Check(inst, "relamor");
    EXPECT_EQ(check.exit_status, 0) << after << "\n" << check.out << check.err;
    EXPECT_NE(check.err.find("as a rerun would restore it"), std::string::npos) << check.err;
    EXPECT_TRUE(CheckReport(inst).at("problems").empty()) << after;
    ASSERT_EQ(inst.Run("relamor").exit_status, 0) << after;
  }
}

// What ends a run early, or a run of the wrong program, is what the check
// says; the wrong program names the right one before a site database is made.
TEST(Check, TellsOfEarlyStopsAndOfTheWrongProgram) {
  {
    Installation inst;
    inst.FromSample("release35");
    inst.Old("qorsite", "INSERT INTO sites VALUES (NULL, 'nowhere', 'none');");
    const ProgramRun check = Check(inst, "relamor");
    EXPECT_EQ(check.exit_status, 2) << check.out << check.err;
    EXPECT_EQ(check.out.find("No problems found."), std::string::npos) << check.out;
    EXPECT_NE(check.out.find("The run would stop early, writing no RelamorResult: Out of Memory"),
              std::string::npos)
        << check.out;
    EXPECT_EQ(check.err, "relamor: Out of Memory\n");
    EXPECT_EQ(CheckReport(inst).at("exit_status"), 2);
  }
  for (const auto& [program, sample, right] :
       {std::tuple{"relamor2035", "release35", "relamor"}, {"relamor", "release20", "relamor2035"},
        {"relamor3035", "release20", "relamor2035"}, {"relamor3035", "release35", "relamor"}}) {
    Installation inst;
    inst.FromSample(sample);
    const std::string advice = std::string("convert it with ") + right;
    const ProgramRun check = Check(inst, program);
    EXPECT_EQ(check.exit_status, 65) << program << check.out << check.err;
    EXPECT_NE(check.err.find(advice), std::string::npos) << check.err;
    const auto files = inst.Files("new");
    const ProgramRun run = inst.Run(program);
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_NE(run.err.find(advice), std::string::npos) << run.err;
    EXPECT_TRUE(inst.Log().ends_with(advice + "\r\n")) << inst.Log();
    std::vector<std::string> after = inst.Files("new");
    std::erase(after, "RelamorLog.txt");
    EXPECT_EQ(after, files) << program << ": no site database is made";
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

// The last line of a run, without its CR LF.
std::string LastLine(const std::string& log) {
  std::string last = log.substr(log.rfind("\r\n", log.size() - 3) + 2);
  last.resize(last.size() - 2);
  return last;
}

// Where the check could promise a refusal the run does not make, or another
// one first, it agrees with the run: a row that a column's conflict clause
// skips or completes (that column alone), a field that two mapping rows
// write (the value written last is stored), mode G into an empty table (the
// edit fails before a field is read), mode D's second pass (its fields are
// read once every row is stored).
TEST(Check, AgreesWithTheRunWhereTheRowsAreStoredOtherwise) {
  struct Setting {
    const char* name;
    std::string new_sql;
    std::string old_sql;
  };
  for (const Setting& s : {
           Setting{"IgnoredDuplicate",
                   "DROP TABLE areas; CREATE TABLE areas (areaID LONG PRIMARY KEY ON CONFLICT "
                   "IGNORE, areaName TEXT(30));",
                   "UPDATE zones SET zoneID = 1;"},
           Setting{"ReplacedNull",
                   "DROP TABLE areas; CREATE TABLE areas (areaID LONG, areaName TEXT(30) NOT NULL "
                   "ON CONFLICT REPLACE DEFAULT 'x');",
                   "UPDATE zones SET zoneName = NULL;"},
           // Another column's clause leaves this column's refusal as it is.
           Setting{"RefusedBesideAReplacingColumn",
                   "DROP TABLE areas; CREATE TABLE areas (areaID LONG PRIMARY KEY, areaName "
                   "TEXT(30) NOT NULL ON CONFLICT REPLACE DEFAULT 'x');",
                   "UPDATE zones SET zoneID = 1;"},
           Setting{"FieldWrittenTwice",
                   "CREATE TABLE twice (t TEXT(5));"
                   "INSERT INTO export VALUES (6, 'twice', 'a', 'twice', 't', 0, 1);"
                   "INSERT INTO export VALUES (6, 'twice', 'b', 'twice', 't', 0, 1);",
                   "CREATE TABLE twice (a TEXT(50), b TEXT(50));"
                   "INSERT INTO twice VALUES ('far too long', 'ok');"},
           Setting{"ModeGIntoAnEmptyTable",
                   "CREATE TABLE notes (text TEXT(20));"
                   "INSERT INTO export VALUES (6, 'notes', 'nobody', 'notes', 'text', 0, 1);",
                   "CREATE TABLE notes (body TEXT(20)); INSERT INTO notes VALUES ('a');"},
           Setting{"ModeDSecondPass",
                   "CREATE TABLE pairs (a SHORT, b SHORT, c TEXT(5) NOT NULL);"
                   "INSERT INTO export VALUES (6, 'pairs', 'x', 'pairs', 'a', -1, 1);"
                   "INSERT INTO export VALUES (6, 'pairs', 'x', 'pairs', 'b', -1, 1);"
                   "INSERT INTO export VALUES (6, 'pairs', 'nothing', 'pairs', 'c', 0, 1);",
                   "CREATE TABLE pairs (x LONG); INSERT INTO pairs VALUES (1), (2);"},
       }) {
    Installation inst;
    inst.FromSample("release35");
    inst.New("qorsite", s.new_sql);
    inst.Old("qorsite", s.old_sql);
    const ProgramRun check = Check(inst, "relamor");
    CheckReport(inst);
    const ProgramRun run = inst.Run("relamor");
    EXPECT_EQ(check.exit_status == 0, run.exit_status == 0)
        << s.name << "\n" << check.err << inst.Log();
    if (check.exit_status == 65) {
      EXPECT_NE(check.err.find("the run would end with: " + LastLine(inst.Log()) + "\n"),
                std::string::npos)
          << s.name << "\n" << check.err << inst.Log();
    }
  }
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

  // Where the cause lies: the old row of a value, the template (once) for
  // what a site database's table lacks, the file of an unreadable database.
  static const std::set<std::string> kInAnOldRow = {
      "TextTooLong",  "NonNumeric",    "OutOfRange",          "NullInNotNull",
      "DuplicateKey", "DuplicateText", "ExccsCategoryMissing"};
  if (kInAnOldRow.count(d.name)) {
    EXPECT_EQ(first.at("file"), inst.old_dir() + d.db + ".mdb");
    EXPECT_EQ(first.at("row").get<std::string>().rfind("rowid ", 0), 0u) << first;
    EXPECT_NE(check.out.find(" rowid "), std::string::npos) << check.out;
  }
  if (std::string(d.name) == "TemplateLacksAField") {
    EXPECT_EQ(report.at("problems").size(), 1u) << check.out;
    EXPECT_EQ(first.at("file"), inst.new_dir() + "qordxxx.mdb");
  }
  if (std::string(d.name) == "UnreadableSiteDatabase") {
    EXPECT_EQ(first.at("database"), "qord012");
    EXPECT_EQ(first.at("file"), inst.old_dir() + "qord012.mdb");
    EXPECT_NE(check.out.find("\nqord012: "), std::string::npos) << check.out;
  }

  const std::string run_report = inst.root() + "/run.json";
  const ProgramRun run = inst.Run("relamor", inst.old_dir() + "," + inst.new_dir(),
                                  {{"RELAMOR_REPORT", run_report}});
  EXPECT_EQ(run.exit_status, 1) << run.err;
  // The same cause has the same number in the check and in the run.
  EXPECT_NE(first.at("number"), 0);
  EXPECT_EQ(report.at("error").at("number"), first.at("number"));
  EXPECT_EQ(ReadReport(run_report).at("error").at("number"), first.at("number"));
  const std::string last = LastLine(inst.Log());
  EXPECT_TRUE(Names(last, d.named.empty() ? d.field : d.named)) << last;
  // The line the check promised is the run's last line, byte for byte.
  const std::string promise = "the run would end with: ";
  const std::size_t at = check.err.find(promise);
  ASSERT_NE(at, std::string::npos) << check.err;
  const std::size_t from = at + promise.size();
  EXPECT_EQ(check.err.substr(from, check.err.find('\n', from) - from), last);
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
        // A text is quoted as the engine's refusal quotes it.
        Damage{"DuplicateText", "old", "qorsite", "UPDATE users SET fullName = 'Same';", "users",
               "fullName", "", "CREATE UNIQUE INDEX by_name ON users (fullName);"},
        Damage{"NullInAnUnmappedColumn", "new", "qorsite",
               "DROP TABLE areas; CREATE TABLE areas (areaID LONG PRIMARY KEY, areaName TEXT(30),"
               " floor LONG NOT NULL);",
               "areas", "floor"},
        // A default that the schema may not call fails the statement storing a row.
        Damage{"UnusableDefault", "new", "qorsite",
               "ALTER TABLE users ADD COLUMN badge TEXT DEFAULT (fts3_tokenizer('simple'));",
               "users", "badge", "fts3_tokenizer"},
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
        Damage{"TemplateLacksAField", "new", "qordxxx",
               "ALTER TABLE commands RENAME COLUMN description TO descr;", "commands",
               "description"},
        Damage{"UnreadableSiteDatabase", "old", "qord012", "", "", "", "qord012.mdb"}),
    [](const ::testing::TestParamInfo<Damage>& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace relamor::testing
