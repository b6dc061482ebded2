// relamor on the sample installation of release 3.5: every kind of log line,
// every copy mode the sample maps, the renumbered command ids, the board
// fix-up, and the old databases untouched.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>

#include "tests/support/installation.h"
#include "tests/support/report_check.h"

namespace relamor::testing {
namespace {

std::string SitePass(const std::string& db, std::initializer_list<int> counts) {
  static const char* const kTables[] = {"boards", "commands", "alarms", "events",
                                        "EXCCS", "cmdidguid", "schedules"};
  std::string out = Lines({"Opened Old database" + db + ".mdb", "Opened New database" + db + ".mdb",
                           " Tables to be copied are 7"});
  int i = 0;
  for (int count : counts) {
    out += Lines({std::string("Copying table ") + kTables[i],
                  std::string("Number of records in ") + kTables[i] + " are  " +
                      std::to_string(count) + " "});
    ++i;
  }
  out += Lines({"Reducing boardtype by one wherever it is >18 ",
                "Set Name according to new boardtype in 4  records"});
  return out;
}

class SampleConversion : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    inst_ = new Installation();
    inst_->FromSample("release35");
    run_ = new ProgramRun(inst_->Run("relamor", inst_->old_dir() + "," + inst_->new_dir(),
                                     {{"RELAMOR_REPORT", inst_->root() + "/report.json"}}));
  }
  static void TearDownTestSuite() {
    delete run_;
    delete inst_;
  }
  static Installation* inst_;
  static ProgramRun* run_;
};

Installation* SampleConversion::inst_ = nullptr;
ProgramRun* SampleConversion::run_ = nullptr;

TEST_F(SampleConversion, SucceedsAndLogsEveryStep) {
  EXPECT_EQ(run_->exit_status, 0) << run_->err;
  EXPECT_EQ(inst_->Result(), "True");
  const std::string expected =
      Lines({"Old Version is Tervanis 3.5", "Current Version is Tervanis 4.0",
             "Reading Sites Table.", " 3  Sites found.", "created qord003.mdb",
             "created qord012.mdb", "created qord047.mdb",
             "Copied all database files to be updated", "Opened Old databaseqorsite.mdb",
             "Opened New databaseqorsite.mdb", " Tables to be copied are 4",
             "Copying table customers", "Number of records in customers are  2 ",
             "Copying table Sites", "Number of records in sites are  3 ",
             "No of records in Sitesare 3 ", "Copying table users",
             "Number of records in users are  3 ", "Copying table areas",
             "Number of records in zones are  2 "}) +
      SitePass("qord003", {4, 3, 3, 2, 2, 1, 2}) + SitePass("qord012", {2, 2, 1, 1, 1, 1, 0}) +
      SitePass("qord047", {0, 0, 0, 0, 0, 1, 0}) +
      Lines({"Data conversion procedure completed successfully"});
  EXPECT_EQ(inst_->Log(), expected);
  EXPECT_TRUE(inst_->OldUnchanged());
}

TEST_F(SampleConversion, MainDatabaseTables) {
  EXPECT_EQ(inst_->Dump("new", "qorsite", "customers"),
            "501|Kestrel Shipping|Portsmouth|United Kingdom\n"
            "502|Millbrook Water|Reading|United Kingdom\n");
  // Sites 3 and 12 keep their customers; site 47 has none and gets the
  // first placeholder number.
  EXPECT_EQ(inst_->Dump("new", "qorsite", "Sites"),
            "3|501|Harbour Depot|Europe/London\n"
            "12|502|Riverside Plant|Europe/London\n"
            "47|1|Airport Annex|Europe/London\n");
  EXPECT_EQ(inst_->Dump("new", "qorsite", "users"),
            "1|admin|System Administrator|-1|NULL\n"
            "2|jdoe|Jane Doe|-1|NULL\n"
            "3|oconnor|Liam O'Connor|0|NULL\n");
  EXPECT_EQ(inst_->Dump("new", "qorsite", "areas"), "1|Ground floor\n2|Plant room\n");
}

