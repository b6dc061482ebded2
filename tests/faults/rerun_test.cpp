// Whole runs of repeats on one converted installation (the release 3.5
// sample): what the hidden folder .relamor/ makes of each, and that nothing
// is written where nothing may be. Each check looks at the exit status, the
// log's last line and standard error, RelamorResult, the old directory and
// the new directory's files.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>

#include "tests/support/installation.h"
#include "tests/support/strategies.h"
#include "tests/support/test_db.h"

namespace relamor::testing {
namespace {

namespace fs = std::filesystem;

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The registry value a run that writes none leaves as it is.
void SetResult(Installation& inst, const std::string& value) {
  WriteFile(ProductKeyDir(inst.registry()) + "/RelamorResult", value);
}

// A converted installation, and the state its run recorded.
class Repeat : public ::testing::Test {
 protected:
  void SetUp() override {
    inst_.FromSample("release35");
    const ProgramRun first = inst_.Run("relamor");
    ASSERT_EQ(first.exit_status, 0) << first.err;
    users_ = inst_.Dump("new", "qorsite", "users");
    site_ = inst_.Dump("new", "qord003", "boards");
    ASSERT_NE(users_, "");
  }
  // Runs and expects the refusal: status 76, one reason line naming `names`,
  // no log, no result value, no file of the new directory changed.
  void ExpectRefused(const std::vector<std::string>& args, const std::string& names) {
    SetResult(inst_, "before");
    const auto before = inst_.Snapshot("new");
    const ProgramRun run = inst_.Run("relamor", args, {});
    EXPECT_EQ(run.exit_status, 76) << run.err;
    EXPECT_EQ(run.err.rfind("relamor: ", 0), 0u) << run.err;
    EXPECT_TRUE(Has(LastLine(run.err), names)) << run.err;
    EXPECT_EQ(inst_.Result(), "before");
    EXPECT_TRUE(inst_.Snapshot("new") == before) << "nothing written";
    EXPECT_TRUE(inst_.OldUnchanged());
  }
  std::vector<std::string> Args(const std::string& option = "") const {
    std::vector<std::string> args;
    if (!option.empty()) args.push_back(option);
    args.push_back(inst_.old_dir() + "," + inst_.new_dir());
    return args;
  }

