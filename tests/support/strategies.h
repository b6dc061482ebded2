// The comparison suite's parameter: end-to-end tests of the copy run once
// under each copy strategy and expect the same outcome, so the set-based and
// the row-by-row executor are held to one result.
//
//   class MyTest : public StrategyTest {};
//   TEST_P(MyTest, ...) { ... }
//   RELAMOR_UNDER_BOTH_STRATEGIES(MyTest);
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace relamor::testing {

// Sets RELAMOR_COPY_STRATEGY for the programs a test starts.
inline void UseStrategy(const std::string& strategy) {
  setenv("RELAMOR_COPY_STRATEGY", strategy.c_str(), 1);
}

class StrategyTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override { UseStrategy(GetParam()); }
  void TearDown() override { unsetenv("RELAMOR_COPY_STRATEGY"); }
};

}  // namespace relamor::testing

#define RELAMOR_UNDER_BOTH_STRATEGIES(suite)                                        \
  INSTANTIATE_TEST_SUITE_P(Strategy, suite,                                         \
                           ::testing::Values(std::string("auto"), std::string("rows")), \
                           [](const ::testing::TestParamInfo<std::string>& p) { return p.param; })
