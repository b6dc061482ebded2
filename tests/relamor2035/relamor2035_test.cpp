// relamor2035 end to end: the built program on temporary installations.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/fixtures.h"
#include "tests/support/installation.h"
#include "tests/support/report_check.h"
#include "tests/support/strategies.h"

namespace relamor::testing {
namespace {

class Relamor2035Test : public StrategyTest {};
RELAMOR_UNDER_BOTH_STRATEGIES(Relamor2035Test);

TEST_P(Relamor2035Test, ConvertsTheSampleInstallation) {
  Installation inst;
  inst.FromSample("release20");
  ProgramRun run = inst.Run("relamor2035", inst.old_dir() + "," + inst.new_dir(),
                            {{"RELAMOR_REPORT", inst.root() + "/report.json"}});
  ASSERT_EQ(run.exit_status, 0) << inst.Log() << run.err;
  EXPECT_EQ(inst.Result(), "True");
  EXPECT_EQ(inst.Log(), Lines({kSuccessLine}));
  EXPECT_TRUE(inst.OldUnchanged());
  for (const char* site : {"qord004.mdb", "qord007.mdb", "qord012.mdb"}) {
    EXPECT_TRUE(inst.Exists("new", site)) << site;
  }

  // Customers: one row per old id, then the placeholders of sites 4 and 12
  // numbered after the largest id.
  EXPECT_EQ(inst.Dump("new", "qorsite", "customers"),
            "3|Veldkamp Logistics|Kade 14|Rotterdam|Zuid-Holland|3011 AB|Netherlands\n"
            "5|Orban Freight|Ringweg 2|Gouda|NULL|2800 AA|Netherlands\n"
            "6|Customer6|NULL|NULL|NULL|NULL|NULL\n"
            "7|Customer7|NULL|NULL|NULL|NULL|NULL\n");
  EXPECT_EQ(inst.Dump("new", "qorsite", "sites"),
            "4|6|Harbour North|Rotterdam\n"
            "7|3|Gatehouse West|Rotterdam\n"
            "12|7|Depot East|Utrecht\n");
  EXPECT_EQ(inst.Dump("new", "qorsite", "channel"),
            "1|4|Channel1|2\n"
            "2|7|Channel2|2\n"
            "3|7|Channel3|3\n"
            "4|7|Channel4|1\n"
            "5|12|Channel5|3\n"
            "6|12|Channel6|1\n");
  EXPECT_EQ(inst.Dump("new", "qorsite", "modemconnection"),
            "1|1|+31 10 555 0101|ATZ|9600\n"
            "2|2|+31 10 555 0147|AT&F|19200\n");
  // The port keeps the new table's default: the IP writer copies one field.
  EXPECT_EQ(inst.Dump("new", "qorsite", "ipconnection"),
            "1|3|10.0.7.20|5000\n"
            "2|5|10.0.12.10|5000\n");
  EXPECT_EQ(inst.Dump("new", "qorsite", "serialconnection"), "1|4|COM1\n2|6|COM2\n");
  EXPECT_EQ(inst.Dump("new", "qorsite", "prompt"),
            "1|1|login:|tervanis\n"
            "2|1|password:|harbour4\n"
            "3|1|ready>|\n"
            "4|2|login:|tervanis\n"
            "5|2|password:|gate7\n");
  EXPECT_EQ(inst.Dump("new", "qorsite", "operators"), "1|M. Jansen|day\n2|R. Visser|night\n");

  EXPECT_EQ(inst.Dump("new", "qord004", "select CAT, threshold, enabled from EXCCS"),
            "AC|20|-1\nFIRE|2|-1\nHVAC|5|0\n");
  EXPECT_EQ(inst.Dump("new", "qord007", "select CAT, threshold, enabled from EXCCS"),
            "AC|10|0\nFIRE|1|-1\nHVAC|8|0\n");
  EXPECT_EQ(inst.Dump("new", "qord004", "select alarmNo, message from alarmlog"),
            "1|Door 3 forced\n2|Door 3 closed\n3|Smoke detector 2\n");
  EXPECT_EQ(inst.Dump("new", "qord012", "select alarmNo, message from alarmlog"),
            "1|Power failure\n2|Power restored\n");

  // Each writer's shortcut stores its table, the placeholder customers
  // theirs before the Sites copy (which walks for the customer link); row by
  // row no shortcut is tried.
  const nlohmann::json report = ReadReport(inst.root() + "/report.json");
  if (GetParam() == "rows") {
    EXPECT_EQ(OnlyWalks(report), "");
    return;
  }
  EXPECT_EQ(ReportPaths(report),
            "qorsite|Customers|set-based|AppendFirstRowOfEachKey\n"
            "qorsite|Sites|rows|AppendPlaceholderCustomers|declined\n"
            "qorsite|channel|rows|\n"
            "qorsite|modemconnection|set-based|InsertConnectionsInOrder\n"
            "qorsite|ipconnection|set-based|InsertFilledConnections\n"
            "qorsite|serialconnection|set-based|InsertConnectionsInOrder\n"
            "qorsite|prompt|rows|\n"
            "qorsite|operators|set-based|AppendFrom\n"
            "qord004|EXCCS|set-based|UpdateByCategory\n"
            "qord004|alarmlog|set-based|AppendFrom\n"
            "qord007|EXCCS|set-based|UpdateByCategory\n"
            "qord007|alarmlog|set-based|AppendFrom\n"
            "qord012|EXCCS|rows|\n"  // no old row
            "qord012|alarmlog|set-based|AppendFrom\n");
}

// A new main database with a mapping and the template; the old sites vary.
void AddNewMain(Installation& inst) {
  const std::string main = kExportTable + R"sql(
INSERT INTO export VALUES (1, 'operators', 'id', 'operators', 'operatorID', 0, 1);
INSERT INTO export VALUES (1, 'operators', 'name', 'operators', 'operatorName', 0, 1);
CREATE TABLE operators (operatorID LONG, operatorName TEXT(50));
)sql";
  inst.New("qorsite", main);
  inst.New("qordxxx", kExportTable +
                          "INSERT INTO export VALUES (1, 'alarms', 'id', 'alarms', 'id', 0, 1);\n"
                          "CREATE TABLE alarms (id LONG);\n");
}

// The start-up's stops and an empty mapping end before any table is copied:
// they run once, not under each strategy.
TEST(Relamor2035StartUp, InvalidSiteNumbersStopWithOutOfMemory) {
  for (const char* number : {"100", "NULL"}) {
    SCOPED_TRACE(number);
    Installation inst;
    inst.Old("qorsite", std::string("CREATE TABLE sites (id LONG, name TEXT(20));\n"
                                    "INSERT INTO sites VALUES (3, 'Fine');\n"
                                    "INSERT INTO sites VALUES (") +
                            number + ", 'Too far');\n");
    AddNewMain(inst);
    ProgramRun run = inst.Run("relamor2035");
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_EQ(inst.Log(), Lines({"Out of Memory"}));
    EXPECT_NE(run.err.find("Out of Memory"), std::string::npos) << run.err;
    EXPECT_EQ(inst.Result(), "<none>");
    // The stop comes before any template copy.
    EXPECT_FALSE(inst.Exists("new", "qord003.mdb"));
    EXPECT_EQ(inst.Dump("new", "qorsite", "operators"), "");
    EXPECT_TRUE(inst.OldUnchanged());
  }
}

TEST(Relamor2035StartUp, EmptyMappingOrTooManySitesCopyNothing) {
  {
    SCOPED_TRACE("export without rows: nothing is read, not even the old sites");
    Installation inst;
    inst.New("qorsite", kExportTable);
    ProgramRun run = inst.Run("relamor2035");
    EXPECT_EQ(run.exit_status, 0) << inst.Log();
    EXPECT_EQ(inst.Result(), "True");
    EXPECT_EQ(inst.Log(), Lines({kSuccessLine}));
    EXPECT_TRUE(inst.OldUnchanged());
  }
  {
    SCOPED_TRACE("more than 103 sites");
    Installation inst;
    inst.Old("qorsite", R"sql(
CREATE TABLE sites (id LONG, name TEXT(20));
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 104)
INSERT INTO sites SELECT i % 100, 'Site' FROM n;
)sql");
    AddNewMain(inst);
    ProgramRun run = inst.Run("relamor2035");
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(inst.Result(), "False");
    EXPECT_EQ(inst.Log(),
              Lines({"Subscript out of range: table sites in " + inst.old_dir() +
                     "qorsite.mdb lists more than 103 sites"}));
    EXPECT_FALSE(inst.Exists("new", "qord001.mdb"));
    EXPECT_TRUE(inst.OldUnchanged());
  }
}

