#include <array>
#include <utility>

#include "core/distance/distance.h"

namespace tarnvault_core::distance {
namespace {

// Indexed by discriminant. These spellings are written into collection
// metadata, so they must never change.
constexpr std::array<std::pair<DistanceMetric::Value, std::string_view>, 4> kNames = {{
    {DistanceMetric::Euclidean, "Euclidean"},
    {DistanceMetric::Cosine, "Cosine"},
    {DistanceMetric::DotProduct, "DotProduct"},
    {DistanceMetric::Hamming, "Hamming"},
}};

}  // namespace

std::string_view DistanceMetric::name() const { return kNames[value_].second; }

std::optional<DistanceMetric> DistanceMetric::from_name(std::string_view name) {
  for (const auto& [value, text] : kNames) {
    if (text == name) return DistanceMetric(value);
  }
  return std::nullopt;
}

}  // namespace tarnvault_core::distance
