// Replays the kept inputs of every fuzz target: the seeds, and each input
// that once broke a target (tests/fuzz/regressions/<target>/). An input that
// breaks a promise aborts the test binary; its path is printed first.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/fuzz/fuzz_targets.h"

namespace relamor::fuzz {
namespace {

namespace fs = std::filesystem;

class FuzzReplay : public ::testing::TestWithParam<const char*> {};

TEST_P(FuzzReplay, KeptInputsKeepEveryPromise) {
  const Entry entry = FindTarget(GetParam());
  ASSERT_NE(entry, nullptr);
  std::vector<fs::path> inputs;
  for (const char* kind : {"seeds", "regressions"}) {
    const fs::path dir = fs::path(RELAMOR_SOURCE_DIR) / "tests/fuzz" / kind / GetParam();
    if (!fs::is_directory(dir)) continue;
    for (const fs::directory_entry& file : fs::directory_iterator(dir))
      inputs.push_back(file.path());
  }
  std::sort(inputs.begin(), inputs.end());
  ASSERT_FALSE(inputs.empty()) << "no kept inputs for " << GetParam();
  for (const fs::path& path : inputs) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
    std::cerr << "replaying " << path.string() << "\n";
    entry(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  }
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplay,
                         ::testing::Values("command_line", "dialect", "type_conversion",
                                           "damaged_database", "new_schema"));

}  // namespace
}  // namespace relamor::fuzz
