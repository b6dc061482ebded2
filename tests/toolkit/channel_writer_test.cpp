// WriteChannelTable and InsertConnectionRows on a small installation.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/installation.h"
#include "tests/toolkit/writer_harness.h"
#include "tests/support/strategies.h"

namespace relamor::testing {
namespace {

constexpr const char* kOldChannels = R"sql(
CREATE TABLE channel (id LONG, siteID LONG, location TEXT(50), installed TEXT(20),
                      technician TEXT(50), remarks TEXT(50), active YESNO,
                      slot1 SHORT, slot2 SHORT, slot3 SHORT, slot4 SHORT, slot5 SHORT);
INSERT INTO channel VALUES (1, 4, 'Control room', NULL, NULL, NULL, -1, 0, 2, 0, 3, 5);
INSERT INTO channel VALUES (2, 7, 'Empty rack', NULL, NULL, NULL, 0, 0, 0, 0, 0, 0);
INSERT INTO channel VALUES (3, 9, 'Main hall', NULL, NULL, NULL, -1, 1, 0, 0, 0, 1);
)sql";

// The mapping names the new fields; the flags are set on purpose and must
// not matter; "channelName[1]" addresses channelName.
std::string NewChannelDatabase(const std::string& extra_sql = "") {
  return kExportTable + kNewChannelTable + R"sql(
INSERT INTO export VALUES (1, 'channel', 'id', 'channel', 'channelID', -1, 1);
INSERT INTO export VALUES (1, 'channel', 'siteID', 'channel', 'siteID', -1, 1);
INSERT INTO export VALUES (1, 'channel', 'location', 'channel', 'channelName[1]', 0, 1);
INSERT INTO export VALUES (1, 'channel', 'slot1', 'channel', 'channeltype', 0, 1);
CREATE TABLE serialconnection (serialConnectionID LONG PRIMARY KEY, channelID LONG,
                               comPort TEXT(10));
CREATE TABLE modemconnection (channelID LONG, modemID LONG PRIMARY KEY);
)sql" + extra_sql;
}

class ChannelWriterTest : public StrategyTest {};
RELAMOR_UNDER_BOTH_STRATEGIES(ChannelWriterTest);

TEST_P(ChannelWriterTest, OneRowPerOccupiedSlotNumberedOverTheTable) {
  Installation inst;
  inst.Old("qorsite", kOldChannels);
  inst.New("qorsite", NewChannelDatabase());
  FrameRun run = RunWriters(inst, [&](WriterHarness& h) {
    h.Open();
    h.Prepare(1);
    h.WriteChannelTable();

    h.InsertConnectionRows("serialconnection", "1", "serialConnectionID");
    // No channel of this kind: nothing is inserted.
    h.InsertConnectionRows("modemConnection", "4", "modemID");

    // A second call finds the new table filled and writes nothing.
    h.Prepare(1);
    h.WriteChannelTable();
    h.Close();
  });
  ASSERT_EQ(run.status, 0) << inst.Log();
  // Codes 0, 2, 0, 3, 5: three channels, the last without a type; the empty
  // row adds none, and the numbering goes on with the next occupied slot.
  EXPECT_EQ(inst.Dump("new", "qorsite", "channel"),
            "1|4|Channel1|2\n"
            "2|4|Channel2|3\n"
            "3|4|Channel3|NULL\n"
            "4|9|Channel4|1\n"
            "5|9|Channel5|1\n");
  EXPECT_EQ(inst.Dump("new", "qorsite", "serialconnection"), "1|4|NULL\n2|5|NULL\n");
  EXPECT_EQ(inst.Dump("new", "qorsite", "modemconnection"), "");
}

TEST_P(ChannelWriterTest, EmptyOldTableWritesNothing) {
  Installation inst;
  inst.Old("qorsite", kOldChannelTable);
  inst.New("qorsite", NewChannelDatabase());
  FrameRun run = RunWriter(inst, &WriterHarness::WriteChannelTable, 1);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(inst.Dump("new", "qorsite", "channel"), "");
}

TEST_P(ChannelWriterTest, UnreadableSlotEndsTheRunBeforeItsRowIsWritten) {
  Installation inst;
  inst.Old("qorsite", kOldChannelTable + OldChannel(1, 4, "2, 0, 0, 0, 0") +
                          OldChannel(2, 5, "3, 1, NULL, 0, 0"));
  inst.Old("qord001", R"sql(
CREATE TABLE channel (id LONG, siteID LONG, a TEXT(5), b TEXT(5), c TEXT(5), d TEXT(5), e TEXT(5),
                      slot1, slot2, slot3, slot4, slot5);
INSERT INTO channel VALUES (1, 4, NULL, NULL, NULL, NULL, NULL, 1, 'modem', 0, 0, 0);
)sql");
  inst.New("qorsite", NewChannelDatabase());
  inst.New("qord001", NewChannelDatabase());

  FrameRun null_slot = RunWriter(inst, &WriterHarness::WriteChannelTable, 1);
  EXPECT_EQ(null_slot.status, 1);
  ASSERT_TRUE(null_slot.error);
  EXPECT_EQ(null_slot.error->number(), err::kInvalidUseOfNull);
  EXPECT_NE(null_slot.error->description().find("slot3"), std::string::npos)
      << null_slot.error->description();
  EXPECT_NE(inst.Log().find("slot3"), std::string::npos);
  EXPECT_EQ(inst.Result(), "False");
  // The first row's channel is stored; nothing of the second row.
  EXPECT_EQ(inst.Dump("new", "qorsite", "channel"), "1|4|Channel1|2\n");

  FrameRun text_slot = RunWriter(inst, &WriterHarness::WriteChannelTable, 1, "qord001");
  ASSERT_TRUE(text_slot.error);
  EXPECT_EQ(text_slot.error->number(), err::kTypeMismatch);
  EXPECT_NE(text_slot.error->description().find("slot2"), std::string::npos)
      << text_slot.error->description();
  EXPECT_EQ(inst.Dump("new", "qord001", "channel"), "");
}

TEST_P(ChannelWriterTest, RefusedSkeletonRowEndsTheRun) {
  Installation inst;
  inst.Old("qorsite", kOldChannels);
  inst.New("qorsite", NewChannelDatabase("INSERT INTO serialconnection VALUES (2, 99, 'COM9');"));
  FrameRun run = RunWriters(inst, [](WriterHarness& h) {
    h.Open();
    h.Prepare(1);
    h.WriteChannelTable();
    h.InsertConnectionRows("serialconnection", "1", "serialConnectionID");
  });
  EXPECT_EQ(run.status, 1);
  ASSERT_TRUE(run.error);
  EXPECT_EQ(run.error->number(), err::kDuplicateValue) << run.error->description();
  EXPECT_EQ(inst.Result(), "False");
  // The first skeleton row went in; the second key was taken.
  EXPECT_EQ(inst.Dump("new", "qorsite", "serialconnection"), "2|99|COM9\n1|4|NULL\n");
}

}  // namespace
}  // namespace relamor::testing
