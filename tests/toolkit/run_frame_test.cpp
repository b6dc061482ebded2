#include "toolkit/run_frame.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/installation.h"
#include "tests/support/test_db.h"
#include "toolkit/error.h"

namespace relamor {
namespace {

namespace fs = std::filesystem;

constexpr const char* kRegistryLine =
    "Registry Access Error, check to see that the registry settings are proper and the user has "
    "administrative rights \r\n";
constexpr const char* kSuccessLine = "Data conversion procedure completed successfully\r\n";

std::string Read(const std::string& path) { return testing::FileBytes(path); }

// A temporary installation: old/ and new/ directories and a registry root
// holding the product key.
class RunFrameTest : public ::testing::Test {
 protected:
  // Runs the frame on `args` around `start_up`; keeps what it printed on
  // standard error in stderr_.
  int Run(const std::string& args, const std::function<void(RunFrame&)>& start_up) {
    ::testing::internal::CaptureStderr();
    int status = RunFrame::RunWith(args, registry_, "relamor", start_up);
    stderr_ = ::testing::internal::GetCapturedStderr();
    return status;
  }
  int Run(const std::function<void(RunFrame&)>& start_up) {
    return Run(old_dir_ + "," + new_dir_, start_up);
  }

  std::string LogText() const { return Read(new_dir_ + "RelamorLog.txt"); }
  std::string ResultPath() const { return key_dir_ + "/RelamorResult"; }
  std::string ResultValue() const { return Read(ResultPath()); }
  bool HasResult() const { return fs::exists(ResultPath()); }