TEST_F(SampleConversion, SiteDatabaseTables) {
  // Types above 18 went down by one; names follow the new type from qorstat.
  EXPECT_EQ(inst_->Dump("new", "qord003", "boards"),
            "1|5|Analog input 8\n2|18|Digital I/O 16\n3|18|Digital I/O 16\n"
            "4|24|Operator's console\n");
  EXPECT_EQ(inst_->Dump("new", "qord003", "alarms"),
            "1|Door forced|1\n2|Mains failure|2\n3|Low battery|4\n");
  EXPECT_EQ(inst_->Dump("new", "qord003", "events"),
            "1|1|2026-03-01 08:15:00|System armed\n2|2|2026-03-01 17:40:12|System disarmed\n");
  EXPECT_EQ(inst_->Dump("new", "qord003", "EXCCS"),
            "AC|30|-1|Access control\nfire|2|-1|Fire panel\nHVAC|5|0|Heating and ventilation\n");
  EXPECT_EQ(inst_->Dump("new", "qord012", "boards"), "1|18|Digital I/O 16\n2|23|Modem line\n");
  EXPECT_EQ(inst_->Dump("new", "qord012", "EXCCS"),
            "AC|10|0|Access control\nFIRE|1|-1|Fire panel\nHVAC|9|-1|Heating and ventilation\n");
}

TEST_F(SampleConversion, NextCommandIdIsGreatestInUsePlusOne) {
  // qord003: commands up to 120, schedules up to 104, NON_PROG_KEYS (500)
  // does not count. qord012: 72. qord047 has no command ids at all.
  EXPECT_EQ(inst_->Dump("new", "qord003", "cmdidguid"), "121\n");
  EXPECT_EQ(inst_->Dump("new", "qord012", "cmdidguid"), "73\n");
  EXPECT_EQ(inst_->Dump("new", "qord047", "cmdidguid"), "70\n");
  // The old value stays in the old database.
  EXPECT_EQ(inst_->Dump("old", "qord003", "cmdidguid"), "71\n");
}

// The summary's counts are those of the databases: rows added is what each
// new table gained over a fresh copy of the sample (the site databases start
// as the template), and the JSON report holds the same lines.
TEST_F(SampleConversion, SummaryAndReportMatchTheDatabases) {
  Installation pristine;
  pristine.FromSample("release35");
  const std::string summary = SummaryTables(run_->out);
  ASSERT_FALSE(summary.empty()) << run_->out;
  std::istringstream lines(summary);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream f(line);
    std::string db, table, mode, read, added;
    std::getline(f, db, '|');
    std::getline(f, table, '|');
    std::getline(f, mode, '|');
    std::getline(f, read, '|');
    std::getline(f, added, '|');
    const std::string count = "SELECT count(*) FROM \"" + table + "\"";
    const long after = std::stol(inst_->Dump("new", db, count));
    const long before = std::stol(pristine.Dump("new", db == "qorsite" ? db : "qordxxx", count));
    EXPECT_EQ(std::stol(added), after - before) << line;
  }
  EXPECT_EQ(run_->out.find("MISMATCH"), std::string::npos) << run_->out;
  // The total line counts the tables listed.
  const auto tables = std::count(summary.begin(), summary.end(), '\n');
  EXPECT_NE(run_->out.find("\ntotal      " + std::to_string(tables) + " tables "), std::string::npos)
      << run_->out;
  EXPECT_NE(run_->out.find("qord003    EXCCS                A                        2         0         2"),
            std::string::npos) << run_->out;

  const nlohmann::json report = ReadReport(inst_->root() + "/report.json");
  EXPECT_EQ(report.at("program"), "relamor");
  EXPECT_EQ(report.at("check"), false);
  EXPECT_EQ(report.at("exit_status"), 0);
  EXPECT_EQ(report.at("result"), "True");
  EXPECT_TRUE(report.at("error").is_null());
  EXPECT_TRUE(report.at("problems").empty());
  EXPECT_EQ(ReportTables(report), summary);
  // The category copy of EXCCS is stored by its shortcut; so is every append
  // and D's two passes (events) of the site databases that have old rows.
  const auto site_pass = [](const std::string& db) {
    return db + "|boards|set-based|AppendFrom\n" + db + "|commands|set-based|AppendFrom\n" +
           db + "|alarms|set-based|AppendFrom\n" + db + "|events|set-based|AppendFilled\n" +
           db + "|EXCCS|set-based|UpdateByCategory\n" +
           db + "|cmdidguid|rows|\n";  // F overwriting: no shortcut
  };
  std::string expected = "qorsite|customers|set-based|AppendFrom\n"
                         "qorsite|Sites|rows||declined\n"  // the customer link
                         "qorsite|users|set-based|AppendFrom\n"
                         "qorsite|areas|set-based|AppendFrom\n";
  expected += site_pass("qord003") + "qord003|schedules|set-based|AppendFrom\n";
  expected += site_pass("qord012") + "qord012|schedules|rows|\n";  // no old row
  for (const char* table : {"boards", "commands", "alarms", "events", "EXCCS", "cmdidguid",
                            "schedules"}) {
    expected += std::string("qord047|") + table + "|rows|\n";
  }
  const char* strategy = std::getenv("RELAMOR_COPY_STRATEGY");
  if (strategy && std::string(strategy) == "rows") {
    EXPECT_EQ(OnlyWalks(report), "");
  } else {
    EXPECT_EQ(ReportPaths(report), expected);
  }
  // Standard error is no terminal here: no progress line.
  EXPECT_EQ(run_->err, "");
}

