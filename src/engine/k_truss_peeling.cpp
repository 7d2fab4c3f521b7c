#include "engine/k_truss_peeling.hpp"

#include <array>

#include "engine/graph_shape.hpp"
#include "engine/kernel_steps.hpp"
#include "engine/kernels.hpp"
#include "engine/module_cache.hpp"

namespace vorlan::engine {
namespace {

ModuleSlot slot;
constexpr std::array<std::string_view, 6> kKernelNames = {
    "reverse_edge_kernel", "truss_fill_kernel", "truss_clear_flags_kernel",
    "truss_support_kernel", "truss_mark_kernel", "truss_peel_kernel"};
enum Kernel { kReverse, kFill, kClearFlags, kSupport, kMark, kPeel };

using Kernels = std::vector<driver::KernelFunction>;

// Every launch below keeps pointers to its scalars until it is issued, so
// they are named locals, never temporaries.

struct PeelBuffers {
  driver::DeviceBuffer<std::uint32_t> support;  // at upper positions
  driver::DeviceBuffer<std::uint8_t> state;     // 0 live, 2 dying, 1 removed
  driver::DeviceBuffer<std::uint32_t> dying;    // edges marked in the current round
};

GpuResult<> fill_words(const GraphStore& graph, const Kernels& kernels,
                       driver::DeviceBuffer<std::uint32_t>& buffer, std::uint32_t value) {
  const auto count = static_cast<std::uint32_t>(buffer.length());
  driver::KernelLaunch fill(graph.stream(), kernels[kFill]);
  fill.write(buffer).scalar(count).scalar(value);
  return launch_step(fill, grid_blocks(count), "fill kernel failed");
}

GpuResult<PeelBuffers> prepare(const GraphStore& graph, const Kernels& kernels) {
  const std::uint32_t m = graph.num_edges();
  auto support = lift(driver::allocate<std::uint32_t>(graph.shared_stream(), m));
  if (!support) return std::unexpected(std::move(support.error()));
  auto state = lift(driver::allocate<std::uint8_t>(graph.shared_stream(), m));
  if (!state) return std::unexpected(std::move(state.error()));
  auto dying = lift(driver::allocate<std::uint32_t>(graph.shared_stream(), 1));
  if (!dying) return std::unexpected(std::move(dying.error()));
  if (auto r = fill_words(graph, kernels, *support, 0); !r) return std::unexpected(r.error());
  driver::KernelLaunch clear(graph.stream(), kernels[kClearFlags]);
  clear.write(*state).scalar(m);
  if (auto r = launch_step(clear, grid_blocks(m), "clear kernel failed"); !r) {
    return std::unexpected(r.error());
  }
  return PeelBuffers{std::move(*support), std::move(*state), std::move(*dying)};
}

// Every triangle adds one to the support of each of its three edges.
GpuResult<> count_supports(const GraphStore& graph, const Kernels& kernels, PeelBuffers& buffers) {
  const std::uint32_t n = graph.num_nodes();
  const std::uint32_t m = graph.num_edges();
  driver::KernelLaunch support(graph.stream(), kernels[kSupport]);
  support.read(graph.offsets()).read(graph.targets()).scalar(n).scalar(m).write(buffers.support);
  return launch_step(support, grid_blocks(m), "support kernel failed");
}

// Last round's dying edges go; live edges below min_support start dying.
// Returns how many edges started dying.
GpuResult<std::uint32_t> mark_round(const GraphStore& graph, const Kernels& kernels,
                                    const driver::DeviceBuffer<std::uint32_t>& reverse,
                                    PeelBuffers& buffers, std::uint32_t min_support) {
  if (auto r = fill_words(graph, kernels, buffers.dying, 0); !r) return std::unexpected(r.error());
  const std::uint32_t m = graph.num_edges();
  driver::KernelLaunch mark(graph.stream(), kernels[kMark]);
  mark.read(buffers.support).read(reverse).write(buffers.state).scalar(m).scalar(min_support)
      .write(buffers.dying);
  if (auto r = launch_step(mark, grid_blocks(m), "mark kernel failed"); !r) {
    return std::unexpected(r.error());
  }
  if (auto r = synchronize_step(graph.stream()); !r) return std::unexpected(r.error());
  return read_scalar(graph.stream(), buffers.dying);
}

// The triangles the dying edges break leave the supports of their other edges.
GpuResult<> peel_round(const GraphStore& graph, const Kernels& kernels,
                       const driver::DeviceBuffer<std::uint32_t>& reverse, PeelBuffers& buffers) {
  const std::uint32_t n = graph.num_nodes();
  const std::uint32_t m = graph.num_edges();
  driver::KernelLaunch peel(graph.stream(), kernels[kPeel]);
  peel.read(graph.offsets()).read(graph.targets()).read(reverse).read(buffers.state).scalar(n)
      .scalar(m).write(buffers.support);
  return launch_step(peel, grid_blocks(m), "peel kernel failed");
}

GpuResult<TrussRounds> peel(const GraphStore& graph, const Kernels& kernels,
                            std::uint32_t min_support,
                            const driver::DeviceBuffer<std::uint32_t>& reverse,
                            InterruptPoll interrupt) {
  auto buffers = prepare(graph, kernels);
  if (!buffers) return std::unexpected(std::move(buffers.error()));
  if (auto r = count_supports(graph, kernels, *buffers); !r) return std::unexpected(r.error());
  std::uint32_t iterations = 0;
  for (;;) {
    if (auto r = interrupt_step(interrupt); !r) return std::unexpected(r.error());
    auto dying = mark_round(graph, kernels, reverse, *buffers, min_support);
    if (!dying) return std::unexpected(std::move(dying.error()));
    ++iterations;
    if (*dying == 0) break;
    if (auto r = peel_round(graph, kernels, reverse, *buffers); !r) return std::unexpected(r.error());
  }
  return TrussRounds{std::move(buffers->state), iterations};
}

}  // namespace

GpuResult<std::optional<TrussRounds>> peel_if_canonical(const GraphStore& graph,
                                                        std::uint32_t min_support,
                                                        InterruptPoll interrupt) {
  if (!graph.strictly_ascending() || graph.known_symmetric() == false) return std::nullopt;
  const auto kernels = kernels_step(slot, graph.stream(), kernels::k_truss_peeling_ptx, kKernelNames);
  if (!kernels) return std::unexpected(std::move(kernels.error()));
  auto reverse = canonical_reverse(graph, (*kernels)[kReverse]);
  if (!reverse) return std::unexpected(std::move(reverse.error()));
  if (!*reverse) return std::nullopt;
  auto truss = peel(graph, *kernels, min_support, **reverse, interrupt);
  if (!truss) return std::unexpected(std::move(truss.error()));
  return std::optional<TrussRounds>(std::move(*truss));
}

}  // namespace vorlan::engine
