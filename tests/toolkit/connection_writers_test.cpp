// The modem, IP and serial connection writers on a small installation whose
// new channel table is already converted.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/installation.h"
#include "tests/toolkit/writer_harness.h"
#include "tests/support/strategies.h"

namespace relamor::testing {
namespace {

constexpr const char* kOldConnections = R"sql(
CREATE TABLE modemconnection (id LONG, siteID LONG, phoneNumber TEXT(30), initString TEXT(30));
INSERT INTO modemconnection VALUES (1, 4, '555-0101', 'ATZ');
INSERT INTO modemconnection VALUES (2, 4, '555-0102', 'AT&F');
-- Two rows for site 7: the later one decides; site 99 has no IP channel.
CREATE TABLE ipconnection (id LONG, siteID LONG, ipAddress TEXT(15));
INSERT INTO ipconnection VALUES (1, 7, '10.0.0.1');
INSERT INTO ipconnection VALUES (2, 7, '10.0.0.2');
INSERT INTO ipconnection VALUES (3, 99, '10.9.9.9');
CREATE TABLE serialconnection (id LONG, siteID LONG, comPort TEXT(10), baudRate LONG);
INSERT INTO serialconnection VALUES (1, 4, 'COM3', 9600);
)sql";

// Channels 1, 6, 7 modem (site 4); 2, 3, 4 IP (site 7); 5 IP (site 8);
// 8 serial.
constexpr const char* kNewConnections = R"sql(
INSERT INTO export VALUES (40, 'modemconnection', 'id', 'modemconnection', 'channelID', 0, 1);
INSERT INTO export VALUES (40, 'modemconnection', 'id', 'modemconnection', 'modemID', 0, 1);
INSERT INTO export VALUES (40, 'modemconnection', 'phoneNumber', 'modemconnection', 'phone[a]', 0, 1);
INSERT INTO export VALUES (40, 'modemconnection', 'initString', 'modemconnection', 'initString', 0, 1);
-- A field stored twice keeps the later value.
INSERT INTO export VALUES (40, 'modemconnection', 'phoneNumber', 'modemconnection', 'initString', 0, 1);
INSERT INTO export VALUES (50, 'ipconnection', 'id', 'ipconnection', 'channelID', 0, 1);
INSERT INTO export VALUES (50, 'ipconnection', 'id', 'ipconnection', 'ipConnectionID', 0, 1);
INSERT INTO export VALUES (50, 'ipconnection', 'ipAddress', 'ipconnection', 'ipAddress', 0, 1);
-- The serial writer takes the old row's third field whatever this names.
INSERT INTO export VALUES (60, 'serialconnection', 'id', 'serialconnection', 'channelID', 0, 1);
INSERT INTO export VALUES (60, 'serialconnection', 'id', 'serialconnection', 'serialConnectionID', 0, 1);
INSERT INTO export VALUES (60, 'serialconnection', 'baudRate', 'serialconnection', 'comPort', 0, 1);
CREATE TABLE channel (channelID LONG PRIMARY KEY, siteID LONG, channelName TEXT(50),
                      channeltype TEXT(2));
INSERT INTO channel VALUES (1, 4, 'Channel1', '2');
INSERT INTO channel VALUES (2, 7, 'Channel2', '3');
INSERT INTO channel VALUES (3, 7, 'Channel3', '3');
INSERT INTO channel VALUES (4, 7, 'Channel4', '3');
INSERT INTO channel VALUES (5, 8, 'Channel5', '3');
INSERT INTO channel VALUES (6, 4, 'Channel6', '2');
INSERT INTO channel VALUES (7, 4, 'Channel7', '2');
INSERT INTO channel VALUES (8, 4, 'Channel8', '1');
CREATE TABLE modemconnection (channelID LONG, modemID LONG PRIMARY KEY, phone TEXT(30),
                              initString TEXT(30));
CREATE TABLE ipconnection (ipConnectionID LONG PRIMARY KEY, channelID LONG, ipAddress TEXT(15));
CREATE TABLE serialconnection (serialConnectionID LONG PRIMARY KEY, channelID LONG,
                               comPort TEXT(10));
)sql";

// The modem, IP and serial writers on their mappings 40, 50 and 60.
void WriteConnections(WriterHarness& h) {
  h.Prepare(40);
  h.WriteModemConnections();
  h.Prepare(50);
  h.WriteIpConnections();
  h.Prepare(60);
  h.WriteSerialConnections();
}

class ConnectionWritersTest : public StrategyTest {};
RELAMOR_UNDER_BOTH_STRATEGIES(ConnectionWritersTest);

TEST_P(ConnectionWritersTest, SkeletonRowsFilledByPositionAndBySite) {
  Installation inst;
  inst.Old("qorsite", kOldConnections);
  inst.New("qorsite", kExportTable + kNewConnections);
  FrameRun run = RunWriters(inst, [](WriterHarness& h) {
    h.Open();
    WriteConnections(h);
    WriteConnections(h);  // finds the new tables filled and changes nothing
  });
  ASSERT_EQ(run.status, 0) << inst.Log();
  // Three modem channels, two old rows: the third keeps only its keys.
  EXPECT_EQ(inst.Dump("new", "qorsite", "modemconnection"),
            "1|1|555-0101|555-0101\n"
            "6|2|555-0102|555-0102\n"
            "7|3|NULL|NULL\n");
  // Every IP channel of site 7 carries the last old row of site 7; the
  // channel of site 8 has no old row.
  EXPECT_EQ(inst.Dump("new", "qorsite", "ipconnection"),
            "1|2|10.0.0.2\n"
            "2|3|10.0.0.2\n"
            "3|4|10.0.0.2\n"
            "4|5|NULL\n");
  EXPECT_EQ(inst.Dump("new", "qorsite", "serialconnection"), "1|8|COM3\n");
}

