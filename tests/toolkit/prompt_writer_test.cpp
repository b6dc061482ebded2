// WritePromptTable on a small installation whose new modemconnection table is
// already converted.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/installation.h"
#include "tests/toolkit/writer_harness.h"
#include "tests/support/strategies.h"

namespace relamor::testing {
namespace {

constexpr const char* kOldPromptTable = R"sql(
CREATE TABLE prompt (id LONG, siteID LONG, name TEXT(50), timeout LONG,
                     e1 TEXT(20), s1 TEXT(20), e2 TEXT(20), s2 TEXT(20), e3 TEXT(20), s3 TEXT(20),
                     e4 TEXT(20), s4 TEXT(20), e5 TEXT(20), s5 TEXT(20));
)sql";

std::string NewPromptDatabase(const std::string& modem_rows) {
  return kExportTable + R"sql(
INSERT INTO export VALUES (70, 'prompt', 'id', 'prompt', 'promptID', 0, 1);
INSERT INTO export VALUES (70, 'prompt', 'id', 'prompt', 'modemID', 0, 1);
INSERT INTO export VALUES (70, 'prompt', 'e1', 'prompt', 'expectText', 0, 1);
INSERT INTO export VALUES (70, 'prompt', 's1', 'prompt', 'sendText', 0, 1);
INSERT INTO export VALUES (71, 'prompt', 'id', 'prompt', 'promptID', 0, 1);
INSERT INTO export VALUES (71, 'prompt', 'id', 'prompt', 'modemID[x]', 0, 1);
INSERT INTO export VALUES (71, 'prompt', 'e1', 'prompt', 'expectText', 0, 1);
INSERT INTO export VALUES (71, 'prompt', 's1', 'prompt', 'sendText', 0, 1);
CREATE TABLE modemconnection (channelID LONG, modemID LONG PRIMARY KEY, phone TEXT(30));
CREATE TABLE prompt (promptID LONG PRIMARY KEY, modemID LONG, expectText TEXT(20),
                     sendText TEXT(20));
)sql" + modem_rows;
}

class PromptWriterTest : public StrategyTest {};
RELAMOR_UNDER_BOTH_STRATEGIES(PromptWriterTest);

TEST_P(PromptWriterTest, OnePromptPerPresentPairTiedToTheModemAtThatPosition) {
  Installation inst;
  inst.Old("qorsite", std::string(kOldPromptTable) + R"sql(
-- Three pairs, the third without a second text.
INSERT INTO prompt VALUES (1, 4, 'a', 30, 'login:', 'op', 'password:', 'pw', 'ready>', NULL,
                           NULL, NULL, NULL, NULL);
-- No pair: no prompt, but the row still takes modem connection 2.
INSERT INTO prompt VALUES (2, 4, 'b', 30, '', 'ignored', 'x', 'y', NULL, NULL, NULL, NULL, NULL, NULL);
-- Pairs 1 and 2, pair 3 absent, pair 4 ignored.
INSERT INTO prompt VALUES (3, 7, 'c', 30, 'user:', 'op7', 'pin:', '', NULL, 'z', 'late>', 'no',
                           NULL, NULL);
)sql");
  inst.New("qorsite", NewPromptDatabase(R"sql(
INSERT INTO modemconnection VALUES (1, 11, '555-0101');
INSERT INTO modemconnection VALUES (6, 12, '555-0102');
INSERT INTO modemconnection VALUES (7, 13, '555-0103');
)sql"));
  FrameRun run = RunWriters(inst, [](WriterHarness& h) {
    h.Open();
    h.Prepare(70);
    h.WritePromptTable();
    // Non-empty new table: nothing is written.
    h.Prepare(70);
    h.WritePromptTable();
  });
  ASSERT_EQ(run.status, 0) << inst.Log();
  EXPECT_EQ(inst.Dump("new", "qorsite", "prompt"),
            "1|11|login:|op\n"
            "2|11|password:|pw\n"
            "3|11|ready>|\n"
            "4|13|user:|op7\n"
            "5|13|pin:|\n");
}

TEST_P(PromptWriterTest, FailuresKeepThePromptsStoredBefore) {
  Installation inst;
  const std::string two_rows = std::string(kOldPromptTable) + R"sql(
INSERT INTO prompt VALUES (1, 4, 'a', 30, 'login:', 'op', NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL);
INSERT INTO prompt VALUES (2, 4, 'b', 30, 'login:', 'op2', NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL);
)sql";
  // More old prompt rows than modem connections.
  inst.Old("qord001", two_rows);
  inst.New("qord001", NewPromptDatabase("INSERT INTO modemconnection VALUES (1, 11, NULL);"));
  // Prompt field names are taken as they stand: "modemID[x]" is no field.
  inst.Old("qord002", two_rows);
  inst.New("qord002", NewPromptDatabase("INSERT INTO modemconnection VALUES (1, 11, NULL);"));

  FrameRun surplus = RunWriter(inst, &WriterHarness::WritePromptTable, 70, "qord001");
  EXPECT_EQ(surplus.status, 1);
  ASSERT_TRUE(surplus.error);
  EXPECT_EQ(surplus.error->number(), err::kNoCurrentRecord);
  EXPECT_EQ(surplus.error->description(),
            "No current record: table prompt in " + inst.old_dir() +
                "qord001.mdb has more rows than table modemconnection in " + inst.new_dir() +
                "qord001.mdb");
  EXPECT_EQ(inst.Result(), "False");
  EXPECT_EQ(inst.Dump("new", "qord001", "prompt"), "1|11|login:|op\n");

  FrameRun bracket = RunWriter(inst, &WriterHarness::WritePromptTable, 71, "qord002");
  ASSERT_TRUE(bracket.error);
  EXPECT_EQ(bracket.error->number(), err::kItemNotFound);
  EXPECT_NE(bracket.error->description().find("modemID[x]"), std::string::npos)
      << bracket.error->description();
  EXPECT_EQ(inst.Dump("new", "qord002", "prompt"), "");
}

}  // namespace
}  // namespace relamor::testing
