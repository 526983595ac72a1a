#include "core/storage/io/record_search.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace tarnvault_core::storage::io {
namespace {

constexpr std::size_t kWindow = 64 * 1024;
// Confirmation may read this many times the searched range, plus the slack.
constexpr std::uint64_t kCostFactor = 8;
constexpr std::uint64_t kCostSlack = 1 << 20;

}  // namespace

Result<bool> record_follows(RandomAccessFile& file, std::uint64_t from, std::uint64_t size,
                              const RecordProbe& probe) {
  const std::size_t header = probe.header_size;
  if (from + 1 + header > size) return false;
  const std::uint64_t budget = kCostFactor * (size - from) + kCostSlack;
  std::uint64_t spent = 0;
  // Each window holds kWindow candidate offsets and the header bytes the
  // last of them needs.
  std::vector<char> window(kWindow + header);
  for (std::uint64_t base = from + 1; base + header <= size; base += kWindow) {
    const std::size_t wanted = static_cast<std::size_t>(
        std::min<std::uint64_t>(window.size(), size - base));
    auto got = file.pread_up_to({window.data(), wanted}, base);
    if (!got.ok()) return std::move(got).error();
    for (std::size_t i = 0; i < kWindow && i + header <= *got; ++i) {
      if (!probe.plausible(window.data() + i, base + i)) continue;
      std::uint64_t cost = 0;
      auto confirmed = probe.confirm(base + i, cost);
      if (!confirmed.ok()) return confirmed;
      if (*confirmed) return true;
      spent += cost;
      if (spent > budget) return true;
    }
  }
  return false;
}

}  // namespace tarnvault_core::storage::io
