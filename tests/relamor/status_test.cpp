// --status tells the state of a new directory without changing it: never
// converted, last run failed (where and why), converted, in use since.
#include <gtest/gtest.h>

#include <fstream>

#include "tests/support/installation.h"
#include "tests/support/test_db.h"

namespace relamor::testing {
namespace {

TEST(Status, TellsEachStateOfTheNewDirectory) {
  Installation inst;
  inst.FromSample("release35");
  auto status = [&] {
    const ProgramRun run = RunProgram("relamor", {"--status", inst.new_dir()}, "");
    EXPECT_EQ(run.exit_status, 0) << run.err;
    return run.out;
  };
  const auto files = inst.Files("new");
  EXPECT_NE(status().find(": never converted"), std::string::npos);
  EXPECT_EQ(inst.Files("new"), files) << "--status changes nothing";

  const std::string old_site = inst.old_dir() + "qord003.mdb";
  const std::string healthy = FileBytes(old_site);
  inst.Old("qord003", "UPDATE schedules SET startTime = '12:00:00';");
  ASSERT_EQ(inst.Run("relamor").exit_status, 1);
  std::string out = status();
  EXPECT_NE(out.find(": the last run failed (ended "), std::string::npos) << out;
  EXPECT_NE(out.find(" in qord003.mdb, table schedules: Field too small"), std::string::npos) << out;

  std::ofstream(old_site, std::ios::binary | std::ios::trunc) << healthy;
  ASSERT_EQ(inst.Run("relamor").exit_status, 0);
  out = status();
  EXPECT_NE(out.find(": converted (ended "), std::string::npos) << out;
  EXPECT_NE(out.find("), unchanged since"), std::string::npos) << out;

  MakeDatabase(inst.new_dir() + "qorsite.mdb", "CREATE TABLE used_since (x LONG);");
  EXPECT_NE(status().find("), in use since "), std::string::npos);

  const ProgramRun missing = RunProgram("relamor", {"--status", inst.root() + "/none/"}, "");
  EXPECT_EQ(missing.exit_status, 73);
  EXPECT_NE(missing.err.find("does not exist"), std::string::npos) << missing.err;
}

}  // namespace
}  // namespace relamor::testing
