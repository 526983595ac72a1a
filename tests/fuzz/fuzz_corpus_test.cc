// Replays the checked-in seed corpus and every crash reproducer through the
// fuzz targets, without libFuzzer, so they run with every build's tests.
// A target aborts on a broken invariant, which fails this test binary.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/fuzz/fuzz_targets.h"

namespace tarnvault_fuzz {
namespace {

namespace fs = std::filesystem;

std::vector<fs::path> files_under(const fs::path& dir) {
  std::vector<fs::path> files;
  if (!fs::is_directory(dir)) return files;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::string read_all_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class FuzzCorpusTest : public ::testing::TestWithParam<FuzzTarget> {};

TEST_P(FuzzCorpusTest, EverySeedAndReproducerRunsClean) {
  const FuzzTarget& target = GetParam();
  const fs::path root = TARNVAULT_FUZZ_DATA_DIR;
  const std::vector<fs::path> seeds = files_under(root / "corpus" / target.name);
  // A target without seeds would be fuzzed from nothing; keep it seeded.
  ASSERT_FALSE(seeds.empty()) << "no seed corpus for " << target.name;
  std::vector<fs::path> inputs = seeds;
  const std::vector<fs::path> reproducers = files_under(root / "regressions" / target.name);
  inputs.insert(inputs.end(), reproducers.begin(), reproducers.end());
  for (const fs::path& path : inputs) {
    SCOPED_TRACE(path.filename().string());
    const std::string bytes = read_all_bytes(path);
    target.run(FuzzInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
  }
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzCorpusTest, ::testing::ValuesIn(kFuzzTargets),
                         [](const ::testing::TestParamInfo<FuzzTarget>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace tarnvault_fuzz
