// The walks of the channel and IP writers: a field the mapping lacks fails at
// the first row that needs it, and IP rows edited in the order of a walk over
// every new row for every old row, whatever the order of the old rows.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/installation.h"
#include "tests/toolkit/writer_harness.h"
#include "tests/support/strategies.h"

namespace relamor::testing {
namespace {

class WriterWalksTest : public StrategyTest {};
RELAMOR_UNDER_BOTH_STRATEGIES(WriterWalksTest);

// The fourth mapping row (the type) is read only for slot codes 1 to 3: an
// untyped first channel is stored, the first typed one finds no fourth row.
TEST_P(WriterWalksTest, ChannelTypeFieldReadAtTheFirstTypedSlot) {
  Installation inst;
  inst.Old("qorsite", kOldChannelTable + OldChannel(1, 4, "5, 0, 0, 0, 0") +
                          OldChannel(2, 7, "0, 2, 0, 0, 0"));
  inst.New("qorsite", kExportTable + kNewChannelTable + R"sql(
INSERT INTO export VALUES (1, 'channel', 'id', 'channel', 'channelID', 0, 1);
INSERT INTO export VALUES (1, 'channel', 'siteID', 'channel', 'siteID', 0, 1);
INSERT INTO export VALUES (1, 'channel', 'a', 'channel', 'channelName', 0, 1);
)sql");
  FrameRun run = RunWriter(inst, &WriterHarness::WriteChannelTable, 1);
  EXPECT_EQ(run.status, 1);
  ASSERT_TRUE(run.error);
  EXPECT_EQ(run.error->number(), err::kNoCurrentRecord) << run.error->description();
  EXPECT_EQ(run.error->description(),
            "No current record: the mapping of table channel in " + inst.new_dir() +
                "qorsite.mdb has 3 row(s), the writer channel needs row 4");
  EXPECT_EQ(inst.Dump("new", "qorsite", "channel"), "1|4|Channel1|NULL\n");
}

// IP channels 1, 3 (site 7), 2, 5 (site 8, the second written as a text),
// 4 (site 9) and a modem channel.
constexpr const char* kIpChannels = R"sql(
CREATE TABLE channel (channelID LONG PRIMARY KEY, siteID, channelName TEXT(50),
                      channeltype TEXT(2));
INSERT INTO channel VALUES (1, 7, 'Channel1', '3');
INSERT INTO channel VALUES (2, 8, 'Channel2', '3');
INSERT INTO channel VALUES (3, 7, 'Channel3', '3');
INSERT INTO channel VALUES (4, 9, 'Channel4', '3');
INSERT INTO channel VALUES (5, '8', 'Channel5', '3');
INSERT INTO channel VALUES (6, 7, 'Channel6', '2');
)sql";

std::string NewIpDatabase(const std::string& old_field, const std::string& new_field,
                          const std::string& address_column) {
  const std::string row = "INSERT INTO export VALUES (50, 'ipconnection', ";
  return kExportTable + row + "'id', 'ipconnection', 'channelID', 0, 1);\n" + row +
         "'id', 'ipconnection', 'ipConnectionID', 0, 1);\n" + row + "'" + old_field +
         "', 'ipconnection', '" + new_field + "', 0, 1);\n" +
         "CREATE TABLE ipconnection (ipConnectionID LONG PRIMARY KEY, channelID LONG, " +
         address_column + ");\n" + kIpChannels;
}

TEST_P(WriterWalksTest, IpRowsInAnyOrderEndWithTheLastRowOfEachSite) {
  // The second layout hides the name rowid behind a column.
  for (const char* columns : {"ipAddress TEXT(15)", "ipAddress TEXT(15), rowid LONG"}) {
    SCOPED_TRACE(columns);
    Installation inst;
    // siteID has no type: a text '7' and a real 9.0 stay as they are and
    // equal the whole-number sites 7 and 9.
    inst.Old("qorsite", R"sql(
CREATE TABLE ipconnection (id LONG, siteID, ipAddress TEXT(15));
INSERT INTO ipconnection VALUES (1, 8, '10.0.8.1');
INSERT INTO ipconnection VALUES (2, 7, '10.0.7.1');
INSERT INTO ipconnection VALUES (3, 9.0, '10.0.9.1');
INSERT INTO ipconnection VALUES (4, 8, '10.0.8.2');
INSERT INTO ipconnection VALUES (5, '7', '10.0.7.2');
INSERT INTO ipconnection VALUES (6, NULL, 'no site');
INSERT INTO ipconnection VALUES (7, 42, 'no channel');
)sql");
    inst.New("qorsite", NewIpDatabase("ipAddress", "ipAddress", columns));
    FrameRun run = RunWriter(inst, &WriterHarness::WriteIpConnections, 50);
    ASSERT_EQ(run.status, 0) << inst.Log();
    EXPECT_EQ(inst.Dump("new", "qorsite",
                        "SELECT ipConnectionID, channelID, ipAddress FROM ipconnection "
                        "ORDER BY _rowid_"),
              "1|1|10.0.7.2\n"
              "2|2|10.0.8.2\n"
              "3|3|10.0.7.2\n"
              "4|4|10.0.9.1\n"
              "5|5|10.0.8.2\n");
  }
}

TEST_P(WriterWalksTest, IpRowsEditedOneOldRowAfterTheOther) {
  {
    SCOPED_TRACE("a unique address refused at the second channel of the first old row");
    Installation inst;
    inst.Old("qorsite", R"sql(
CREATE TABLE ipconnection (id LONG, siteID LONG, ipAddress TEXT(15));
INSERT INTO ipconnection VALUES (1, 7, 'a');
INSERT INTO ipconnection VALUES (2, 8, 'c');
INSERT INTO ipconnection VALUES (3, 7, 'b');
)sql");
    inst.New("qorsite", NewIpDatabase("ipAddress", "ipAddress", "ipAddress TEXT(15) UNIQUE"));
    FrameRun run = RunWriter(inst, &WriterHarness::WriteIpConnections, 50);
    EXPECT_EQ(run.status, 1);
    ASSERT_TRUE(run.error);
    EXPECT_EQ(run.error->number(), err::kDuplicateValue) << run.error->description();
    EXPECT_EQ(inst.Dump("new", "qorsite", "ipconnection"),
              "1|1|a\n2|2|NULL\n3|3|NULL\n4|4|NULL\n5|5|NULL\n");
  }
  {
    // A number converted to text for site 7, then an address too long for
    // the column at the first channel of site 8: site 7's rows stay stored.
    SCOPED_TRACE("a value converted, then one refused");
    Installation inst;
    inst.Old("qorsite", R"sql(
CREATE TABLE ipconnection (id LONG, siteID LONG, ipAddress);
INSERT INTO ipconnection VALUES (1, 7, 17);
INSERT INTO ipconnection VALUES (2, 8, '10.0.0.1 and more');
)sql");
    inst.New("qorsite", NewIpDatabase("ipAddress", "ipAddress", "ipAddress TEXT(15)") +
                            "UPDATE channel SET siteID = 8 WHERE channelID = 5;");
    FrameRun run = RunWriter(inst, &WriterHarness::WriteIpConnections, 50);
    EXPECT_EQ(run.status, 1);
    ASSERT_TRUE(run.error);
    EXPECT_EQ(run.error->number(), err::kFieldTooSmall) << run.error->description();
    EXPECT_EQ(inst.Dump("new", "qorsite", "ipconnection"),
              "1|1|17\n2|2|NULL\n3|3|17\n4|4|NULL\n5|5|NULL\n");
  }
  {
    // The first old row matches nothing; the second moves its channels to
    // channel 5 (site 8), so the third, of site 8, finds them there too.
    SCOPED_TRACE("a mapping that writes channelID");
    Installation inst;
    inst.Old("qorsite", R"sql(
CREATE TABLE ipconnection (id LONG, siteID LONG, newChannel LONG);
INSERT INTO ipconnection VALUES (1, 99, 1);
INSERT INTO ipconnection VALUES (2, 7, 5);
INSERT INTO ipconnection VALUES (3, 8, 4);
)sql");
    inst.New("qorsite", NewIpDatabase("newChannel", "channelID", "ipAddress TEXT(15)"));
    FrameRun run = RunWriter(inst, &WriterHarness::WriteIpConnections, 50);
    ASSERT_EQ(run.status, 0) << inst.Log();
    EXPECT_EQ(inst.Dump("new", "qorsite", "ipconnection"),
              "1|4|NULL\n2|4|NULL\n3|4|NULL\n4|4|NULL\n5|4|NULL\n");
  }
}

}  // namespace
}  // namespace relamor::testing
