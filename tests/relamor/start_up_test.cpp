// relamor's start-up: release detection, the release 2.0 refusal, the empty
// mapping, the site list and the orderly stops, through whole runs.
#include <gtest/gtest.h>

#include <fstream>

#include "tests/relamor/relamor_fixture.h"

namespace relamor::testing {
namespace {

std::string FirstLine(const std::string& log) { return log.substr(0, log.find("\r\n")); }

TEST(StartUp, RefusesRelease20WithoutWritingAResult) {
  Installation inst;
  inst.Old("qorsite", R"(
    CREATE TABLE sites (id LONG, Name TEXT(50));
    CREATE TABLE customers (SiteId LONG, Name TEXT(50));
  )");
  inst.New("qorsite", kNewMain + Map(1, "sites", "id", "sites", "id", 0));
  const ProgramRun run = inst.Run("relamor");
  EXPECT_EQ(run.exit_status, 2);
  EXPECT_EQ(inst.Log(), Lines({"Old Version is Tervanis 2.0", "Current Version is Tervanis 3.5.12",
                               "Old Version of QOR2.0 is incompatible"}));
  EXPECT_EQ(inst.Result(), "<none>");
  EXPECT_TRUE(inst.OldUnchanged());
}

TEST(StartUp, DetectsReleaseFromTablesWhenThereIsNoReleaseTable) {
  struct Case {
    std::string old_tables;
    std::string expected;
  };
  for (const Case& c : {Case{"CREATE TABLE Export3035 (sno LONG);", "Old Version is Tervanis 3.5"},
                        Case{"CREATE TABLE export (sno LONG);", "Old Version is Tervanis 3.0"},
                        Case{"", "Old Version is Tervanis Unknown"}}) {
    Installation inst;
    inst.Old("qorsite", kOldSites + c.old_tables);
    inst.New("qorsite", kExportTable);  // no qorreleases: current release unknown
    const ProgramRun run = inst.Run("relamor");
    EXPECT_EQ(run.exit_status, 0) << c.expected;
    EXPECT_EQ(inst.Log(), Lines({c.expected, "Current Version is Tervanis Unknown", kSuccessLine}));
  }
}

TEST(StartUp, ServicePackJoinsTheRelease) {
  struct Case {
    std::string service_pack;
    std::string expected;
  };
  for (const Case& c : {Case{"2", "3.5.2"}, Case{"0", "3.5"}, Case{"NULL", "3.5"},
                        Case{"-1", "3.5.-1"}}) {
    Installation inst;
    inst.Old("qorsite", OldMain("3.5", c.service_pack) +
                            "INSERT INTO qorreleases VALUES (1, '3.0', 0, 1);\n");
    inst.New("qorsite", kNewMain);
    inst.Run("relamor");
    EXPECT_EQ(FirstLine(inst.Log()), "Old Version is Tervanis " + c.expected) << c.service_pack;
  }
}

TEST(StartUp, EmptyMappingSucceedsWithoutTouchingSites) {
  Installation inst;
  inst.Old("qorsite", kOldMain + "INSERT INTO sites VALUES (3, 'a', 'b');");
  inst.Old("qord003", "CREATE TABLE x (a LONG);");
  inst.New("qorsite", kNewMain);
  inst.New("qordxxx", kNewMain);
  const ProgramRun run = inst.Run("relamor");
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_EQ(inst.Result(), "True");
  EXPECT_EQ(inst.Log(), Lines({"Old Version is Tervanis 3.5", "Current Version is Tervanis 3.5.12",
                               kSuccessLine}));
  EXPECT_FALSE(inst.Exists("new", "qord003.mdb"));
}

TEST(StartUp, ListsOnlySitesWhoseOldDatabaseOpens) {
  Installation inst;
  inst.Old("qorsite", kOldMain + R"(
    INSERT INTO sites VALUES (1, 'one', 'n');
    INSERT INTO sites VALUES (2, 'two', 'n');
    INSERT INTO sites VALUES (150, 'big', 'n');
    CREATE TABLE notes (v LONG);
  )");
  const std::string site = "CREATE TABLE notes (v LONG); INSERT INTO notes VALUES (7);";
  inst.Old("qord002", site);
  inst.Old("qord150", site);
  const std::string mapping = Map(1, "notes", "v", "notes", "v", 0) +
                              Map(1, "notes", "v", "notes", "w", 0) +
                              "CREATE TABLE notes (v LONG, w LONG);\n";
  inst.New("qorsite", kNewMain + mapping);
  inst.New("qordxxx", kNewMain + mapping + kBoards);
  inst.New("qorstat", kQorstat);
  const ProgramRun run = inst.Run("relamor");
  ASSERT_EQ(run.exit_status, 0) << inst.Log();
  const std::string log = inst.Log();
  EXPECT_NE(log.find(Lines({"Reading Sites Table.", " 3  Sites found.", "created qord002.mdb",
                            "created qord150.mdb", "Copied all database files to be updated",
                            "Opened Old databaseqorsite.mdb"})),
            std::string::npos)
      << log;
  EXPECT_LT(log.find("Opened Old databaseqord002.mdb"), log.find("Opened Old databaseqord150.mdb"));
  EXPECT_FALSE(inst.Exists("new", "qord001.mdb"));
  EXPECT_EQ(inst.Dump("new", "qord150", "notes"), "7|7\n");
  EXPECT_TRUE(inst.OldUnchanged());
}

TEST(StartUp, DamagedSiteDatabaseEndsTheRunInsteadOfBeingLeftOut) {
  Installation inst;
  inst.Old("qorsite", kOldMain + "INSERT INTO sites VALUES (1, 'one', 'n');"
                                 "INSERT INTO sites VALUES (2, 'two', 'n');");
  inst.Old("qord001", "CREATE TABLE notes (v LONG);");
  {
    std::ofstream damaged(inst.old_dir() + "qord002.mdb", std::ios::binary);
    damaged << "this is not a database file, but it is not missing either";
  }
  inst.New("qorsite", kNewMain + Map(1, "sites", "Name", "sites", "Name", 0));
  inst.New("qordxxx", kNewMain);
  const ProgramRun run = inst.Run("relamor");
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(inst.Result(), "False");
  const std::string log = inst.Log();
  EXPECT_NE(log.find(inst.old_dir() + "qord002.mdb"), std::string::npos) << log;
  EXPECT_EQ(log.find("Sites found"), std::string::npos) << log;
  EXPECT_TRUE(inst.OldUnchanged());
}

TEST(StartUp, EmptySiteNumberStopsWithOutOfMemory) {
  Installation inst;
  inst.Old("qorsite", kOldMain + "INSERT INTO sites VALUES (NULL, 'nameless', 'n');");
  inst.New("qorsite", kNewMain + Map(1, "sites", "Name", "sites", "Name", 0));
  inst.New("qordxxx", kNewMain);
  const ProgramRun run = inst.Run("relamor");
  EXPECT_EQ(run.exit_status, 2);
  EXPECT_EQ(inst.Log(), Lines({"Old Version is Tervanis 3.5", "Current Version is Tervanis 3.5.12",
                               "Reading Sites Table.", "Out of Memory"}));
  EXPECT_NE(run.err.find("Out of Memory"), std::string::npos);
  EXPECT_EQ(inst.Result(), "<none>");
}

TEST(StartUp, MissingRegistryKeyStopsBeforeAnyDatabase) {
  Installation inst;
  inst.Old("qorsite", kOldMain);
  inst.New("qorsite", kNewMain);
  const ProgramRun run = RunProgram("relamor", {inst.old_dir() + "," + inst.new_dir()},
                                    inst.root() + "/no-registry");
  EXPECT_EQ(run.exit_status, 2);
  EXPECT_EQ(inst.Log(),
            Lines({"Registry Access Error, check to see that the registry settings are proper "
                   "and the user has administrative rights "}));
}

TEST(StartUp, MissingMainDatabaseTakesTheErrorPath) {
  Installation inst;
  inst.New("qorsite", kNewMain);
  const ProgramRun run = inst.Run("relamor");
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(inst.Result(), "False");
  EXPECT_NE(inst.Log().find("qorsite.mdb"), std::string::npos) << inst.Log();
}

}  // namespace
}  // namespace relamor::testing
