#include "core/filter/payload_table.h"

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/filter/random_filter_test_util.h"

namespace tarnvault_core::filter {
namespace {

using payload::JsonValue;
using payload::Payload;

// Every row's answer from the table, in ranges of random lengths, against
// Filter::matches on the row's payload.
void expect_agreement(const PayloadTable& table, const std::vector<Payload>& rows,
                      const Filter& filter, std::mt19937& rng) {
  TableFilter matcher(filter, table);
  std::vector<std::uint8_t> out(rows.size());
  for (std::size_t first = 0; first < rows.size();) {
    const std::size_t count = std::min<std::size_t>(1 + rng() % 300, rows.size() - first);
    matcher.matches(first, count, out.data() + first);
    first += count;
  }
  for (std::size_t row = 0; row < rows.size(); ++row) {
    ASSERT_EQ(out[row] != 0, filter.matches(rows[row])) << "row " << row;
  }
}

struct Phase {
  const char* name;
  int steps;
  int push_percent;   // payload rows appended
  int empty_percent;  // empty rows appended; the rest removes a random row
};

// Growth, churn (removals move the last row into the hole, as in the index,
// and dead cells are compacted away), shrinking to nothing, and growth
// again; after every few steps, random filters of every kind.
TEST(PayloadTableTest, AgreesWithMatchesOnEveryPayloadThroughInsertsAndRemovals) {
  const Phase phases[] = {{"grow", 3000, 90, 10},
                          {"churn", 12000, 45, 5},
                          {"shrink", 6000, 10, 0},
                          {"regrow", 1500, 80, 20}};
  for (std::uint32_t seed : {1u, 2u}) {
    testing::RandomFilters random(seed);
    std::mt19937& rng = random.rng();
    PayloadTable table;
    std::vector<Payload> rows;
    for (const Phase& phase : phases) {
      for (int step = 0; step < phase.steps; ++step) {
        const int roll = static_cast<int>(rng() % 100);
        if (roll < phase.push_percent) {
          rows.push_back(random.payload());
          table.push_back(rows.back());
        } else if (roll < phase.push_percent + phase.empty_percent) {
          rows.emplace_back();
          table.push_back_empty();
        } else if (!rows.empty()) {
          const std::size_t row = rng() % rows.size();
          rows[row] = std::move(rows.back());
          rows.pop_back();
          table.swap_remove(row);
        }
        ASSERT_EQ(table.size(), rows.size());
        if (step % 500 == 499) {
          for (int f = 0; f < 25; ++f) {
            const Filter filter{random.condition(3)};
            SCOPED_TRACE(::testing::Message() << "seed " << seed << ", " << phase.name
                                              << " step " << step << ", filter " << f);
            expect_agreement(table, rows, filter, rng);
            if (HasFatalFailure()) return;
          }
        }
      }
    }
  }
}

TEST(PayloadTableTest, MovedFromChildrenMatchNothingAsInMatches) {
  Payload payload;
  payload.data["a"] = JsonValue::unsigned_integer(1);
  PayloadTable table;
  table.push_back(payload);
  table.push_back_empty();
  const std::vector<Payload> rows = {payload, Payload{}};
  std::mt19937 rng(3);

  FilterCondition both = FilterCondition::and_(FilterCondition::exists("a"),
                                               FilterCondition::exists("a"));
  FilterCondition taken = std::move(both);  // `both` keeps its kind, loses its children
  (void)taken;
  const Filter filter{FilterCondition::not_(std::move(both))};
  EXPECT_TRUE(filter.matches(rows[0]));
  expect_agreement(table, rows, filter, rng);
}

}  // namespace
}  // namespace tarnvault_core::filter
