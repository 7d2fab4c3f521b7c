#include "engine/graph_store.hpp"

#include <algorithm>
#include <format>

#include "engine/graph_shape.hpp"
#include "engine/try.hpp"

namespace vorlan::engine {
namespace {

std::unexpected<GpuError> invalid(std::string message) {
  return std::unexpected(GpuError(GpuError::InvalidCsr{std::move(message)}));
}

GpuResult<> check_lengths(std::span<const std::uint32_t> offsets,
                          std::span<const std::uint32_t> targets) {
  for (auto [name, size] : {std::pair{"offsets", offsets.size()}, {"targets", targets.size()}}) {
    if (size > kMaxArrayElements) return std::unexpected(GpuError::too_many_elements(name, size));
  }
  return {};
}

GpuResult<> check_offsets(std::span<const std::uint32_t> offsets, std::size_t num_targets) {
  for (std::size_t i = 1; i < offsets.size(); ++i) {
    if (offsets[i] < offsets[i - 1]) {
      return invalid(std::format("offsets[{}] = {} is less than offsets[{}] = {}", i, offsets[i],
                                 i - 1, offsets[i - 1]));
    }
  }
  if (!offsets.empty() && offsets.back() > num_targets) {
    return invalid(std::format("offsets[{}] = {} is beyond the end of targets (length {})",
                               offsets.size() - 1, offsets.back(), num_targets));
  }
  return {};
}

// What one pass over the listed targets finds: the largest, and how many
// steps from one entry to the next do not rise.
struct TargetScan {
  std::uint32_t largest = 0;
  std::size_t flat = 0;
};

// One loop without an early exit, which the compiler turns into vector code:
// valid graphs, the common case, are checked at memory speed, and only a bad
// one pays for finding its first offender.
TargetScan scan(std::span<const std::uint32_t> listed) {
  if (listed.empty()) return {};
  std::uint32_t largest = listed[0];
  std::size_t flat = 0;
  for (std::size_t i = 1; i < listed.size(); ++i) {
    largest = std::max(largest, listed[i]);
    flat += listed[i] <= listed[i - 1] ? 1 : 0;
  }
  return {largest, flat};
}

// Only the entries inside some node's list are ever read by a kernel.
GpuResult<> check_targets(std::span<const std::uint32_t> offsets,
                          std::span<const std::uint32_t> targets, std::uint32_t largest) {
  const auto num_nodes = static_cast<std::uint32_t>(offsets.size() - 1);
  if (largest < num_nodes) return {};
  for (std::size_t i = offsets.front(); i < offsets.back(); ++i) {
    if (targets[i] >= num_nodes) {
      return invalid(
          std::format("targets[{}] = {} is not below num_nodes = {}", i, targets[i], num_nodes));
    }
  }
  return {};
}

// The flat steps that fall on the first entry of a list, where any step is
// allowed, taken back out: whether the lists rise strictly within themselves.
bool strictly_ascending(std::span<const std::uint32_t> offsets,
                        std::span<const std::uint32_t> targets, std::size_t flat) {
  if (flat == 0) return true;
  for (std::size_t v = 0; v + 1 < offsets.size(); ++v) {
    const std::uint32_t start = offsets[v];
    if (start > 0 && start < offsets[v + 1]) flat -= targets[start] <= targets[start - 1] ? 1 : 0;
  }
  return flat == 0;
}

}  // namespace

GpuResult<CsrFacts> check_csr(std::span<const std::uint32_t> offsets,
                              std::span<const std::uint32_t> targets) {
  VORLAN_CHECK(check_lengths(offsets, targets));
  VORLAN_CHECK(check_offsets(offsets, targets.size()));
  if (offsets.size() < 2) return CsrFacts{};
  const auto listed = targets.subspan(offsets.front(), offsets.back() - offsets.front());
  const TargetScan found = scan(listed);
  VORLAN_CHECK(check_targets(offsets, targets, found.largest));
  // The lists cover the whole of targets, or some entry lies outside them.
  const bool whole = offsets.front() == 0 && listed.size() == targets.size() && !targets.empty();
  return CsrFacts{.strictly_ascending = whole && strictly_ascending(offsets, targets, found.flat)};
}

GpuResult<> validate_csr(std::span<const std::uint32_t> offsets,
                         std::span<const std::uint32_t> targets) {
  return check_csr(offsets, targets).transform([](const CsrFacts&) {});
}

bool lists_strictly_ascending(std::span<const std::uint32_t> offsets,
                              std::span<const std::uint32_t> targets) {
  const auto facts = check_csr(offsets, targets);
  return facts && facts->strictly_ascending;
}

GraphStore::GraphStore(driver::SharedStream stream, driver::DeviceBuffer<std::uint32_t> targets,
                       driver::DeviceBuffer<std::uint32_t> offsets, std::uint32_t num_nodes,
                       std::uint32_t num_edges, bool strictly_ascending)
    : stream_(std::move(stream)),
      targets_(std::move(targets)),
      offsets_(std::move(offsets)),
      num_nodes_(num_nodes),
      num_edges_(num_edges),
      strictly_ascending_(strictly_ascending),
      symmetry_(std::make_unique<std::atomic<std::uint8_t>>(kUnknown)),
      transpose_(std::make_unique<TransposeSlot>()),
      reverse_index_(std::make_shared<ReverseIndex>()) {}

std::optional<bool> GraphStore::known_symmetric() const {
  const auto symmetry = symmetry_->load(std::memory_order_relaxed);
  if (symmetry == kUnknown) return std::nullopt;
  return symmetry == kSymmetric;
}

void GraphStore::remember_symmetric(bool symmetric) const {
  symmetry_->store(symmetric ? kSymmetric : kAsymmetric, std::memory_order_relaxed);
}

GpuResult<const TransposedCsr*> GraphStore::transposed() const {
  const std::lock_guard lock(transpose_->mutex);
  if (!transpose_->csr) {
    VORLAN_TRY(auto csr, transpose_graph(*this));
    transpose_->csr.emplace(std::move(csr));
  }
  return &*transpose_->csr;
}

GpuResult<GraphStore> GraphStore::build(std::span<const std::uint32_t> offsets,
                                        std::span<const std::uint32_t> targets,
                                        const driver::SharedStream& stream) {
  VORLAN_TRY(const CsrFacts facts, check_csr(offsets, targets));
  const auto num_nodes = static_cast<std::uint32_t>(offsets.empty() ? 0 : offsets.size() - 1);
  VORLAN_TRY(auto offsets_buffer, driver::upload(stream, offsets));
  VORLAN_TRY(auto targets_buffer, driver::upload(stream, targets));
  return GraphStore(stream, std::move(targets_buffer), std::move(offsets_buffer), num_nodes,
                    static_cast<std::uint32_t>(targets.size()), facts.strictly_ascending);
}

}  // namespace vorlan::engine
