// The seven copy modes of the field-mapped copy, through whole relamor runs on
// one small main database (no sites), plus the Sites customer link; each
// under both copy strategies, and the check, which copies nothing, once.
#include <gtest/gtest.h>

#include <map>
#include <memory>

#include "tests/relamor/relamor_fixture.h"
#include "tests/support/report_check.h"
#include "tests/support/strategies.h"

namespace relamor::testing {
namespace {

// One small main database whose tables take every copy mode.
void Build(Installation& inst) {
  inst.Old("qorsite", kOldMain + R"(
    CREATE TABLE plain (x LONG, label TEXT(20));
    INSERT INTO plain VALUES (1, 'one'); INSERT INTO plain VALUES (2, NULL);
    CREATE TABLE nums (name TEXT(20));
    INSERT INTO nums VALUES ('a'); INSERT INTO nums VALUES ('b'); INSERT INTO nums VALUES ('c');
    CREATE TABLE nums2 (name TEXT(20));
    INSERT INTO nums2 VALUES ('x'); INSERT INTO nums2 VALUES ('y');
    CREATE TABLE emptyb (name TEXT(20));
    CREATE TABLE firstnum (val TEXT(20));
    INSERT INTO firstnum VALUES ('p'); INSERT INTO firstnum VALUES ('q');
    CREATE TABLE filled (val TEXT(20));
    INSERT INTO filled VALUES ('new');
    CREATE TABLE twonum (id LONG, val TEXT(20));
    INSERT INTO twonum VALUES (70, 'r'); INSERT INTO twonum VALUES (80, 's');
    INSERT INTO twonum VALUES (90, 't');
    CREATE TABLE twoonly (id LONG);
    INSERT INTO twoonly VALUES (5); INSERT INTO twoonly VALUES (6);
    CREATE TABLE single (v LONG);
    INSERT INTO single VALUES (1); INSERT INTO single VALUES (2); INSERT INTO single VALUES (3);
    INSERT INTO single VALUES (4); INSERT INTO single VALUES (5);
    CREATE TABLE onerow (v LONG);
    INSERT INTO onerow VALUES (42);
    CREATE TABLE inorder (v TEXT(10));
    INSERT INTO inorder VALUES ('first'); INSERT INTO inorder VALUES ('second');
    INSERT INTO inorder VALUES ('third');
    CREATE TABLE nullflag (v LONG);
    INSERT INTO nullflag VALUES (1);
    CREATE TABLE exccs (CAT TEXT(10), level LONG);
    INSERT INTO exccs VALUES ('A', 1);
  )");
  inst.New("qorsite", kNewMain +
      Map(1, "plain", "x", "plain", "x", 0) + Map(1, "plain", "label[old]", "plain", "label", 0) +
      Map(2, "nums", "name", "nums", "name", 0) + Map(2, "nums", "name", "nums", "no", -1) +
      Map(3, "nums2", "name", "nums2", "name", 0) + Map(3, "nums2", "name", "nums2", "no", -1) +
      Map(4, "emptyb", "name", "emptyb", "name", 0) + Map(4, "emptyb", "name", "emptyb", "no", -1) +
      Map(5, "firstnum", "val", "firstnum", "no", -1) +
      Map(5, "firstnum", "val", "firstnum", "val", 0) +
      Map(6, "filled", "val", "filled", "no", -1) + Map(6, "filled", "val", "filled", "val", 0) +
      Map(7, "twonum", "id", "twonum", "id", -1) + Map(7, "twonum", "id", "twonum", "seq", -1) +
      Map(7, "twonum", "val", "twonum", "val", 0) +
      Map(8, "twoonly", "id", "twoonly", "a", -1) + Map(8, "twoonly", "id", "twoonly", "b", -1) +
      Map(9, "single", "v", "single", "v", 0) +
      Map(10, "onerow", "v", "onerow", "v", 0) +
      Map(11, "inorder", "v", "inorder", "w", 0) +
      "INSERT INTO export VALUES (12, 'nullflag', 'v', 'nullflag', 'v', NULL, 1);\n" +
      Map(12, "nullflag", "v", "nullflag", "v", 0) +
      Map(13, "exccs", "CAT", "exccs", "CAT", 0) + Map(13, "exccs", "level", "exccs", "level", 0) +
      R"(
    CREATE TABLE plain (x LONG, label TEXT(20), extra TEXT(10) DEFAULT 'dflt');
    CREATE TABLE nums (name TEXT(20), no SHORT);
    CREATE TABLE nums2 (name TEXT(20), no SHORT);
    CREATE TABLE emptyb (name TEXT(20), no SHORT);
    CREATE TABLE firstnum (no SHORT, val TEXT(20));
    CREATE TABLE filled (no SHORT, val TEXT(20));
    INSERT INTO filled VALUES (9, 'kept');
    CREATE TABLE twonum (id LONG, seq LONG, val TEXT(20));
    CREATE TABLE twoonly (a LONG, b LONG, c TEXT(5) DEFAULT 'c');
    CREATE TABLE single (v LONG);
    CREATE TABLE onerow (v LONG, other TEXT(10));
    INSERT INTO onerow VALUES (1, 'kept');
    CREATE TABLE inorder (k LONG, w TEXT(10));
    INSERT INTO inorder VALUES (1, 'a'); INSERT INTO inorder VALUES (2, 'b');
    INSERT INTO inorder VALUES (3, 'c'); INSERT INTO inorder VALUES (4, 'd');
    CREATE TABLE nullflag (v LONG);
    CREATE TABLE exccs (CAT TEXT(10), level LONG);
    INSERT INTO exccs VALUES ('A', 0);
  )");
}

class CopyModes : public StrategyTest {
 protected:
  struct Case {
    Installation inst;
    ProgramRun run;
  };
  // One installation and run per strategy, shared by the tests of the suite.
  void SetUp() override {
    StrategyTest::SetUp();
    std::unique_ptr<Case>& c = cases_[GetParam()];
    if (!c) {
      c = std::make_unique<Case>();
      Build(c->inst);
      c->run = c->inst.Run("relamor", c->inst.old_dir() + "," + c->inst.new_dir(),
                           {{"RELAMOR_REPORT", c->inst.root() + "/report.json"}});
    }
    inst_ = &c->inst;
    run_ = &c->run;
  }
  static void TearDownTestSuite() { cases_.clear(); }