  testing::Installation inst_;
  const std::string dir_ = inst_.root();
  const std::string old_dir_ = inst_.old_dir(), new_dir_ = inst_.new_dir();
  const std::string registry_ = inst_.registry(), key_dir_ = testing::ProductKeyDir(registry_);
  std::string stderr_;
};

TEST(LogItemTest, CountsCarryASignCharacterAndATrailingBlank) {
  EXPECT_EQ(LogItem::FormatCount(12), " 12 ");
  EXPECT_EQ(LogItem::FormatCount(0), " 0 ");
  EXPECT_EQ(LogItem::FormatCount(-3), "-3 ");
  EXPECT_EQ(LogItem::FormatCount(-9223372036854775807LL - 1), "-9223372036854775808 ");
  EXPECT_EQ(LogItem(static_cast<std::int16_t>(32767)).text(), " 32767 ");
  EXPECT_EQ(LogItem("12").text(), "12");
}

TEST(TextBeforeBracketTest, CutsAtTheFirstBracket) {
  EXPECT_EQ(TextBeforeBracket("channelName[1]"), "channelName");
  EXPECT_EQ(TextBeforeBracket("a[1][2]"), "a");
  EXPECT_EQ(TextBeforeBracket("[x"), "");
  EXPECT_EQ(TextBeforeBracket("siteID"), "siteID");
  EXPECT_EQ(TextBeforeBracket(""), "");
}

TEST_F(RunFrameTest, SuccessfulRunWritesTrueAndTheSuccessLine) {
  std::string seen_old, seen_new;
  int status = Run(old_dir_ + " , " + new_dir_, [&](RunFrame& frame) {
    seen_old = frame.old_dir();
    seen_new = frame.new_dir();
    EXPECT_EQ(Read(ResultPath()), "") << "the result is written only at the end";
    frame.Log({"Number of records in ", "prompt", " are ", 12});
    frame.Log({-3, 0, "x"});
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(seen_old, old_dir_);
  EXPECT_EQ(seen_new, new_dir_);
  EXPECT_EQ(LogText(),
            "Number of records in prompt are  12 \r\n"
            "-3  0 x\r\n" +
                std::string(kSuccessLine));
  EXPECT_EQ(ResultValue(), "True");
  EXPECT_EQ(stderr_, "");
}

TEST_F(RunFrameTest, ExistingLogIsEmptiedAndEarlierResultReplaced) {
  std::ofstream(new_dir_ + "RelamorLog.txt") << "an older run's log\r\n";
  std::ofstream(ResultPath()) << "False";
  EXPECT_EQ(Run([](RunFrame&) {}), 0);
  EXPECT_EQ(LogText(), kSuccessLine);
  EXPECT_EQ(ResultValue(), "True");
}

TEST_F(RunFrameTest, ErrorPathLogsTheDescriptionAndWritesFalse) {
  std::ofstream(ResultPath()) << "True";
  int status = Run([](RunFrame& frame) {
    frame.Log({"Copying table ", "sites"});
    throw Error(err::kTableNotFound, "Table 'sites' not found in\nqorsite.mdb");
  });
  EXPECT_EQ(status, 1);
  EXPECT_EQ(LogText(), "Copying table sites\r\nTable 'sites' not found in qorsite.mdb\r\n");
  EXPECT_EQ(ResultValue(), "False");
}

TEST_F(RunFrameTest, PathFileAccessErrorIsNotIgnored) {
  // The second target is a directory: the copy fails there with error 75,
  // after the first is in place (and said so), before the third is made.
  std::ofstream(new_dir_ + "qordxxx.mdb") << "template";
  fs::create_directories(new_dir_ + "qord003.mdb/sub");
  bool went_on = false;
  int status = Run([&](RunFrame& frame) {
    const std::vector<std::string> targets{new_dir_ + "qord002.mdb", new_dir_ + "qord003.mdb",
                                           new_dir_ + "qord004.mdb"};
    frame.CopyTemplates(new_dir_ + "qordxxx.mdb", targets,
                        [&](const std::string& to) { frame.Log({"created " + to}); });
    went_on = true;
  });
  EXPECT_EQ(status, 1);
  EXPECT_FALSE(went_on);
  EXPECT_EQ(ResultValue(), "False");
  EXPECT_EQ(LogText().rfind("created " + new_dir_ + "qord002.mdb\r\nPath/File access error: "
                                "cannot copy '" + new_dir_ + "qordxxx.mdb' to '" + new_dir_ +
                                "qord003.mdb'",
                            0),
            0u)
      << LogText();
  EXPECT_TRUE(fs::exists(new_dir_ + "qord002.mdb"));
  EXPECT_FALSE(fs::exists(new_dir_ + "qord004.mdb"));

  status = Run([](RunFrame&) { throw Error(err::kPathFileAccess, "Path/File access error: x"); });
  EXPECT_EQ(status, 1);
  EXPECT_EQ(LogText(), "Path/File access error: x\r\n");
  EXPECT_EQ(ResultValue(), "False");
}

TEST_F(RunFrameTest, ComponentErrorLogsTheFixedLine) {
  int status = Run([](RunFrame&) {
    throw Error(err::kCannotCreateComponent, "the database engine cannot start");
  });
  EXPECT_EQ(status, 1);
  EXPECT_EQ(LogText(),
            "Cant create COM component KVL for database access, check to see kvl.dll is present "
            "and registered.\r\n");
  EXPECT_EQ(ResultValue(), "False");
}

TEST_F(RunFrameTest, OtherExceptionsTakeTheErrorPathToo) {
  EXPECT_EQ(Run([](RunFrame&) { throw std::bad_alloc(); }), 1);
  EXPECT_EQ(LogText().rfind("Run-time error: not enough memory", 0), 0u) << LogText();
  EXPECT_EQ(ResultValue(), "False");

  EXPECT_EQ(Run([](RunFrame&) { throw std::runtime_error("vector too long"); }), 1);
  EXPECT_EQ(LogText(), "Run-time error: vector too long\r\n");

  EXPECT_EQ(Run([](RunFrame&) { throw 42; }), 1);
  EXPECT_EQ(LogText(), "Run-time error: unknown failure\r\n");
  EXPECT_EQ(ResultValue(), "False");
}

TEST_F(RunFrameTest, OrderlyStopsWriteTheirLineAndNoResult) {
  std::ofstream(ResultPath()) << "True";
  bool went_on = false;
  int status = Run([&](RunFrame& frame) {
    frame.Log({"Old Version is Tervanis ", "2.0"});
    frame.StopRun("Old Version of QOR2.0 is incompatible");
    went_on = true;
  });
  EXPECT_EQ(status, 2);
  EXPECT_FALSE(went_on);
  EXPECT_EQ(LogText(), "Old Version is Tervanis 2.0\r\nOld Version of QOR2.0 is incompatible\r\n");
  EXPECT_EQ(ResultValue(), "True") << "an orderly stop keeps the earlier value";

  status = Run([](RunFrame& frame) { frame.StopOutOfMemory(); });
  EXPECT_EQ(status, 2);
  EXPECT_EQ(LogText(), "Out of Memory\r\n");
  EXPECT_EQ(stderr_, "relamor: Out of Memory\n");
  EXPECT_EQ(ResultValue(), "True");
}

TEST_F(RunFrameTest, MissingRegistryKeyStopsBeforeTheStartUp) {
  fs::remove_all(registry_ + "/HKEY_LOCAL_MACHINE/SOFTWARE/Kestrun");
  bool started = false;
  int status = Run([&](RunFrame&) { started = true; });
  EXPECT_EQ(status, 2);
  EXPECT_FALSE(started);
  EXPECT_EQ(LogText(), kRegistryLine);
  EXPECT_FALSE(fs::exists(key_dir_)) << "the key must not be created";
  EXPECT_NE(stderr_.find(key_dir_), std::string::npos) << stderr_;
}

TEST_F(RunFrameTest, UnwritableResultEndsWithStatus74OnBothPaths) {
  fs::create_directories(ResultPath() + "/blocker");

  int status = Run([](RunFrame& frame) { frame.Log({"work"}); });
  EXPECT_EQ(status, 74);
  std::string log = LogText();
  EXPECT_EQ(log.rfind("work\r\nRegistry Write Error, RelamorResult was not recorded (True): ", 0),
            0u)
      << log;
  EXPECT_NE(log.find(ResultPath()), std::string::npos) << log;
  EXPECT_EQ(log.find("completed successfully"), std::string::npos) << log;
  EXPECT_EQ(log.substr(log.size() - 2), "\r\n");
  EXPECT_NE(stderr_.find(ResultPath()), std::string::npos) << stderr_;

  status = Run([](RunFrame&) { throw Error(err::kNoCurrentRecord, "No current record"); });
  EXPECT_EQ(status, 74);
  log = LogText();
  EXPECT_EQ(log.rfind("No current record\r\nRegistry Write Error, RelamorResult was not recorded "
                      "(False): ",
                      0),
            0u)
      << log;
  EXPECT_TRUE(fs::is_directory(ResultPath() + "/blocker"));

  // The summary and the report come for this end too.
  Options options;
  options.args = old_dir_ + "," + new_dir_;
  options.report_path = dir_ + "/report.json";
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  status = RunFrame::RunWith(options, registry_, "relamor", [](RunFrame&) {});
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(status, 74);
  EXPECT_NE(::testing::internal::GetCapturedStdout().find("\ntotal "), std::string::npos);
  EXPECT_NE(Read(options.report_path).find("\"exit_status\": 74"), std::string::npos);
}

TEST_F(RunFrameTest, ArgumentStringIsSplitAtTheFirstComma) {
  // "a,b,c": the new directory keeps the further commas.
  const std::string comma_dir = dir_ + "/b,c/";
  fs::create_directories(comma_dir);
  std::string seen_old, seen_new;
  auto record = [&](RunFrame& frame) {
    seen_old = frame.old_dir();
    seen_new = frame.new_dir();
  };
  EXPECT_EQ(Run("  \told/ ," + comma_dir + "  ", record), 0);
  EXPECT_EQ(seen_old, "\told/") << "only blanks are trimmed";
  EXPECT_EQ(seen_new, comma_dir);
  EXPECT_EQ(Read(comma_dir + "RelamorLog.txt"), kSuccessLine);

  // A leading comma leaves the old directory empty.
  EXPECT_EQ(Run("," + new_dir_, record), 0);
  EXPECT_EQ(seen_old, "");
  EXPECT_EQ(seen_new, new_dir_);

  // A directory without a trailing separator still gets its log inside (the
  // old directory lies elsewhere: dir_ holds the new databases).
  fs::remove(new_dir_ + "RelamorLog.txt");
  testing::TempDir elsewhere;
  EXPECT_EQ(Run(elsewhere.dir() + "," + dir_ + "/new", record), 0);
  EXPECT_EQ(Read(new_dir_ + "RelamorLog.txt"), kSuccessLine);
}

TEST_F(RunFrameTest, UsageErrorsAndMissingLogEndBeforeTheRun) {
  bool started = false;
  auto start = [&](RunFrame&) { started = true; };

  // One line naming the problem, and the hint; not the whole help.
  EXPECT_EQ(Run("", start), 64);
  EXPECT_EQ(stderr_, "relamor: expected OLD_DIR,NEW_DIR\nTry 'relamor --help'.\n");
  EXPECT_EQ(Run(old_dir_ + " " + new_dir_, start), 64);
  EXPECT_NE(stderr_.find("no comma"), std::string::npos) << stderr_;

  const std::string missing = dir_ + "/missing/";
  EXPECT_EQ(Run(old_dir_ + "," + missing, start), 73);
  EXPECT_NE(stderr_.find("the new directory '" + missing + "' does not exist"), std::string::npos)
      << stderr_;

  EXPECT_FALSE(started);
  EXPECT_FALSE(HasResult());
  EXPECT_FALSE(fs::exists(new_dir_ + "RelamorLog.txt"));
}

TEST_F(RunFrameTest, MainJoinsTheArgumentsAndReadsTheRegistryRoot) {
  const char* saved = std::getenv("RELAMOR_REGISTRY");
  std::string saved_value = saved ? saved : "";
  ::setenv("RELAMOR_REGISTRY", registry_.c_str(), 1);

  std::string old_arg = old_dir_, comma = ",", new_arg = new_dir_, program = "relamor";
  std::vector<char*> argv = {program.data(), old_arg.data(), comma.data(), new_arg.data()};
  std::string seen_new;
  ::testing::internal::CaptureStderr();
  int status = RunFrame::Main(4, argv.data(), "relamor",
                              [&](RunFrame& frame) { seen_new = frame.new_dir(); });
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(status, 0);
  EXPECT_EQ(seen_new, new_dir_);
  EXPECT_EQ(ResultValue(), "True");

  std::string help = "--help", version = "--version";
  std::vector<char*> help_argv = {program.data(), help.data()};
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(RunFrame::Main(2, help_argv.data(), "relamor", [](RunFrame&) {}), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout().rfind("Usage: relamor [--check] [--again] [--jobs N] [--report FILE] [--]\n"
                                                             "               OLD_DIR/,NEW_DIR/", 0),
            0u);
  std::vector<char*> version_argv = {program.data(), version.data()};
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(RunFrame::Main(2, version_argv.data(), "relamor", [](RunFrame&) {}), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            std::string("relamor ") + RELAMOR_VERSION + "\n");

  if (saved) {
    ::setenv("RELAMOR_REGISTRY", saved_value.c_str(), 1);
  } else {
    ::unsetenv("RELAMOR_REGISTRY");
  }
}

// Parses `args` (after the program name) and returns "status|out|err" for
// an early end, or "run|<args>|check|<report>" when the run goes ahead.
std::string Parsed(std::vector<std::string> args) {
  std::vector<char*> argv;
  std::string program = "relamor";
  argv.push_back(program.data());
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::ostringstream out, err;
  Options options;
  const std::optional<int> status = ParseOptions(static_cast<int>(argv.size() - 1), argv.data(),
                                                 "relamor", &options, out, err);
  if (status) {
    const std::string first_err = err.str().substr(0, err.str().find('\n'));
    return std::to_string(*status) + "|" + out.str().substr(0, out.str().find('\n')) + "|" +
           first_err;
  }
  return "run|" + options.args + "|" + (options.check ? "check" : "-") + "|" +
         options.report_path;
}

TEST(ParseOptionsTest, FollowsGnuConventions) {
  ::unsetenv("RELAMOR_REPORT");
  EXPECT_EQ(Parsed({"old/", ",", "new/"}), "run|old/ , new/|-|");
  EXPECT_EQ(Parsed({"--check", "--report", "r.json", "old/,new/"}), "run|old/,new/|check|r.json");
  EXPECT_EQ(Parsed({"--report=r.json", "--", "-old/,new/"}), "run|-old/,new/|-|r.json");
  EXPECT_EQ(Parsed({"-h"}).substr(0, 16), "0|Usage: relamor");
  EXPECT_EQ(Parsed({"--version"}), std::string("0|relamor ") + RELAMOR_VERSION + "|");
  EXPECT_EQ(Parsed({"-V", "x,y"}), std::string("0|relamor ") + RELAMOR_VERSION + "|");
  // A new user's "--dry-run" must not become part of the old directory.
  EXPECT_EQ(Parsed({"--dry-run", "old/,new/"}),
            "64||relamor: unknown option '--dry-run' (a directory that begins with '-' goes "
            "after '--')");
  EXPECT_EQ(Parsed({"-x", "old/,new/"}).substr(0, 33), "64||relamor: unknown option '-x' ");
  EXPECT_EQ(Parsed({"old/,new/", "--report"}).substr(0, 45),
            "64||relamor: option '--report' needs a value ");
  ::setenv("RELAMOR_REPORT", "env.json", 1);
  EXPECT_EQ(Parsed({"old/,new/"}), "run|old/,new/|-|env.json");
  EXPECT_EQ(Parsed({"--report", "opt.json", "old/,new/"}), "run|old/,new/|-|opt.json");
  ::unsetenv("RELAMOR_REPORT");
  EXPECT_EQ(Parsed({"--status"}), "64||relamor: --status needs NEW_DIR");
  EXPECT_EQ(Parsed({"--jobs", "4", "old/,new/"}), "run|old/,new/|-|");
  EXPECT_EQ(Parsed({"--jobs=0", "old/,new/"}),
            "64||relamor: --jobs takes a whole number from 1 to 999, not '0'");
  EXPECT_EQ(Parsed({"--jobs", "2x", "old/,new/"}).substr(0, 43),
            "64||relamor: --jobs takes a whole number fr");

  // Help that cannot be written is an error, not a silent success.
  std::string program = "relamor", help = "--help";
  std::vector<char*> argv = {program.data(), help.data(), nullptr};
  std::ostream unwritable(nullptr);
  std::ostringstream err;
  Options options;
  EXPECT_EQ(ParseOptions(2, argv.data(), "relamor", &options, unwritable, err), 74);
  EXPECT_EQ(err.str().rfind("relamor: write error on standard output", 0), 0u) << err.str();
}

// A log line that cannot be written (here: past RLIMIT_FSIZE, with SIGXFSZ
// ignored) ends the run with "False", also when it is the success line; and a
// stop signal ends it through the error path with the rows before committed.
TEST_F(RunFrameTest, FailedLogWritesAndStopSignalsEndWithFalse) {
  RunFrame::InstallSignalHandlers();
  rlimit saved{};
  ::getrlimit(RLIMIT_FSIZE, &saved);
  auto limit = [&](rlim_t bytes) {
    rlimit l = saved;
    l.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &l);
  };
  limit(4096);
  EXPECT_EQ(Run([](RunFrame& frame) { frame.Log({std::string(5000, 'x')}); }), 1);
  EXPECT_EQ(ResultValue(), "False");
  EXPECT_NE(stderr_.find("the run log '" + new_dir_ + "RelamorLog.txt' could not be written"),
            std::string::npos)
      << stderr_;
  EXPECT_EQ(Run([](RunFrame& frame) { frame.Log({std::string(4060, 'x')}); }), 1)
      << "the success line does not fit";
  EXPECT_EQ(ResultValue(), "False");
  ::setrlimit(RLIMIT_FSIZE, &saved);

  testing::MakeDatabase(new_dir_ + "qorsite.mdb", "CREATE TABLE t (v LONG);");
  EXPECT_EQ(Run([&](RunFrame& frame) {
              db::Database db = frame.engine().OpenDatabase(new_dir_ + "qorsite.mdb");
              db.Execute("INSERT INTO t VALUES (1)");
              ::raise(SIGTERM);
              db.Execute("INSERT INTO t VALUES (2)");
            }),
            1);
  EXPECT_EQ(testing::DumpTable(new_dir_ + "qorsite.mdb", "t"), "1\n");
  EXPECT_NE(LogText().find("Run stopped by SIGTERM"), std::string::npos) << LogText();
  EXPECT_EQ(ResultValue(), "False");
  // The stop request is forgotten, so that later runs in this process go on.
  RunFrame::InstallSignalHandlers();
  for (int s : {SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGXFSZ}) std::signal(s, SIG_DFL);
}

TEST_F(RunFrameTest, CanOpenDatabaseTellsWithoutChangingTheFile) {
  const std::string good = old_dir_ + "qord003.mdb";
  sqlite3* handle = nullptr;
  ASSERT_EQ(sqlite3_open(good.c_str(), &handle), SQLITE_OK);
  ASSERT_EQ(
      sqlite3_exec(handle, "create table boards (boardtype SHORT)", nullptr, nullptr, nullptr),
      SQLITE_OK);
  sqlite3_close(handle);
  const std::string good_bytes = Read(good);
  std::ofstream(old_dir_ + "qord012.mdb") << "not a database, just text that is long enough";

  std::vector<bool> answers;
  int status = Run([&](RunFrame& frame) {
    answers.push_back(frame.CanOpenDatabase(good));
    answers.push_back(frame.CanOpenDatabase(old_dir_ + "qord012.mdb"));
    answers.push_back(frame.CanOpenDatabase(old_dir_ + "qord042.mdb"));
  });
  EXPECT_EQ(status, 0) << "a failed probe leaves no error pending";
  EXPECT_EQ(answers, (std::vector<bool>{true, false, false}));
  EXPECT_EQ(Read(good), good_bytes);
  EXPECT_FALSE(fs::exists(old_dir_ + "qord042.mdb"));
  EXPECT_FALSE(fs::exists(good + "-journal"));
}

TEST_F(RunFrameTest, CopyTemplateReplacesTheTargetAndMakesItWritable) {
  std::ofstream(new_dir_ + "qordxxx.mdb") << "template";
  ::chmod((new_dir_ + "qordxxx.mdb").c_str(), 0444);
  std::ofstream(new_dir_ + "qord003.mdb") << "an older, longer file";
  int status = Run([&](RunFrame& frame) {
    frame.CopyTemplate(new_dir_ + "qordxxx.mdb", new_dir_ + "qord003.mdb");
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(Read(new_dir_ + "qord003.mdb"), "template");
  struct stat st;
  ASSERT_EQ(::stat((new_dir_ + "qord003.mdb").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
}

}  // namespace
}  // namespace relamor
