// libFuzzer's entry for one target; RELAMOR_FUZZ_TARGET names its entry
// function in fuzz_targets.h. Built only with -DRELAMOR_FUZZ=ON (clang).
#include <cstddef>
#include <cstdint>

#include "tests/fuzz/fuzz_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  relamor::fuzz::RELAMOR_FUZZ_TARGET(data, size);
  return 0;
}
