// The metric names a Python caller may choose: "euclidean", "cosine", "dot",
// compared exactly, byte for byte. Hamming has no Python name.
#pragma once

#include <optional>
#include <string_view>

#include "core/distance/distance.h"
#include "py_api.h"

namespace tarnvault_py {

// The metric named by name, or nothing with ValueError "Invalid metric" set.
std::optional<tarnvault_core::DistanceMetric> parse_metric(std::string_view name);

}  // namespace tarnvault_py