TEST_P(Relamor2035Test, EmptySitesOrAMissingSiteDatabase) {
  const std::string old_main = "CREATE TABLE sites (id LONG, name TEXT(20));\n"
                               "CREATE TABLE operators (id LONG, name TEXT(50));\n"
                               "INSERT INTO operators VALUES (1, 'M. Jansen');\n";
  for (const bool listed : {false, true}) {
    SCOPED_TRACE(listed ? "a listed site without an old database" : "no sites");
    Installation inst;
    inst.Old("qorsite", old_main + (listed ? "INSERT INTO sites VALUES (7, 'West');\n" : ""));
    AddNewMain(inst);
    ProgramRun run = inst.Run("relamor2035");
    EXPECT_EQ(run.exit_status, listed ? 1 : 0) << inst.Log();
    EXPECT_EQ(inst.Result(), listed ? "False" : "True");
    // qorsite is converted, also before the missing site database ends the run.
    EXPECT_EQ(inst.Dump("new", "qorsite", "operators"), "1|M. Jansen\n");
    EXPECT_EQ(inst.Exists("new", "qord007.mdb"), listed);
    EXPECT_EQ(inst.Log().find("qord007.mdb") != std::string::npos, listed) << inst.Log();
    EXPECT_TRUE(inst.OldUnchanged());
  }
}

