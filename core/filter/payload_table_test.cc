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

// One key whose values come from a domain of pairwise distinct values,
// through growth, churn and removal of every row: the table must pool each
// value held exactly once (a value it fails to find again gets a second
// code), and every code must still stand for its value. The domains include
// hashes whose low bits carry little (consecutive integers, whole floats),
// values that compare equal but are distinct (1 and 1.0, 0.0 and -0.0) or
// unequal but identical (NaN), and few rows at a time, so that values come
// and go in a small table whose runs often wrap around its end.
TEST(PayloadTableTest, PoolsEachDistinctValueOnceThroughChurn) {
  using Domain = std::vector<JsonValue>;
  const auto make = [](std::size_t n, JsonValue (*of)(std::size_t)) {
    Domain d;
    for (std::size_t i = 0; i < n; ++i) d.push_back(of(i));
    return d;
  };
  const Domain samples = testing::sample_values();
  Domain mixed = samples;
  for (std::size_t i = 3; i < 500; ++i) {
    mixed.push_back(JsonValue::unsigned_integer(i));
    mixed.push_back(JsonValue::floating(static_cast<double>(i)));
  }
  const struct {
    const char* name;
    Domain values;
    std::size_t rows;  // about how many rows the table holds while it churns
  } domains[] = {
      {"integers", make(3000, [](std::size_t i) { return JsonValue::unsigned_integer(i); }), 4000},
      {"negative integers",
       make(3000, [](std::size_t i) { return JsonValue::signed_integer(-1 - std::int64_t(i)); }),
       4000},
      {"whole floats", make(3000, [](std::size_t i) { return JsonValue::floating(double(i)); }),
       4000},
      {"strings",
       make(3000, [](std::size_t i) { return JsonValue::string("item " + std::to_string(i)); }),
       4000},
      {"mixed kinds", mixed, 1500},
      {"sample values", samples, 20},
      {"seven sample values", Domain(samples.begin(), samples.begin() + 7), 4},
      {"strings, few at a time",
       make(3000, [](std::size_t i) { return JsonValue::string("item " + std::to_string(i)); }),
       6},
  };
  for (const auto& domain : domains) {
    SCOPED_TRACE(domain.name);
    std::mt19937 rng(7);
    PayloadTable table;
    std::vector<Payload> rows;
    std::vector<std::size_t> held;  // domain index of each row's value
    std::vector<int> count(domain.values.size());
    std::size_t distinct = 0;
    // Rows drift towards each target in turn; the last removes every row.
    const std::size_t targets[] = {domain.rows, domain.rows / 4, domain.rows, 0};
    for (std::size_t phase = 0; phase < std::size(targets); ++phase) {
      const std::size_t target = targets[phase];
      for (int step = 0; step < 8000 && !(target == 0 && rows.empty()); ++step) {
        if (rng() % (2 * target + 1) >= rows.size()) {
          const std::size_t v = rng() % domain.values.size();
          rows.emplace_back();
          rows.back().data["v"] = domain.values[v];
          table.push_back(rows.back());
          held.push_back(v);
          if (count[v]++ == 0) ++distinct;
        } else {
          const std::size_t row = rng() % rows.size();
          if (--count[held[row]] == 0) --distinct;
          rows[row] = std::move(rows.back());
          rows.pop_back();
          held[row] = held.back();
          held.pop_back();
          table.swap_remove(row);
        }
        ASSERT_EQ(table.distinct_values("v"), distinct) << "phase " << phase << " step " << step;
      }
      for (int f = 0; f < 20; ++f) {
        const Filter filter{FilterCondition::eq("v", domain.values[rng() % domain.values.size()])};
        expect_agreement(table, rows, filter, rng);
        if (HasFatalFailure()) return;
      }
    }
    EXPECT_TRUE(rows.empty());
    EXPECT_EQ(table.distinct_values("v"), 0u);
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