  std::string New(const std::string& table) { return inst_->Dump("new", "qorsite", table); }

  static std::map<std::string, std::unique_ptr<Case>> cases_;
  Installation* inst_ = nullptr;
  ProgramRun* run_ = nullptr;
};

std::map<std::string, std::unique_ptr<CopyModes::Case>> CopyModes::cases_;
RELAMOR_UNDER_BOTH_STRATEGIES(CopyModes);

TEST_P(CopyModes, RunSucceedsWithoutTouchingTheOldDatabase) {
  EXPECT_EQ(run_->exit_status, 0) << inst_->Log();
  EXPECT_EQ(inst_->Result(), "True");
  EXPECT_TRUE(inst_->OldUnchanged());
}

TEST_P(CopyModes, PlainAppendCopiesMappedFieldsAndKeepsDefaults) {
  // "label[old]" addresses the field label.
  EXPECT_EQ(New("plain"), "1|one|dflt\n2|NULL|dflt\n");
  // Mode A on a table named "exccs": only "EXCCS" in that letter case takes
  // the category copy, so these rows are appended.
  EXPECT_EQ(New("exccs"), "A|0\nA|1\n");
}

TEST_P(CopyModes, SecondFieldNumberedPerTable) {
  EXPECT_EQ(New("nums"), "a|1\nb|2\nc|3\n");
  EXPECT_EQ(New("nums2"), "x|1\ny|2\n");
  EXPECT_EQ(New("emptyb"), "");
  const std::string log = inst_->Log();
  EXPECT_NE(log.find("No of records in numsare 3 \r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("No of records in nums2are 2 \r\n"), std::string::npos) << log;
  // An empty old table writes no such line.
  EXPECT_EQ(log.find("No of records in emptyb"), std::string::npos) << log;
}

TEST_P(CopyModes, FirstFieldNumberedOnlyIntoAnEmptyTable) {
  EXPECT_EQ(New("firstnum"), "1|p\n2|q\n");
  EXPECT_EQ(New("filled"), "9|kept\n");
  // The summary says that nothing was written, and why.
  EXPECT_NE(run_->out.find("(mode C writes only into an empty table, and the new table 'filled' "
                           "holds rows)"),
            std::string::npos)
      << run_->out;
  EXPECT_NE(SummaryTables(run_->out).find("qorsite|filled|none|1|0|0\n"), std::string::npos);
}

TEST_P(CopyModes, FirstTwoFieldsNumberedThenFilled) {
  EXPECT_EQ(New("twonum"), "1|1|r\n2|2|s\n3|3|t\n");
  EXPECT_EQ(New("twoonly"), "1|1|c\n2|2|c\n");
}

TEST_P(CopyModes, SingleFieldCopyAppendsOrOverwrites) {
  EXPECT_EQ(New("single"), "1\n2\n3\n4\n5\n");
  EXPECT_EQ(New("onerow"), "42|kept\n");
}

TEST_P(CopyModes, SingleFieldUpdateInOrder) {
  EXPECT_EQ(New("inorder"), "1|first\n2|second\n3|third\n4|d\n");
}

TEST_P(CopyModes, NullNumberingFlagWritesNothing) { EXPECT_EQ(New("nullflag"), ""); }

// The check lists every table the run would leave unwritten as a warning. It
// copies no table: it runs once, not under each strategy.
TEST(CopyModesCheck, WarnsOfTheTablesLeftUnwritten) {
  Installation inst;
  Build(inst);
  const ProgramRun check = inst.Run("relamor", {"--check", inst.old_dir() + "," + inst.new_dir()}, {});
  EXPECT_EQ(check.exit_status, 0) << check.out << check.err;
  EXPECT_NE(check.out.find("Warnings (2; the run would leave these tables unwritten)\n"
                           "qorsite filled sno 6: nothing is written into table 'filled': mode C"),
            std::string::npos)
      << check.out;
  EXPECT_NE(check.out.find("qorsite nullflag sno 12: nothing is written into table 'nullflag'"),
            std::string::npos)
      << check.out;
}

// On these tame tables every append and D's two passes are stored by their
// shortcut, as the report says; mode G and F's overwrite have none; row by
// row no shortcut is tried.
TEST_P(CopyModes, ShortcutsFireOnTameData) {
  const nlohmann::json report = ReadReport(inst_->root() + "/report.json");
  if (GetParam() == "rows") {
    EXPECT_EQ(OnlyWalks(report), "");
    return;
  }
  EXPECT_EQ(ReportPaths(report),
            "qorsite|plain|set-based|AppendFrom\n"     // A
            "qorsite|nums|set-based|AppendFrom\n"      // B
            "qorsite|nums2|set-based|AppendFrom\n"
            "qorsite|emptyb|rows|\n"                   // no old row: nothing tried
            "qorsite|firstnum|set-based|AppendFrom\n"  // C
            "qorsite|filled|rows|\n"                   // C, the new table holds rows
            "qorsite|twonum|set-based|AppendFilled\n"  // D
            "qorsite|twoonly|set-based|AppendFrom\n"   // E
            "qorsite|single|set-based|AppendFrom\n"    // F into an empty table
            "qorsite|onerow|rows|\n"                   // F overwriting
            "qorsite|inorder|rows|\n"                  // G
            "qorsite|nullflag|rows|\n"
            "qorsite|exccs|set-based|AppendFrom\n");
}

// The Sites customer link, over two databases: the placeholder numbers
// continue from one database to the next.
class CustomerLink : public StrategyTest {};
RELAMOR_UNDER_BOTH_STRATEGIES(CustomerLink);

TEST_P(CustomerLink, LinksSitesToCustomersAcrossDatabases) {
  Installation inst;
  inst.Old("qorsite", kOldMain + R"(
    INSERT INTO sites VALUES (1, 'one', 'n'); INSERT INTO sites VALUES (2, 'two', 's');
    INSERT INTO sites VALUES (3, 'three', 'e'); INSERT INTO sites VALUES (4, 'four', 'w');
    INSERT INTO customers VALUES (501, 1, 'c1'); INSERT INTO customers VALUES (502, 2, 'c2');
  )");
  // Only site 4 has a site database; it has a site without a customer too.
  inst.Old("qord004", kOldSites + "INSERT INTO sites VALUES (40, 'annex', 'w');");
  const std::string sites_mapping = Map(1, "sites", "siteID", "Sites", "siteID", 0) +
                                    Map(1, "sites", "region", "Sites", "customerID", -1) +
                                    Map(1, "sites", "Name", "Sites", "Name", 0);
  const std::string sites_table =
      "CREATE TABLE Sites (siteID LONG, customerID LONG, Name TEXT(50));\n"
      "CREATE TABLE customers (customerID LONG, Name TEXT(50));\n";
  inst.New("qorsite", kNewMain + sites_mapping + sites_table +
                          "INSERT INTO customers VALUES (501, 'c1');\n");
  inst.New("qordxxx", kNewMain + sites_mapping + sites_table + kBoards);
  inst.New("qorstat", kQorstat);
  const ProgramRun run = inst.Run("relamor");
  ASSERT_EQ(run.exit_status, 0) << inst.Log();
  // Site 1: customer 501 in both databases. Site 2: its customer 502 is not in
  // the new database, so the field stays unwritten. Sites 3 and 4: no old
  // customer, placeholders 1 and 2; the site database goes on with 3.
  EXPECT_EQ(inst.Dump("new", "qorsite", "Sites"), "1|501|one\n2|NULL|two\n3|1|three\n4|2|four\n");
  EXPECT_EQ(inst.Dump("new", "qord004", "Sites"), "40|3|annex\n");
  EXPECT_TRUE(inst.OldUnchanged());
}

}  // namespace
}  // namespace relamor::testing
