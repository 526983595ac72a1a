// Cost of a filtered single-query search against an unfiltered one, on one
// BruteForceIndex of N vectors (default 10^6 x 128, normally distributed
// components, Euclidean, k = 10). Every vector carries a payload
//   {"category": u in [0, 100), "tag": one of 10 words, "title": "item <i>"}
// and the filters match about 1%, 50% and 100% of the vectors, then a few
// other shapes (strings, In, Or/Not, a key no payload has).
//
// Built on request: cmake --build build --target filter_bench
// Run:             build/bench/filter_bench [vectors] [dimension] [rounds]
//
// Each round times every filter on the same queries, so that a burst of load
// from other processes falls on all of them alike. Figures are per query:
// the minimum and the median over rounds x queries, by the thread's CPU time
// (steady on a shared machine) and by the wall clock.

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "core/filter/filter.h"
#include "core/index/brute_force/brute_force_index.h"

namespace {

using tarnvault_core::BruteForceIndex;
using tarnvault_core::DistanceMetric;
using tarnvault_core::Filter;
using tarnvault_core::FilterCondition;
using tarnvault_core::JsonValue;
using tarnvault_core::Payload;

double thread_cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double wall_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

const char* const kTags[] = {"red",  "green", "blue",  "black", "white",
                             "gray", "pink",  "brown", "olive", "navy"};

struct Case {
  Case(const char* name_, const Filter* filter_) : name(name_), filter(filter_) {}

  const char* name;
  const Filter* filter;  // null: unfiltered
  std::size_t matching = 0;
  std::vector<double> cpu;
  std::vector<double> wall;
};

double quantile(std::vector<double> v, double q) {
  std::sort(v.begin(), v.end());
  return v[static_cast<std::size_t>(q * static_cast<double>(v.size() - 1))];
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  const std::size_t dimension = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 128;
  const std::size_t rounds = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 5;
  constexpr std::size_t kQueries = 4;
  constexpr std::size_t k = 10;

  std::mt19937_64 random(7);
  std::normal_distribution<float> normal;
  BruteForceIndex index(DistanceMetric::Euclidean, dimension);
  index.reserve(n);
  std::vector<Payload> payloads;  // kept to count the matches
  payloads.reserve(n);
  std::vector<float> vector(dimension);
  const double build_start = wall_seconds();
  for (std::size_t i = 0; i < n; ++i) {
    for (float& x : vector) x = normal(random);
    Payload p;
    p.data["category"] = JsonValue::unsigned_integer(random() % 100);
    p.data["tag"] = JsonValue::string(kTags[random() % 10]);
    p.data["title"] = JsonValue::string("item " + std::to_string(i));
    payloads.push_back(p);
    if (!index.insert(i, vector, std::move(p)).ok()) return 1;
  }
  std::printf("built %zu x %zu with payloads in %.1f s\n", n, dimension,
              wall_seconds() - build_start);

  const auto u = JsonValue::unsigned_integer;
  const Filter one_percent{FilterCondition::eq("category", u(7))};
  const Filter half{FilterCondition::lt("category", u(50))};
  const Filter all{FilterCondition::gte("category", u(0))};
  const auto s = JsonValue::string;
  const Filter tags{FilterCondition::in("tag", {s("red"), s("navy")})};
  const Filter mixed{FilterCondition::or_(
      FilterCondition::and_(FilterCondition::gte("category", u(90)),
                            FilterCondition::not_(FilterCondition::eq("tag", s("red")))),
      FilterCondition::eq("category", u(3)))};
  const Filter titles{FilterCondition::contains("title", "77")};
  const Filter absent{FilterCondition::ne("missing", u(1))};
  std::vector<Case> cases = {{"unfiltered", nullptr},
                             {"Eq category (1%)", &one_percent},
                             {"Lt category (50%)", &half},
                             {"Gte category (100%)", &all},
                             {"In tag, 2 words", &tags},
                             {"Or(And(Gte, Not Eq), Eq)", &mixed},
                             {"Contains title \"77\"", &titles},
                             {"Ne on an absent key", &absent}};
  for (Case& c : cases) {
    c.matching = c.filter == nullptr
                     ? n
                     : static_cast<std::size_t>(std::count_if(
                           payloads.begin(), payloads.end(),
                           [&c](const Payload& p) { return c.filter->matches(p); }));
  }
  payloads.clear();
  payloads.shrink_to_fit();

  std::vector<std::vector<float>> queries(kQueries, std::vector<float>(dimension));
  for (auto& q : queries) {
    for (float& x : q) x = normal(random);
  }
  for (Case& c : cases) index.search(queries[0], k, c.filter);  // warm-up
  for (std::size_t r = 0; r < rounds; ++r) {
    for (Case& c : cases) {
      for (const auto& q : queries) {
        const double cpu = thread_cpu_seconds();
        const double wall = wall_seconds();
        const auto results = index.search(q, k, c.filter);
        c.wall.push_back(wall_seconds() - wall);
        c.cpu.push_back(thread_cpu_seconds() - cpu);
        if (results.size() != std::min(k, c.matching)) {
          std::fprintf(stderr, "%s: %zu results\n", c.name, results.size());
          return 1;
        }
      }
    }
  }

  const double base_cpu = quantile(cases[0].cpu, 0.0);
  const double base_wall = quantile(cases[0].wall, 0.0);
  std::printf("%-28s %8s  %21s  %21s  %7s %7s\n", "filter", "matching", "cpu ms min / median",
              "wall ms min / median", "x cpu", "x wall");
  for (const Case& c : cases) {
    const double cpu_min = quantile(c.cpu, 0.0);
    const double wall_min = quantile(c.wall, 0.0);
    std::printf("%-28s %7.2f%%  %9.2f / %9.2f  %9.2f / %9.2f  %6.2fx %6.2fx\n", c.name,
                100.0 * static_cast<double>(c.matching) / static_cast<double>(n), cpu_min * 1e3,
                quantile(c.cpu, 0.5) * 1e3, wall_min * 1e3, quantile(c.wall, 0.5) * 1e3,
                cpu_min / base_cpu, wall_min / base_wall);
  }
  return 0;
}
