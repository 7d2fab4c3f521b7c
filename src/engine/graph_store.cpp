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

// Only the entries inside some node's list are ever read by a kernel.
GpuResult<> check_targets(std::span<const std::uint32_t> offsets,
                          std::span<const std::uint32_t> targets) {
  if (offsets.size() < 2) return {};
  const auto num_nodes = static_cast<std::uint32_t>(offsets.size() - 1);
  // The largest target first, in a loop without an early exit that the
  // compiler turns into vector code: valid graphs, the common case, are then
  // checked at memory speed, and only a bad one pays for finding its first
  // offender.
  const auto listed = targets.subspan(offsets.front(), offsets.back() - offsets.front());
  std::uint32_t largest = 0;
  for (std::uint32_t target : listed) largest = std::max(largest, target);
  if (largest < num_nodes) return {};
  for (std::size_t i = offsets.front(); i < offsets.back(); ++i) {
    if (targets[i] >= num_nodes) {
      return invalid(
          std::format("targets[{}] = {} is not below num_nodes = {}", i, targets[i], num_nodes));
    }
  }
  return {};
}

}  // namespace

bool lists_strictly_ascending(std::span<const std::uint32_t> offsets,
                              std::span<const std::uint32_t> targets) {
  if (offsets.size() < 2 || targets.empty()) return false;
  if (offsets.front() != 0 || offsets.back() != targets.size()) return false;
  // Steps that do not rise, over the whole array in one loop without an
  // early exit (vector code at memory speed); then the ones that fall on the
  // first entry of a list, where any step is allowed, are taken back out.
  std::size_t flat = 0;
  for (std::size_t i = 1; i < targets.size(); ++i) flat += targets[i] <= targets[i - 1] ? 1 : 0;
  if (flat == 0) return true;
  for (std::size_t v = 0; v + 1 < offsets.size(); ++v) {
    const std::uint32_t start = offsets[v];
    if (start > 0 && start < offsets[v + 1]) flat -= targets[start] <= targets[start - 1] ? 1 : 0;
  }
  return flat == 0;
}

GpuResult<> validate_csr(std::span<const std::uint32_t> offsets,
                         std::span<const std::uint32_t> targets) {
  if (auto r = check_lengths(offsets, targets); !r) return r;
  if (auto r = check_offsets(offsets, targets.size()); !r) return r;
  return check_targets(offsets, targets);
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
      reverse_index_(std::make_shared<ReverseIndex>()) {}

std::optional<bool> GraphStore::known_symmetric() const {
  const auto symmetry = symmetry_->load(std::memory_order_relaxed);
  if (symmetry == kUnknown) return std::nullopt;
  return symmetry == kSymmetric;
}

void GraphStore::remember_symmetric(bool symmetric) const {
  symmetry_->store(symmetric ? kSymmetric : kAsymmetric, std::memory_order_relaxed);
}

GpuResult<GraphStore> GraphStore::build(std::span<const std::uint32_t> offsets,
                                        std::span<const std::uint32_t> targets,
                                        const driver::SharedStream& stream) {
  VORLAN_CHECK(validate_csr(offsets, targets));
  const auto num_nodes = static_cast<std::uint32_t>(offsets.empty() ? 0 : offsets.size() - 1);
  VORLAN_TRY(auto offsets_buffer, driver::upload(stream, offsets));
  VORLAN_TRY(auto targets_buffer, driver::upload(stream, targets));
  return GraphStore(stream, std::move(targets_buffer), std::move(offsets_buffer), num_nodes,
                    static_cast<std::uint32_t>(targets.size()),
                    lists_strictly_ascending(offsets, targets));
}

}  // namespace vorlan::engine