// The copy rules of this program: a single-field copy only appends into an
// empty new table, an empty old table copies nothing, and no copy mode logs.
TEST_P(Relamor2035Test, SingleFieldCopyOnlyIntoAnEmptyTable) {
  Installation inst;
  inst.Old("qorsite", R"sql(
CREATE TABLE sites (id LONG);
CREATE TABLE notes (note TEXT(20));
INSERT INTO notes VALUES ('one');
INSERT INTO notes VALUES ('two');
INSERT INTO notes VALUES ('three');
INSERT INTO notes VALUES ('four');
INSERT INTO notes VALUES ('five');
CREATE TABLE settings (value LONG);
INSERT INTO settings VALUES (7);
CREATE TABLE holidays (day TEXT(10), name TEXT(20));
CREATE TABLE shifts (id LONG, name TEXT(20));
INSERT INTO shifts VALUES (5, 'day');
INSERT INTO shifts VALUES (9, 'night');
)sql");
  inst.New("qorsite", kExportTable + R"sql(
INSERT INTO export VALUES (1, 'notes', 'note', 'notes', 'note', 0, 1);
INSERT INTO export VALUES (2, 'settings', 'value', 'settings', 'value', 0, 1);
INSERT INTO export VALUES (3, 'holidays', 'day', 'holidays', 'day', 0, 1);
INSERT INTO export VALUES (3, 'holidays', 'name', 'holidays', 'name', 0, 1);
INSERT INTO export VALUES (4, 'shifts', 'name', 'shifts', 'name', 0, 1);
INSERT INTO export VALUES (4, 'shifts', 'id', 'shifts', 'shiftNo', -1, 1);
CREATE TABLE notes (note TEXT(20));
CREATE TABLE settings (value LONG);
INSERT INTO settings VALUES (1);
CREATE TABLE holidays (day TEXT(10), name TEXT(20));
CREATE TABLE shifts (name TEXT(20), shiftNo SHORT);
)sql");
  ProgramRun run = inst.Run("relamor2035");
  ASSERT_EQ(run.exit_status, 0) << inst.Log();
  EXPECT_EQ(inst.Log(), Lines({kSuccessLine}));
  EXPECT_EQ(inst.Dump("new", "qorsite", "notes"), "one\ntwo\nthree\nfour\nfive\n");
  EXPECT_EQ(inst.Dump("new", "qorsite", "settings"), "1\n");
  EXPECT_EQ(inst.Dump("new", "qorsite", "holidays"), "");
  EXPECT_EQ(inst.Dump("new", "qorsite", "shifts"), "day|1\nnight|2\n");
  EXPECT_TRUE(inst.OldUnchanged());
}