  Installation inst_;
  std::string users_;
  std::string site_;
};

TEST_F(Repeat, UnchangedConvertsAgainChangedIsRefusedUnlessForced) {
  EXPECT_TRUE(Has(FileBytes(inst_.new_dir() + ".relamor/state"), "\nend True\n"));

  // Nothing changed since: the same conversion again, from the copy.
  const ProgramRun again = inst_.Run("relamor");
  EXPECT_EQ(again.exit_status, 0) << again.err;
  EXPECT_TRUE(Has(again.err, "restored " + inst_.new_dir() + "qorsite.mdb")) << again.err;
  EXPECT_EQ(inst_.Dump("new", "qorsite", "users"), users_) << "no row twice";
  EXPECT_EQ(inst_.Result(), "True");

  // The installation is in use: a row added to a site database.
  MakeDatabase(inst_.new_dir() + "qord003.mdb", "INSERT INTO boards (boardID) VALUES (9999);");
  const std::string in_use = inst_.Dump("new", "qord003", "boards");
  ExpectRefused(Args(), inst_.new_dir() + "qord003.mdb changed");
  ExpectRefused(Args(), "--again");
  ExpectRefused(Args("--check"), inst_.new_dir() + "qord003.mdb changed");
  EXPECT_EQ(inst_.Dump("new", "qord003", "boards"), in_use);

  // Forced: converted again from the copy, the added row discarded.
  const ProgramRun forced = inst_.Run("relamor", Args("--again"), {});
  EXPECT_EQ(forced.exit_status, 0) << forced.err;
  EXPECT_TRUE(Has(forced.err, "discarded")) << forced.err;
  EXPECT_EQ(inst_.Dump("new", "qord003", "boards"), site_);
  EXPECT_EQ(inst_.Dump("new", "qorsite", "users"), users_);
  EXPECT_EQ(inst_.NewIntegrityProblems(), "");
}

TEST_F(Repeat, FreshInstallerCopyIsRefusedUntilTheFolderIsRemoved) {
  // The installer puts a fresh qorsite.mdb in place (with a table of its own).
  const auto install_fresh = [&] {
    const std::string fresh = inst_.root() + "/fresh.mdb";
    MakeDatabase(fresh, FileBytes(std::string(RELAMOR_SOURCE_DIR) +
                                  "/samples/release35/new/qorsite.sql") +
                            "CREATE TABLE fresh (x LONG);");
    fs::rename(fresh, inst_.new_dir() + "qorsite.mdb");
  };
  install_fresh();
  ExpectRefused(Args(), inst_.new_dir() + "qorsite.mdb");
  ExpectRefused(Args(), "remove the folder '" + inst_.new_dir() + ".relamor'");

  fs::remove_all(inst_.new_dir() + ".relamor");
  const ProgramRun run = inst_.Run("relamor");
  EXPECT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(inst_.Dump("new", "qorsite", "fresh"), "");
  EXPECT_EQ(inst_.Dump("new", "qorsite", "users"), users_);

  // After a failed run, a fresh copy is taken as it is, not restored over.
  inst_.Old("qord003", "DROP TABLE alarms;");
  ASSERT_EQ(inst_.Run("relamor").exit_status, 1);
  install_fresh();
  const ProgramRun after_failure = inst_.Run("relamor");
  EXPECT_TRUE(Has(after_failure.err, "was replaced since the last run")) << after_failure.err;
  EXPECT_EQ(inst_.Dump("new", "qorsite", "fresh"), "");
}

// A run that ends before its first write (a mistyped old directory) leaves
// every database of the new directory as it was and is not the last run: the
// next correct repeat still finds the successful conversion unchanged.
TEST_F(Repeat, StopBeforeTheFirstWriteChangesNoDatabase) {
  const std::string first_log = inst_.Log();
  auto before = inst_.Snapshot("new");
  const ProgramRun typo = inst_.Run("relamor", inst_.root() + "/olt/," + inst_.new_dir());
  EXPECT_EQ(typo.exit_status, 1) << typo.err;
  EXPECT_EQ(inst_.Result(), "False");
  const std::string last = LastLine(inst_.Log());
  EXPECT_TRUE(Has(last, inst_.root() + "/olt/qorsite.mdb")) << last;
  EXPECT_EQ(LastLine(typo.err), "relamor: " + last);
  EXPECT_EQ(FileBytes(inst_.new_dir() + "RelamorLog.txt.1"), first_log);
  auto after = inst_.Snapshot("new");
  for (auto* files : {&before, &after}) {
    files->erase("RelamorLog.txt");
    files->erase("RelamorLog.txt.1");
  }
  EXPECT_TRUE(after == before) << "no database written";

  const ProgramRun again = inst_.Run("relamor");
  EXPECT_EQ(again.exit_status, 0) << again.err;
  EXPECT_EQ(inst_.Dump("new", "qorsite", "users"), users_);
}

// Links planted in the hidden folder are refused, never followed; a link
// planted at the log or the report is replaced. Nothing outside changes, and
// the files the run makes follow the umask.
TEST_F(Repeat, PlantedLinksAreNeverFollowed) {
  const std::string outside = inst_.root() + "/outside";
  fs::create_directory(outside);
  WriteFile(outside + "/target", "precious");
  const std::string folder = inst_.new_dir() + ".relamor";
  const std::string state = FileBytes(folder + "/state");

  fs::remove(folder + "/state");
  fs::create_symlink(outside + "/target", folder + "/state");
  ExpectRefused(Args(), folder + "/state");
  fs::remove(folder + "/state");
  WriteFile(folder + "/state", state);

  fs::rename(folder, inst_.root() + "/kept");
  fs::create_directory_symlink(outside, folder);
  ExpectRefused(Args(), "is a symbolic link");
  fs::remove(folder);
  fs::rename(inst_.root() + "/kept", folder);

  // The copy swapped for a link to another database: not restored from.
  fs::copy_file(inst_.old_dir() + "qord003.mdb", outside + "/other.mdb");
  fs::rename(folder + "/qorsite.mdb", inst_.root() + "/copy.mdb");
  fs::create_symlink(outside + "/other.mdb", folder + "/qorsite.mdb");
  ExpectRefused(Args(), "is not the copy");
  fs::remove(folder + "/qorsite.mdb");
  fs::rename(inst_.root() + "/copy.mdb", folder + "/qorsite.mdb");

  fs::remove(inst_.new_dir() + "RelamorLog.txt");
  fs::create_symlink(outside + "/target", inst_.new_dir() + "RelamorLog.txt");
  fs::create_symlink(outside + "/target", inst_.new_dir() + "report.json");
  ChildSetup setup;
  setup.umask = 027;
  const ProgramRun run = inst_.Run(
      "relamor", {"--report", inst_.new_dir() + "report.json", Args().back()}, setup);
  EXPECT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(FileBytes(outside + "/target"), "precious");
  EXPECT_EQ(inst_.Dump("new", "qorsite", "users"), users_);
  for (const char* made : {"RelamorLog.txt", "report.json", ".relamor/state"}) {
    const fs::path path = inst_.new_dir() + made;
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(path))) << made;
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u) << made;
  }
}

