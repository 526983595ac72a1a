#include "core/index/brute_force/slot_map.h"

#include <map>
#include <random>
#include <vector>

#include <gtest/gtest.h>

namespace tarnvault_core::index::brute_force {
namespace {

// Random inserts (both kinds, and of present ids) and removals (the last slot moving into each hole, as the
// index does), with ids drawn from a small range so that removed ids come
// back and probe runs collide, checked against std::map after every step.
TEST(SlotMapTest, AgreesWithAnOrderedMapThroughGrowthAndRemovals) {
  for (std::uint64_t id_range : {40u, 5000u}) {
    std::mt19937_64 rng(id_range);
    SlotMap map;
    std::vector<std::uint64_t> ids;
    std::map<std::uint64_t, std::size_t> expected;
    for (int step = 0; step < 20000; ++step) {
      // Large, structured ids too: only their low bits differ.
      const std::uint64_t id = (rng() % id_range) * (id_range == 40 ? 1 : 0x100000000ull);
      if (rng() % 3 != 0) {
        if (expected.contains(id)) {
          ASSERT_FALSE(map.insert_if_absent(id, ids.size(), ids));
        } else if (step % 2 == 0) {
          ids.push_back(id);
          map.insert(id, ids.size() - 1, ids);
        } else {
          ASSERT_TRUE(map.insert_if_absent(id, ids.size(), ids));
          ids.push_back(id);
        }
        expected.try_emplace(id, ids.size() - 1);
      } else if (expected.contains(id)) {
        const std::size_t hole = expected[id];
        map.erase(id, ids);
        expected.erase(id);
        const std::size_t last = ids.size() - 1;
        if (hole != last) {
          ids[hole] = ids[last];
          map.move(ids[hole], last, hole);
          expected[ids[hole]] = hole;
        }
        ids.pop_back();
      }
      if (step % 97 == 0) map.reserve(ids.size() + rng() % 3000, ids);
      ASSERT_EQ(map.size(), expected.size());
      ASSERT_EQ(map.find(id, ids), expected.contains(id) ? std::optional(expected[id]) : std::nullopt);
    }
    for (const auto& [id, slot] : expected) ASSERT_EQ(map.find(id, ids), slot) << id;
    for (std::uint64_t absent : {id_range + 1, ~std::uint64_t{0}}) EXPECT_FALSE(map.find(absent, ids));
  }
}

}  // namespace
}  // namespace tarnvault_core::index::brute_force
