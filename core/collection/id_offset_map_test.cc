#include "core/collection/id_offset_map.h"

#include <limits>
#include <random>
#include <unordered_map>

#include <gtest/gtest.h>

namespace tarnvault_core::collection {
namespace {

// Random puts, replacements and removals, with ids from small ranges (so
// probe runs collide and removed ids come back) and the extreme ids, checked
// against std::unordered_map after every step.
TEST(IdOffsetMapTest, AgreesWithAStandardMapThroughGrowthAndRemovals) {
  for (std::uint64_t id_range : {50u, 4000u}) {
    std::mt19937_64 random(id_range);
    IdOffsetMap map;
    std::unordered_map<std::uint64_t, std::uint64_t> expected;
    auto draw = [&]() -> std::uint64_t {
      switch (random() % 50) {
        case 0: return 0;
        case 1: return std::numeric_limits<std::uint64_t>::max();
        default: return (random() % id_range) << (id_range == 50 ? 0 : 32);
      }
    };
    for (int step = 0; step < 30000; ++step) {
      const std::uint64_t id = draw();
      if (random() % 3 != 0) {
        const std::uint64_t offset = random() % 1000;  // 0 included
        const auto replaced = map.put(id, offset);
        const auto it = expected.find(id);
        ASSERT_EQ(replaced, it == expected.end() ? std::nullopt : std::optional(it->second));
        expected[id] = offset;
      } else {
        const auto it = expected.find(id);
        ASSERT_EQ(map.take(id), it == expected.end() ? std::nullopt : std::optional(it->second));
        if (it != expected.end()) expected.erase(it);
      }
      if (step % 501 == 0) map.reserve(expected.size() + random() % 5000);
      ASSERT_EQ(map.size(), expected.size());
    }
    for (const auto& [id, offset] : expected) ASSERT_EQ(map.find(id), offset) << id;
    EXPECT_FALSE(map.find(12345));
  }
}

}  // namespace
}  // namespace tarnvault_core::collection