// Row by row the run logs the same lines (the old tables' counts among
// them, which the set-based copy learns from its statements) and reports the
// same table counts; the path trace says so of every table copy.
TEST_F(SampleConversion, RowByRowRunLogsAndCountsTheSame) {
  Installation rows;
  rows.FromSample("release35");
  const ProgramRun run = rows.Run("relamor", rows.old_dir() + "," + rows.new_dir(),
                                  {{"RELAMOR_COPY_STRATEGY", "rows"}, {"RELAMOR_TRACE_PATHS", "1"}});
  EXPECT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(rows.Log(), inst_->Log());
  EXPECT_EQ(SummaryTables(run.out), SummaryTables(run_->out));
  std::istringstream err(run.err);
  int traced = 0;
  for (std::string line; std::getline(err, line);) {
    if (line.rfind("relamor path: ", 0) != 0) continue;
    ++traced;
    EXPECT_TRUE(line.ends_with(" rows")) << line;
  }
  EXPECT_GT(traced, 20);
}

// Under a terminal the progress line appears and is cleared before the
// summary. (Redraws are at most ten a second, so this quick run draws once.)
TEST(Progress, DrawnOnATerminalAndCleared) {
  Installation inst;
  inst.FromSample("release35");
  const ProgramRun run =
      RunOnTerminal("relamor", {inst.old_dir() + "," + inst.new_dir()}, inst.registry());
  EXPECT_EQ(run.exit_status, 0) << run.out;
  const auto drawn = run.out.find("\r\033[Kdatabase 1 of 4 qorsite");
  ASSERT_NE(drawn, std::string::npos) << run.out;
  const auto cleared = run.out.find("\r\033[K", drawn + 1);
  const auto summary = run.out.find("mode/writer");
  EXPECT_NE(cleared, std::string::npos);
  EXPECT_LT(cleared, summary);
}

// What the operator reads when something is wrong: the progress line is
// cleared before the reason; a usage error is one line and the hint, and
// writes the report asked for; output that cannot be written is an error.
TEST(Messages, AreOneClearLineEach) {
  Installation inst;
  inst.FromSample("release35");
  inst.Old("qord003", "UPDATE schedules SET startTime = '12:00:00';");
  const ProgramRun failed =
      RunOnTerminal("relamor", {inst.old_dir() + "," + inst.new_dir()}, inst.registry());
  EXPECT_EQ(failed.exit_status, 1);
  EXPECT_NE(failed.out.find("\r\033[Krelamor: Field too small"), std::string::npos) << failed.out;

  const std::string report = inst.root() + "/usage.json";
  const ProgramRun usage = RunProgram("relamor", {"--report", report, "--dry-run"}, "");
  EXPECT_EQ(usage.exit_status, 64);
  EXPECT_EQ(usage.err,
            "relamor: unknown option '--dry-run' (a directory that begins with '-' goes after "
            "'--')\nTry 'relamor --help'.\n");
  EXPECT_EQ(ReadReport(report).at("exit_status"), 64);

  // A run that succeeds but cannot print its summary.
  Installation clean;
  clean.FromSample("release35");
  const std::string bin = std::string(RELAMOR_BIN_DIR) + "/relamor";
  for (const std::string& args :
       {std::string(" --help"), " " + clean.old_dir() + "," + clean.new_dir()}) {
    const int status = std::system(("RELAMOR_REGISTRY=" + clean.registry() + " " + bin + args +
                                    " >/dev/full 2>/dev/null").c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 74) << args << ": " << status;
  }
}

}  // namespace
}  // namespace relamor::testing
