// The next command id of a site database and the board fix-up, by old release.
#include <gtest/gtest.h>

#include "tests/relamor/relamor_fixture.h"

namespace relamor::testing {
namespace {

// An installation with one site (qord001) whose old release is
// `product`/`service_pack`, and whose tables hold command ids up to 120.
void BuildSite(Installation& inst, const std::string& product, const std::string& service_pack,
               const std::string& extra_old_tables = "") {
  inst.Old("qorsite", OldMain(product, service_pack) +
                          "INSERT INTO sites VALUES (1, 'one', 'n');\n"
                          "CREATE TABLE cmdidguid (nextcmdid LONG); INSERT INTO cmdidguid VALUES (5);\n");
  inst.Old("qord001", R"(
    CREATE TABLE commands (cmdid LONG, what TEXT(10));
    INSERT INTO commands VALUES (120, 'a'); INSERT INTO commands VALUES (80, 'b');
    CREATE TABLE "cmd log" (CmdId LONG);
    INSERT INTO "cmd log" VALUES (95);
    CREATE TABLE NON_PROG_KEYS (cmdid LONG); INSERT INTO NON_PROG_KEYS VALUES (500);
    CREATE TABLE later (id LONG, cmdid LONG); INSERT INTO later VALUES (1, 999);
    CREATE TABLE cmdidguid (nextcmdid LONG); INSERT INTO cmdidguid VALUES (71);
    CREATE TABLE boards (boardID LONG, boardtype LONG, Name TEXT(50));
    INSERT INTO boards VALUES (1, 5, 'five'); INSERT INTO boards VALUES (2, 18, 'eighteen');
    INSERT INTO boards VALUES (3, 19, 'nineteen'); INSERT INTO boards VALUES (4, 25, 'x');
  )" + extra_old_tables);
  const std::string mapping =
      Map(1, "cmdidguid", "nextcmdid", "cmdidguid", "nextcmdid", 0) +
      Map(2, "boards", "boardID", "boards", "boardID", 0) +
      Map(2, "boards", "boardtype", "boards", "boardtype", 0) +
      Map(2, "boards", "Name", "boards", "Name", 0) +
      "CREATE TABLE cmdidguid (nextcmdid LONG); INSERT INTO cmdidguid VALUES (1);\n";
  const std::string releases =
      "CREATE TABLE qorreleases (no LONG, productname TEXT(10), servicepack LONG, buildno LONG);\n"
      "INSERT INTO qorreleases VALUES (3, '" + product + "', " +
      (service_pack == "NULL" ? "0" : service_pack) + ", 1);\n";
  inst.New("qorsite", releases + kExportTable + Map(1, "cmdidguid", "nextcmdid", "cmdidguid",
                                               "nextcmdid", 0) +
                          "CREATE TABLE cmdidguid (nextcmdid LONG); "
                          "INSERT INTO cmdidguid VALUES (1);\n");
  inst.New("qordxxx", releases + kExportTable + mapping + kBoards);
  inst.New("qorstat", kQorstat + "INSERT INTO boards VALUES (18, 'Digital');"
                                 "INSERT INTO boards VALUES (24, 'Console''s');");
}

struct ReleaseCase {
  const char* product;
  const char* service_pack;
  const char* next_id;  // new cmdidguid of the site
  bool boards_fixed;
};
void PrintTo(const ReleaseCase& c, std::ostream* os) {
  *os << c.product << " sp " << c.service_pack;
}

class CommandIds : public ::testing::TestWithParam<ReleaseCase> {};

TEST_P(CommandIds, RecomputedBeforeServicePack2) {
  const ReleaseCase& c = GetParam();
  Installation inst;
  BuildSite(inst, c.product, c.service_pack);
  const ProgramRun run = inst.Run("relamor");
  ASSERT_EQ(run.exit_status, 0) << inst.Log();
  EXPECT_EQ(inst.Dump("new", "qord001", "cmdidguid"), std::string(c.next_id) + "\n");
  // The main database is never renumbered, and no old database is written.
  EXPECT_EQ(inst.Dump("new", "qorsite", "cmdidguid"), "5\n");
  EXPECT_TRUE(inst.OldUnchanged());

  const std::string log = inst.Log();
  if (c.boards_fixed) {
    EXPECT_EQ(inst.Dump("new", "qord001", "boards"),
              "1|5|five\n2|18|Digital\n3|18|Digital\n4|24|Console's\n");
    EXPECT_NE(log.find(Lines({"Reducing boardtype by one wherever it is >18 ",
                              "Set Name according to new boardtype in 2  records"})),
              std::string::npos)
        << log;
  } else {
    EXPECT_EQ(inst.Dump("new", "qord001", "boards"),
              "1|5|five\n2|18|eighteen\n3|19|nineteen\n4|25|x\n");
    EXPECT_EQ(log.find("Reducing boardtype"), std::string::npos) << log;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Releases, CommandIds,
    ::testing::Values(ReleaseCase{"3.0", "0", "121", true}, ReleaseCase{"3.5", "0", "121", true},
                      ReleaseCase{"3.5", "1", "121", false}, ReleaseCase{"3.5", "2", "71", false},
                      // Service pack 12 is 12, not its last digit.
                      ReleaseCase{"3.5", "12", "71", false}, ReleaseCase{"4.0", "0", "71", false}),
    [](const ::testing::TestParamInfo<ReleaseCase>& p) {
      std::string name = std::string("Release") + p.param.product + "Sp" + p.param.service_pack;
      for (char& c : name) c = c == '.' ? '_' : c;
      return name;
    });

TEST(CommandIdsEdge, EqualMaximumStillRaisesTheNextId) {
  // Maxima 75 and then 76: the next id must be 77, whatever the table order.
  Installation inst;
  BuildSite(inst, "3.0", "0", R"(
    DELETE FROM commands; DELETE FROM "cmd log";
    INSERT INTO commands VALUES (75, 'a'); INSERT INTO "cmd log" VALUES (76);
  )");
  ASSERT_EQ(inst.Run("relamor").exit_status, 0) << inst.Log();
  EXPECT_EQ(inst.Dump("new", "qord001", "cmdidguid"), "77\n");
}

TEST(CommandIdsEdge, NoCommandIdsGiveSeventy) {
  Installation inst;
  BuildSite(inst, "3.0", "0", R"(DELETE FROM commands; DELETE FROM "cmd log";)");
  ASSERT_EQ(inst.Run("relamor").exit_status, 0) << inst.Log();
  EXPECT_EQ(inst.Dump("new", "qord001", "cmdidguid"), "70\n");
}

}  // namespace
}  // namespace relamor::testing