// The writers are chosen by the exact new table name, and the plan is walked
// in ascending sno whatever the order of the mapping rows.
TEST_P(Relamor2035Test, DispatchByExactTableNameInSnoOrder) {
  Installation inst;
  inst.Old("qorsite", R"sql(
CREATE TABLE sites (id LONG, name TEXT(20));
INSERT INTO sites VALUES (1, 'North');
CREATE TABLE customers (id LONG, siteID LONG, name TEXT(50));
-- Site 1 has no customer: a placeholder step would add customer 4.
INSERT INTO customers VALUES (3, 2, 'Veldkamp');
INSERT INTO customers VALUES (3, 5, 'Veldkamp West');
CREATE TABLE modemconnection (id LONG, siteID LONG, phone TEXT(20));
INSERT INTO modemconnection VALUES (1, 1, '555-0101');
)sql" + kOldChannelTable + OldChannel(1, 1, "2, 0, 0, 0, 0"));
  inst.New("qorsite", kExportTable + R"sql(
-- modemconnection (sno 40) is listed before channel (sno 30).
INSERT INTO export VALUES (40, 'modemconnection', 'id', 'modemconnection', 'channelID', 0, 1);
INSERT INTO export VALUES (40, 'modemconnection', 'id', 'modemconnection', 'modemID', 0, 1);
INSERT INTO export VALUES (40, 'modemconnection', 'phone', 'modemconnection', 'phone', 0, 1);
-- The numbering flags of a channel mapping are not looked at.
INSERT INTO export VALUES (30, 'channel', 'id', 'channel', 'channelID', -1, 1);
INSERT INTO export VALUES (30, 'channel', 'siteID', 'channel', 'siteID', -1, 1);
INSERT INTO export VALUES (30, 'channel', 'a', 'channel', 'channelName', 0, 1);
INSERT INTO export VALUES (30, 'channel', 'slot1', 'channel', 'channeltype', 0, 1);
-- "customers" is not "Customers": a plain copy of every old row.
INSERT INTO export VALUES (10, 'customers', 'id', 'customers', 'customerID', 0, 1);
INSERT INTO export VALUES (10, 'customers', 'name', 'customers', 'Name', 0, 1);
-- "sites" is not "Sites": no placeholder customers, the second field numbered.
INSERT INTO export VALUES (20, 'sites', 'id', 'sites', 'siteID', 0, 1);
INSERT INTO export VALUES (20, 'sites', 'id', 'sites', 'customerID', -1, 1);
CREATE TABLE customers (customerID SHORT, Name TEXT(50));
CREATE TABLE sites (siteID LONG, customerID SHORT);
CREATE TABLE modemconnection (channelID LONG, modemID LONG PRIMARY KEY, phone TEXT(20));
)sql" + kNewChannelTable);
  // The site database maps systemMarket to Sites: the copy with its customer
  // link runs, the placeholder step does not.
  inst.Old("qord001", R"sql(
CREATE TABLE systemMarket (id LONG, name TEXT(20));
INSERT INTO systemMarket VALUES (11, 'Market A');
INSERT INTO systemMarket VALUES (12, 'Market B');
CREATE TABLE customers (id LONG, siteID LONG);
)sql");
  inst.New("qordxxx", kExportTable + R"sql(
INSERT INTO export VALUES (1, 'systemMarket', 'id', 'Sites', 'siteID', 0, 1);
INSERT INTO export VALUES (1, 'systemMarket', 'id', 'Sites', 'customerID', -1, 1);
INSERT INTO export VALUES (1, 'systemMarket', 'name', 'Sites', 'siteName', 0, 1);
CREATE TABLE sites (siteID LONG, customerID SHORT, siteName TEXT(20));
CREATE TABLE customers (customerID SHORT, Name TEXT(50));
)sql");
  ProgramRun run = inst.Run("relamor2035");
  ASSERT_EQ(run.exit_status, 0) << inst.Log();
  EXPECT_EQ(inst.Result(), "True");
  EXPECT_EQ(inst.Log(), Lines({kSuccessLine}));
  EXPECT_EQ(inst.Dump("new", "qorsite", "customers"), "3|Veldkamp\n3|Veldkamp West\n");
  EXPECT_EQ(inst.Dump("new", "qorsite", "sites"), "1|1\n");
  EXPECT_EQ(inst.Dump("new", "qorsite", "channel"), "1|1|Channel1|2\n");
  EXPECT_EQ(inst.Dump("new", "qorsite", "modemconnection"), "1|1|555-0101\n");
  EXPECT_EQ(inst.Dump("new", "qord001", "sites"), "11|1|Market A\n12|2|Market B\n");
  EXPECT_EQ(inst.Dump("new", "qord001", "customers"), "");
  EXPECT_TRUE(inst.OldUnchanged());
}

