// Whole runs of relamor on the release 3.5 sample with one hostile construct
// each: schema text of the new database that would act with the program's
// powers, and an environment whose paths read as SQLite URIs. Each case runs
// under both copy strategies and checks one promise: --check finds what the
// run ends with, the exit status, the result value, the cause in the log's
// last line (exit 1), no crash, the old directory byte-identical and every
// new database intact.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <tuple>

#include "tests/support/installation.h"
#include "tests/support/test_db.h"

namespace relamor::testing {
namespace {

namespace fs = std::filesystem;

struct Hostile {
  std::string name;
  std::function<void(Installation&)> apply;
  int exit_status;
  std::string names;  // in the log's last line (exit 1), and what --check finds
  // For a run that succeeds: what the new main database must then hold.
  std::function<void(Installation&)> holds = {};
  // Run from the installation's root with these variables and directories.
  Environment env = {};
  std::string dirs = {};  // "<old>,<new>" relative to the root; default: absolute
};

std::ostream& operator<<(std::ostream& out, const Hostile& h) { return out << h.name; }

// A table `hostile` in the old and the new main database, mapped field by
// field (sno 9), the new one created by `create`.
void HostileTable(Installation& i, const std::string& create) {
  MakeDatabase(i.old_dir() + "qorsite.mdb",
               "CREATE TABLE hostile (id LONG, note TEXT(50));"
               "INSERT INTO hostile VALUES (1, 'note one'), (2, 'Note two'), (3, 'notebook');");
  MakeDatabase(i.new_dir() + "qorsite.mdb",
               create +
                   "INSERT INTO export VALUES (9, 'hostile', 'id', 'hostile', 'id', 0, 1);"
                   "INSERT INTO export VALUES (9, 'hostile', 'note', 'hostile', 'note', 0, 1);");
}

// A default that would replace SQLite's "simple" tokenizer by a pointer of
// the file's choosing, on a NOT NULL column that a copy with two numbered
// fields fills in a second pass (so the copy wants to know the default), and
// an FTS3 table copied after it that would use the tokenizer.
void TokenizerDefault(Installation& i, const std::string& call) {
  MakeDatabase(i.old_dir() + "qorsite.mdb",
               "CREATE TABLE hostile (id LONG, note TEXT(50));"
               "INSERT INTO hostile VALUES (1, 'note one'), (2, 'Note two'), (3, 'notebook');"
               "CREATE TABLE docs (body TEXT(50)); INSERT INTO docs VALUES ('a b c');");
  MakeDatabase(i.new_dir() + "qorsite.mdb",
               "CREATE TABLE hostile (a LONG, b LONG, note TEXT(50) NOT NULL DEFAULT (" + call +
                   "));"
                   "INSERT INTO export VALUES (9, 'hostile', 'id', 'hostile', 'a', -1, 1);"
                   "INSERT INTO export VALUES (9, 'hostile', 'id', 'hostile', 'b', -1, 1);"
                   "INSERT INTO export VALUES (9, 'hostile', 'note', 'hostile', 'note', 0, 1);"
                   "CREATE VIRTUAL TABLE docs USING fts3(body);"
                   "INSERT INTO export VALUES (10, 'docs', 'body', 'docs', 'body', 0, 1);");
}

std::vector<Hostile> Cases() {
  std::vector<Hostile> cases;
  for (const auto& [label, call] :
       {std::pair{"TokenizerPointerDefault", "fts3_tokenizer('simple', x'4141414141414141')"},
        {"TokenizerLookupDefault", "fts3_tokenizer('simple')"}}) {
    const std::string text = call;
    cases.push_back(Hostile{label, [text](Installation& i) { TokenizerDefault(i, text); }, 1,
                            "fts3_tokenizer()"});
  }
  // LIKE in the template's schema means SQLite's LIKE, whatever the
  // program's statements mean by it.
  cases.push_back(Hostile{
      "LikeInIndexesAndCheck",
      [](Installation& i) {
        HostileTable(i,
                     "CREATE TABLE hostile (id LONG, note TEXT(50) CHECK (note LIKE 'note%'));"
                     "CREATE INDEX hostile_notes ON hostile (id) WHERE note LIKE 'note%';"
                     "CREATE INDEX hostile_match ON hostile ((note LIKE 'note%'));");
      },
      0, "",
      [](Installation& i) {
        EXPECT_EQ(i.Dump("new", "qorsite", "hostile"), "1|note one\n2|Note two\n3|notebook\n");
        EXPECT_EQ(i.Dump("new", "qorsite",
                         "SELECT id FROM hostile INDEXED BY hostile_notes WHERE note LIKE 'note%'"),
                  "1\n2\n3\n");
      }});
  // TMPDIR and both directories begin with "file:" and hold URI parameters;
  // the old main database is in WAL mode, so it is read from a private copy
  // in the temporary directory.
  const std::string uri_like = "file:tmp?mode=memory#";
  cases.push_back(Hostile{
      "PathsThatReadAsUris",
      [uri_like](Installation& i) {
        fs::create_directory(i.root() + "/" + uri_like);
        CommitRowOnlyToWal(i.old_dir() + "qorsite.mdb");
      },
      0, "",
      [uri_like](Installation& i) {
        EXPECT_NE(i.Dump("new", "qorsite", "users").find("99|wal|W|"), std::string::npos);
        EXPECT_TRUE(fs::is_empty(i.root() + "/" + uri_like)) << "the private copy is gone";
      },
      {{"TMPDIR", uri_like}},
      uri_like + "/../old/," + uri_like + "/../new/"});
  return cases;
}

class HostileInput : public ::testing::TestWithParam<std::tuple<Hostile, std::string>> {};

TEST_P(HostileInput, KeepsThePromise) {
  const auto& [h, strategy] = GetParam();
  Installation inst;
  inst.FromSample("release35");
  h.apply(inst);
  ChildSetup child;
  child.env = h.env;
  child.env.emplace_back("RELAMOR_COPY_STRATEGY", strategy);
  child.cwd = inst.root();
  const std::string dirs = h.dirs.empty() ? inst.old_dir() + "," + inst.new_dir() : h.dirs;
  const ProgramRun check = RunProgram("relamor", {"--check", dirs}, inst.registry(), child);
  if (h.exit_status == 0) {
    EXPECT_EQ(check.exit_status, 0) << check.out << check.err;
  } else {
    EXPECT_EQ(check.exit_status, 65) << check.out << check.err;
    // The field, and the run's own refusal of the statement.
    EXPECT_NE(check.out.find("hostile field note"), std::string::npos) << check.out;
    EXPECT_NE(check.out.find(h.names), std::string::npos) << check.out;
  }
  const ProgramRun run = inst.Run("relamor", {dirs}, child);

  EXPECT_EQ(run.exit_status, h.exit_status) << run.err << inst.Log();
  EXPECT_EQ(inst.Result(), h.exit_status == 0 ? "True" : "False");
  if (h.exit_status == 1) {
    EXPECT_NE(inst.Log().find(h.names), std::string::npos) << inst.Log();
    EXPECT_NE(run.err.find(h.names), std::string::npos) << run.err;
  }
  if (h.holds) h.holds(inst);
  EXPECT_TRUE(inst.OldUnchanged());
  EXPECT_EQ(inst.NewIntegrityProblems(), "");
}

INSTANTIATE_TEST_SUITE_P(All, HostileInput,
                         ::testing::Combine(::testing::ValuesIn(Cases()),
                                            ::testing::Values(std::string("auto"),
                                                              std::string("rows"))),
                         [](const auto& param) {
                           return std::get<0>(param.param).name + "_" + std::get<1>(param.param);
                         });

}  // namespace
}  // namespace relamor::testing
