// Group kernels in portable C++ for CPUs without AVX2: the baseline the
// faster levels fall back to. Lanes are plain arrays; the compiler may use
// the baseline vector instructions across lanes, never within one.
#include <bit>
#include <cmath>
#include <cstdint>

#include "core/distance/group_scan_impl.h"

namespace tarnvault_core::distance::group_kernels {
namespace {

template <typename T>
struct Lanes {
  T x[kGroupLanes];
};

template <typename F>
Lanes<float> each(F f) {
  Lanes<float> r;
  for (std::size_t l = 0; l < kGroupLanes; ++l) r.x[l] = f(l);
  return r;
}

struct Scalar {
  using Vec = Lanes<float>;
  using Count = Lanes<std::uint32_t>;
  static constexpr int kSingleGroups = 2;
  static constexpr int kBatchGroups = 1;

  static Vec zero() { return each([](std::size_t) { return 0.0f; }); }
  static Vec load(const float* p) { return each([p](std::size_t l) { return p[l]; }); }
  static Vec broadcast(float x) { return each([x](std::size_t) { return x; }); }
  static Vec add(const Vec& a, const Vec& b) { return each([&](std::size_t l) { return a.x[l] + b.x[l]; }); }
  static Vec sub(const Vec& a, const Vec& b) { return each([&](std::size_t l) { return a.x[l] - b.x[l]; }); }
  static Vec mul(const Vec& a, const Vec& b) { return each([&](std::size_t l) { return a.x[l] * b.x[l]; }); }
  static Vec div(const Vec& a, const Vec& b) { return each([&](std::size_t l) { return a.x[l] / b.x[l]; }); }
  static Vec sqrt(const Vec& a) { return each([&](std::size_t l) { return std::sqrt(a.x[l]); }); }
  static Vec flip_sign(const Vec& a) {
    return each([&](std::size_t l) {
      return std::bit_cast<float>(std::bit_cast<std::uint32_t>(a.x[l]) ^ 0x80000000u);
    });
  }
  static Vec one_where_zero(const Vec& den, const Vec& value) {
    return each([&](std::size_t l) { return den.x[l] == 0.0f ? 1.0f : value.x[l]; });
  }
  static void store(float* p, const Vec& a) {
    for (std::size_t l = 0; l < kGroupLanes; ++l) p[l] = a.x[l];
  }

  static Count zero_count() { return Count{}; }
  static Count count_differing(Count count, const Vec& stored, bool query_bit) {
    for (std::size_t l = 0; l < kGroupLanes; ++l) count.x[l] += (stored.x[l] > 0.5f) != query_bit;
    return count;
  }
  static Vec to_float(const Count& count) {
    return each([&](std::size_t l) { return static_cast<float>(count.x[l]); });
  }
};

}  // namespace

void score_scalar(DistanceMetric metric, const QueryBatch& queries, const GroupRun& groups,
                  float* const* out) {
  group_scan::score<Scalar>(metric, queries, groups, out);
}

}  // namespace tarnvault_core::distance::group_kernels