// RebuildCustomerAddresses, through the table loop of the program.
TEST_P(Relamor2035Test, CustomerRecordsRebuiltOnePerId) {
  const std::string customers_mapping = kExportTable + R"sql(
INSERT INTO export VALUES (10, 'customers', 'id', 'Customers', 'customerID', 0, 1);
INSERT INTO export VALUES (10, 'customers', 'name', 'Customers', 'Name', 0, 1);
CREATE TABLE customers (customerID SHORT PRIMARY KEY, Name TEXT(50), address TEXT(50),
                        city TEXT(50), region TEXT(50), zipcode TEXT(10), country TEXT(50),
                        since TEXT(10) DEFAULT 'new');
)sql";
  const std::string old_customers = R"sql(
CREATE TABLE customers (id LONG, siteID LONG, name TEXT(50), address TEXT(50), city TEXT(50),
                        region TEXT(50), zipCode TEXT(10), country TEXT(50));
)sql";
  {
    SCOPED_TRACE("ids 3, 3 and 5; a non-empty new table; an empty old table in the site");
    Installation inst;
    inst.Old("qorsite", "CREATE TABLE sites (id LONG);\nINSERT INTO sites VALUES (1);\n" +
                            old_customers + R"sql(
INSERT INTO customers VALUES (3, 1, 'Veldkamp', 'Kade 14', 'Rotterdam', 'ZH', '3011 AB', 'NL');
INSERT INTO customers VALUES (3, 2, 'Veldkamp billing', 'Postbus 2', 'Rotterdam', 'ZH', '3000', 'NL');
INSERT INTO customers VALUES (5, 9, 'Orban', 'Ringweg 2', NULL, 'ZH', '2800 AA', 'NL');
)sql");
    inst.New("qorsite", customers_mapping +
                            "INSERT INTO customers VALUES (9, 'Kept', NULL, NULL, NULL, NULL, "
                            "NULL, 'old');\n");
    inst.Old("qord001", old_customers);
    inst.New("qordxxx", customers_mapping);
    ProgramRun run = inst.Run("relamor2035");
    ASSERT_EQ(run.exit_status, 0) << inst.Log();
    EXPECT_EQ(inst.Dump("new", "qorsite", "customers"),
              "9|Kept|NULL|NULL|NULL|NULL|NULL|old\n"
              "3|Veldkamp|Kade 14|Rotterdam|ZH|3011 AB|NL|new\n"
              "5|Orban|Ringweg 2|NULL|ZH|2800 AA|NL|new\n");
    EXPECT_EQ(inst.Dump("new", "qord001", "customers"), "");
    EXPECT_TRUE(inst.OldUnchanged());
  }
  {
    SCOPED_TRACE("a Null id");
    Installation inst;
    inst.Old("qorsite", "CREATE TABLE sites (id LONG);\n" + old_customers + R"sql(
INSERT INTO customers VALUES (NULL, 1, 'Nobody', NULL, NULL, NULL, NULL, NULL);
)sql");
    inst.New("qorsite", customers_mapping);
    ProgramRun run = inst.Run("relamor2035");
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(inst.Result(), "False");
    EXPECT_EQ(inst.Log(), Lines({"Invalid use of Null: a row of table customers in " +
                                 inst.old_dir() +
                                 "qorsite.mdb has no id, so its address cannot be looked up"}));
    EXPECT_TRUE(inst.OldUnchanged());
  }
}

}  // namespace
}  // namespace relamor::testing