// Old and new directories are refused only when they are the same: a prefix
// without its "/" gets a hint; a new directory inside the old one converts.
TEST(DirectoryGuard, OnlyTheSameDirectoryIsRefused) {
  Installation inst;
  inst.FromSample("release35");
  const ProgramRun slash = inst.Run("relamor", inst.root() + "/old," + inst.root() + "/new");
  EXPECT_EQ(slash.exit_status, 64);
  EXPECT_TRUE(Has(slash.err, "did you mean '" + inst.root() + "/old/," + inst.root() + "/new/'"))
      << slash.err;
  EXPECT_EQ(inst.Result(), "<none>");
  EXPECT_EQ(inst.Files("new"), (std::vector<std::string>{"qordxxx.mdb", "qorsite.mdb", "qorstat.mdb"}));

  fs::rename(inst.new_dir(), inst.old_dir() + "new");
  const ProgramRun nested = inst.Run("relamor", inst.old_dir() + "," + inst.old_dir() + "new/");
  EXPECT_EQ(nested.exit_status, 0) << nested.err;
  EXPECT_EQ(inst.Result(), "True");
  EXPECT_NE(DumpTable(inst.old_dir() + "new/qord003.mdb", "boards"), "");
}

// A damaged old site database met after earlier tables of the site were
// copied (the damage in the overflow pages of the last row of the last
// table, which counting its rows and reading its first row do not read): both strategies keep the same rows, and the log's
// last line and standard error name the damaged file.
class DamagedOldDatabase : public StrategyTest {};

TEST_P(DamagedOldDatabase, NeverUndoesRowsStoredBefore) {
  static const char* const kTables[] = {"boards", "commands", "schedules", "alarms",
                                        "events", "EXCCS",    "cmdidguid", "notes"};
  for (const bool truncated : {false, true}) {
    SCOPED_TRACE(truncated ? "truncated" : "garbage page");
    Installation inst;
    inst.FromSample("release35");
    const std::string old_site = inst.old_dir() + "qord003.mdb";
    MakeDatabase(old_site, "CREATE TABLE notes (id LONG, t MEMO);"
                           "INSERT INTO notes VALUES (1, 'a'); INSERT INTO notes VALUES (2, 'b');"
                           "INSERT INTO notes VALUES (3, replace(hex(zeroblob(12000)), '00', 'ab'));");
    MakeDatabase(inst.new_dir() + "qordxxx.mdb",
                 "CREATE TABLE notes (id LONG, t MEMO);"
                 "INSERT INTO export VALUES (17, 'notes', 'id', 'notes', 'id', 0, 1);"
                 "INSERT INTO export VALUES (17, 'notes', 't', 'notes', 't', 0, 1);");
    std::string bytes = FileBytes(old_site);
    if (truncated) {
      bytes.resize(bytes.size() - 4096);
    } else {
      // The overflow chain of the last row: its pages lead nowhere.
      for (std::size_t k = bytes.size() - 5 * 4096; k < bytes.size(); ++k) bytes[k] = '\xAB';
    }
    WriteFile(old_site, bytes);
    const ProgramRun run = inst.Run("relamor");
    EXPECT_EQ(run.exit_status, 1) << run.err;
    EXPECT_EQ(inst.Result(), "False");
    const std::string last = LastLine(inst.Log());
    EXPECT_TRUE(Has(last, "qord003.mdb")) << last;
    EXPECT_EQ(LastLine(run.err), "relamor: " + last);
    EXPECT_FALSE(Has(inst.Log(), "could not be committed")) << inst.Log();
    EXPECT_TRUE(inst.OldUnchanged());
    EXPECT_EQ(inst.NewIntegrityProblems(), "");
    if (truncated) {
      // Found short when the site list is read: before any write to it.
      EXPECT_FALSE(inst.Exists("new", "qord003.mdb"));
      continue;
    }
    // The tables before the damaged one kept their rows, the same under
    // both strategies (the first one run records them).
    EXPECT_NE(inst.Dump("new", "qord003", "boards"), "");
    std::string rows;
    for (const char* table : kTables) {
      rows += std::string(table) + ":\n" + inst.Dump("new", "qord003", table);
    }
    static std::map<bool, std::string> kept;
    if (kept.count(truncated) == 0) {
      kept[truncated] = rows;
    } else {
      EXPECT_EQ(rows, kept[truncated]);
    }
  }
}

RELAMOR_UNDER_BOTH_STRATEGIES(DamagedOldDatabase);

}  // namespace
}  // namespace relamor::testing
