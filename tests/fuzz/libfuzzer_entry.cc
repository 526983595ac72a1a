// libFuzzer's entry point for one target, chosen at compile time by
// TARNVAULT_FUZZ_TARGET (a function of fuzz_targets.h).
#include <cstddef>
#include <cstdint>

#include "tests/fuzz/fuzz_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  tarnvault_fuzz::TARNVAULT_FUZZ_TARGET(tarnvault_fuzz::FuzzInput(data, size));
  return 0;
}
