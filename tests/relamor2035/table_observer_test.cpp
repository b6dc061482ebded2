// The table loop hands every table's plan and copy result to the run's
// TableObserver, special writers included, under both copy strategies.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "relamor2035/relamor2035.h"
#include "tests/support/installation.h"
#include "tests/support/strategies.h"

namespace relamor::testing {
namespace {

class Recorder : public TableObserver {
 public:
  void TablePlanned(const std::string& database, const TablePlan& plan) override {
    lines.push_back("planned " + database + " " + plan.new_table);
  }
  void TableCopied(const std::string& database, const TablePlan& plan,
                   const CopyResult& r) override {
    lines.push_back(database + " " + plan.new_table + ": " + plan.Describe() + " read " +
                    std::to_string(r.rows_read) + " added " + std::to_string(r.rows_added) +
                    " edited " + std::to_string(r.rows_edited));
  }
  std::vector<std::string> lines;
};

bool Has(const std::vector<std::string>& lines, const std::string& line) {
  for (const std::string& l : lines) {
    if (l == line) return true;
  }
  return false;
}

class TableObserverTest : public StrategyTest {};
RELAMOR_UNDER_BOTH_STRATEGIES(TableObserverTest);

TEST_P(TableObserverTest, HearsEveryTablePlannedAndCopied) {
  Installation inst;
  inst.FromSample("release20");
  Recorder recorder;
  const int status = RunFrame::RunWith(inst.old_dir() + "," + inst.new_dir(), inst.registry(),
                                       "relamor2035", [&](RunFrame& frame) {
                                         Relamor2035 conversion(frame);
                                         conversion.set_table_observer(&recorder);
                                         conversion.StartUp();
                                       });
  ASSERT_EQ(status, 0) << inst.Log();
  ASSERT_FALSE(recorder.lines.empty());
  // Every table is heard of twice, planned first.
  ASSERT_EQ(recorder.lines.size() % 2, 0u);
  for (std::size_t i = 0; i < recorder.lines.size(); i += 2) {
    EXPECT_EQ(recorder.lines[i].rfind("planned ", 0), 0u) << recorder.lines[i];
  }
  EXPECT_TRUE(Has(recorder.lines, "qorsite channel: writer channel read 4 added 6 edited 0"))
      << ::testing::PrintToString(recorder.lines);
  EXPECT_TRUE(Has(recorder.lines, "qorsite prompt: writer prompt read 2 added 5 edited 0"))
      << ::testing::PrintToString(recorder.lines);
  // A field-mapped copy, row by row or in one statement.
  EXPECT_TRUE(Has(recorder.lines, "qorsite operators: mode A read 2 added 2 edited 0"))
      << ::testing::PrintToString(recorder.lines);
}

}  // namespace
}  // namespace relamor::testing
