// relamor3035 end to end: the built program on temporary installations.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/fixtures.h"
#include "tests/support/installation.h"
#include "tests/support/strategies.h"

namespace relamor::testing {
namespace {

// The mapping table export of this program holds a row it does not read.
const std::string kExport = kExportTable + Map(1, "x", "x", "x", "x", 0);
const std::string kExport3035 =
    "CREATE TABLE export3035 (sno LONG, oldtablename TEXT(64), olddbfieldname TEXT(64),"
    " newtablename TEXT(64), newdbfieldname TEXT(64), autonumber YESNO);\n";

class Relamor3035Test : public StrategyTest {};
RELAMOR_UNDER_BOTH_STRATEGIES(Relamor3035Test);

// Channel, prompt and Customers are plain tables to this program: the sample
// copies "channel" and "Customers" field by field.
TEST_P(Relamor3035Test, ConvertsTheSampleInstallation) {
  Installation inst;
  inst.FromSample("release30");
  ProgramRun run = inst.Run("relamor3035");
  ASSERT_EQ(run.exit_status, 0) << inst.Log() << run.err;
  EXPECT_EQ(inst.Result(), "True");
  EXPECT_EQ(inst.Log(), Lines({kSuccessLine}));
  EXPECT_TRUE(inst.OldUnchanged());
  EXPECT_TRUE(inst.Exists("new", "qord004.mdb"));
  EXPECT_TRUE(inst.Exists("new", "qord031.mdb"));

  EXPECT_EQ(inst.Dump("new", "qorsite", "customers"),
            "3|Veldkamp Logistics|Rotterdam\n8|Schiphol Handling|Haarlemmermeer\n");
  EXPECT_EQ(inst.Dump("new", "qorsite", "sites"), "4|3|Harbour North\n31|8|Airport Cargo\n");
  EXPECT_EQ(inst.Dump("new", "qorsite", "channel"),
            "1|4|Channel1|2\n2|4|Channel2|3\n3|31|Channel3|3\n");
  EXPECT_EQ(inst.Dump("new", "qord004", "select CAT, threshold, enabled from EXCCS"),
            "AC|10|0\nFIRE|3|-1\nHVAC|5|0\n");
  EXPECT_EQ(inst.Dump("new", "qord031", "select CAT, threshold, enabled from EXCCS"),
            "AC|25|-1\nFIRE|1|-1\nHVAC|7|-1\n");
  EXPECT_EQ(inst.Dump("new", "qord004", "select alarmNo, message from alarmlog"),
            "1|Door 1 forced\n2|Door 1 closed\n");
}

// The start-up's stops, an empty mapping and a missing table or column end
// before any table is copied: they run once, not under each strategy.
TEST(Relamor3035StartUp, StopsAndEmptyMapping) {
  {
    SCOPED_TRACE("site number 100");
    Installation inst;
    inst.Old("qorsite", R"sql(
CREATE TABLE sites (siteID LONG, siteName TEXT(20));
INSERT INTO sites VALUES (4, 'North');
INSERT INTO sites VALUES (100, 'Too far');
)sql");
    inst.New("qorsite", kExport + kExport3035);
    inst.New("qordxxx", kExport + kExport3035);
    ProgramRun run = inst.Run("relamor3035");
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_EQ(inst.Log(), Lines({"Out of Memory"}));
    EXPECT_NE(run.err.find("Out of Memory"), std::string::npos) << run.err;
    EXPECT_EQ(inst.Result(), "<none>");
    EXPECT_FALSE(inst.Exists("new", "qord004.mdb"));
    EXPECT_TRUE(inst.OldUnchanged());
  }
  {
    SCOPED_TRACE("export without rows, export3035 with rows");
    Installation inst;
    inst.New("qorsite", kExportTable + kExport3035 + R"sql(
INSERT INTO export3035 VALUES (1, 'customers', 'id', 'customers', 'id', 0);
CREATE TABLE customers (id LONG);
)sql");
    ProgramRun run = inst.Run("relamor3035");
    EXPECT_EQ(run.exit_status, 0) << inst.Log();
    EXPECT_EQ(inst.Result(), "True");
    EXPECT_EQ(inst.Log(), Lines({kSuccessLine}));
    EXPECT_EQ(inst.Dump("new", "qorsite", "customers"), "");
    EXPECT_TRUE(inst.OldUnchanged());
  }
}

TEST(Relamor3035StartUp, MissingSiteColumnOrMappingTableTakesTheErrorPath) {
  struct Case {
    const char* what;
    std::string old_main, new_main, named;
  };
  for (const Case& c :
       {Case{"old sites without siteID (the 2.0 layout)",
             "CREATE TABLE sites (id LONG);\nINSERT INTO sites VALUES (4);\n",
             kExport + kExport3035, "siteID"},
        Case{"new database with export only", "CREATE TABLE sites (siteID LONG);\n", kExport,
             "export3035"}}) {
    SCOPED_TRACE(c.what);
    Installation inst;
    inst.Old("qorsite", c.old_main);
    inst.New("qorsite", c.new_main);
    EXPECT_EQ(inst.Run("relamor3035").exit_status, 1);
    EXPECT_EQ(inst.Result(), "False");
    EXPECT_NE(inst.Log().find(c.named), std::string::npos) << inst.Log();
    EXPECT_TRUE(inst.OldUnchanged());
  }
  {
    SCOPED_TRACE("a mapping row naming no table of the old database");
    Installation inst;
    inst.Old("qorsite", "CREATE TABLE sites (siteID LONG, siteName TEXT(20));\n");
    inst.New("qorsite", kExport + kExport3035 + R"sql(
INSERT INTO export3035 VALUES (5, 'select * from sites', 'siteID', 'Sites', 'siteID', 0);
CREATE TABLE sites (siteID LONG);
)sql");
    ProgramRun run = inst.Run("relamor3035");
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(inst.Result(), "False");
    EXPECT_EQ(inst.Log(), Lines({"Table not found: 'select * from sites' in " + inst.old_dir() +
                                 "qorsite.mdb (named by sno 5 of export3035)"}));
    EXPECT_TRUE(inst.OldUnchanged());
  }
}

// No placeholder step runs before the Sites copy: the customer link hands out
// 1, 2, 3, ... to sites without an old customer, counted over the whole run.
// The second site database takes the first one's mapping but opens its own
// tables: a table missing there stops the run naming that database, after
// the first site's rows were kept.
TEST_P(Relamor3035Test, ALaterSiteDatabaseOpensItsOwnTables) {
  Installation inst;
  inst.FromSample("release30");
  inst.Old("qord031", "DROP TABLE alarms;");
  ProgramRun run = inst.Run("relamor3035");
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_EQ(inst.Result(), "False");
  const std::string log = inst.Log();
  EXPECT_NE(log.find("alarms"), std::string::npos) << log;
  EXPECT_NE(log.find(inst.old_dir() + "qord031.mdb"), std::string::npos) << log;
  EXPECT_EQ(inst.Dump("new", "qord004", "select alarmNo, message from alarmlog"),
            "1|Door 1 forced\n2|Door 1 closed\n");
}

TEST_P(Relamor3035Test, SitesCustomerNumbersCountOverTheRun) {
  const std::string sites_mapping = kExport + kExport3035 + R"sql(
INSERT INTO export3035 VALUES (20, 'sites', 'siteID', 'Sites', 'siteID', 0);
INSERT INTO export3035 VALUES (20, 'sites', 'siteID', 'Sites', 'customerID', -1);
INSERT INTO export3035 VALUES (20, 'sites', 'siteName', 'Sites', 'siteName', 0);
CREATE TABLE sites (siteID LONG, customerID SHORT, siteName TEXT(20));
CREATE TABLE customers (customerID SHORT, Name TEXT(20));
)sql";
  Installation inst;
  inst.Old("qorsite", R"sql(
CREATE TABLE sites (siteID LONG, siteName TEXT(20));
INSERT INTO sites VALUES (4, 'North');
INSERT INTO sites VALUES (31, 'Airport');
CREATE TABLE customers (id LONG, siteID LONG);
INSERT INTO customers VALUES (3, 4);
)sql");
  inst.New("qorsite", sites_mapping + "INSERT INTO customers VALUES (3, 'Veldkamp');\n");
  // The site databases list their sub-sites in a sites table of their own.
  inst.Old("qord004", R"sql(
CREATE TABLE sites (siteID LONG, siteName TEXT(20));
INSERT INTO sites VALUES (40, 'Quay 1');
INSERT INTO sites VALUES (41, 'Quay 2');
CREATE TABLE customers (id LONG, siteID LONG);
)sql");
  inst.Old("qord031", R"sql(
CREATE TABLE sites (siteID LONG, siteName TEXT(20));
INSERT INTO sites VALUES (50, 'Hangar');
CREATE TABLE customers (id LONG, siteID LONG);
)sql");
  inst.New("qordxxx", sites_mapping);
  ProgramRun run = inst.Run("relamor3035");
  ASSERT_EQ(run.exit_status, 0) << inst.Log();
  EXPECT_EQ(inst.Dump("new", "qorsite", "sites"), "4|3|North\n31|1|Airport\n");
  EXPECT_EQ(inst.Dump("new", "qord004", "sites"), "40|2|Quay 1\n41|3|Quay 2\n");
  EXPECT_EQ(inst.Dump("new", "qord031", "sites"), "50|4|Hangar\n");
  EXPECT_EQ(inst.Dump("new", "qorsite", "customers"), "3|Veldkamp\n");
  EXPECT_TRUE(inst.OldUnchanged());
}

}  // namespace
}  // namespace relamor::testing