// Site qord001: no modem, IP or serial channel at all; qord002: channels of
// every kind but empty old connection tables.
TEST_P(ConnectionWritersTest, MissingChannelsAndEmptyOldTables) {
  Installation inst;
  inst.Old("qord001", kOldConnections);
  inst.New("qord001", kExportTable + kNewConnections +
                          "DELETE FROM channel WHERE channelID <> 5;");
  inst.Old("qord002", R"sql(
CREATE TABLE modemconnection (id LONG, siteID LONG, phoneNumber TEXT(30), initString TEXT(30));
CREATE TABLE ipconnection (id LONG, siteID LONG, ipAddress TEXT(15));
CREATE TABLE serialconnection (id LONG, siteID LONG, comPort TEXT(10), baudRate LONG);
)sql");
  inst.New("qord002", kExportTable + kNewConnections);

  FrameRun empty_old = RunWriters(inst, [](WriterHarness& h) {
    h.Open("qord002");
    WriteConnections(h);
  });
  EXPECT_EQ(empty_old.status, 0);
  EXPECT_EQ(inst.Dump("new", "qord002", "modemconnection"), "");
  EXPECT_EQ(inst.Dump("new", "qord002", "ipconnection"), "");
  EXPECT_EQ(inst.Dump("new", "qord002", "serialconnection"), "");

  // Only channel 5 (IP, site 8) is left: the IP rows of sites 7 and 99 find no
  // channel of their site, which is no error.
  FrameRun ip = RunWriter(inst, &WriterHarness::WriteIpConnections, 50, "qord001");
  EXPECT_EQ(ip.status, 0);
  EXPECT_EQ(inst.Dump("new", "qord001", "ipconnection"), "1|5|NULL\n");

  // Old rows without skeleton rows to fill end the run.
  for (long sno : {40L, 60L}) {
    FrameRun run = RunWriter(inst,
                             sno == 40 ? &WriterHarness::WriteModemConnections
                                       : &WriterHarness::WriteSerialConnections,
                             sno, "qord001");
    EXPECT_EQ(run.status, 1);
    ASSERT_TRUE(run.error);
    EXPECT_EQ(run.error->number(), err::kNoCurrentRecord);
    const std::string table = sno == 40 ? "modemconnection" : "serialconnection";
    const std::string expected = "No current record: table " + table + " in " + inst.old_dir() +
                                 "qord001.mdb has more rows than " + inst.new_dir() +
                                 "qord001.mdb has " + (sno == 40 ? "modem" : "serial") +
                                 " channels (table " + table + ")";
    EXPECT_EQ(run.error->description(), expected);
    EXPECT_EQ(inst.Log(), Lines({expected}));
    EXPECT_EQ(inst.Result(), "False");
  }
}

// Serial channels 8 to 11: the n-th old row fills the n-th skeleton row until
// a value is refused or the old rows outnumber the channels; a value that
// needs converting is converted on the way.
TEST_P(ConnectionWritersTest, SerialRowsFilledByPositionUntilOneFails) {
  struct Case {
    const char* ports;  // the old rows' third fields
    int error;          // 0: the run succeeds
    const char* stored;
  };
  const Case cases[] = {
      {"'COM1', 'COM2'", 0, "1|8|COM1\n2|9|COM2\n3|10|NULL\n4|11|NULL\n"},
      {"'COM1', 42, 'COM3 and more', 'COM4'", err::kFieldTooSmall,
       "1|8|COM1\n2|9|42\n3|10|NULL\n4|11|NULL\n"},
      {"'COM1', 'COM2', 'COM3', 'COM4', 'COM5'", err::kNoCurrentRecord,
       "1|8|COM1\n2|9|COM2\n3|10|COM3\n4|11|COM4\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ports);
    Installation inst;
    std::string old_rows = "CREATE TABLE serialconnection (id LONG, siteID LONG, comPort, baud LONG);\n";
    int id = 0;
    for (std::string rest = c.ports; !rest.empty();) {
      const std::size_t comma = rest.find(", ");
      old_rows += "INSERT INTO serialconnection VALUES (" + std::to_string(++id) + ", 4, " +
                  rest.substr(0, comma) + ", 9600);\n";
      rest = comma == std::string::npos ? "" : rest.substr(comma + 2);
    }
    inst.Old("qorsite", old_rows);
    inst.New("qorsite", kExportTable + kNewConnections +
                            "INSERT INTO channel VALUES (9, 4, 'Channel9', '1'), "
                            "(10, 5, 'Channel10', '1'), (11, 5, 'Channel11', '1');");
    FrameRun run = RunWriter(inst, &WriterHarness::WriteSerialConnections, 60);
    EXPECT_EQ(run.status, c.error ? 1 : 0) << inst.Log();
    EXPECT_EQ(run.error ? run.error->number() : 0, c.error);
    EXPECT_EQ(inst.Dump("new", "qorsite", "serialconnection"), c.stored);
  }
}

}  // namespace
}  // namespace relamor::testing
