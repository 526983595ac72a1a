#include "metric.h"

namespace tarnvault_py {

std::optional<tarnvault_core::DistanceMetric> parse_metric(std::string_view name) {
  using tarnvault_core::DistanceMetric;
  if (name == "euclidean") return DistanceMetric::Euclidean;
  if (name == "cosine") return DistanceMetric::Cosine;
  if (name == "dot") return DistanceMetric::DotProduct;
  PyErr_SetString(PyExc_ValueError, "Invalid metric");
  return std::nullopt;
}

}  // namespace tarnvault_py
