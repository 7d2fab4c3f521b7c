#include "engine/pagerank.hpp"

#include <array>
#include <utility>

#include "engine/kernel_steps.hpp"
#include "engine/kernels.hpp"
#include "engine/module_cache.hpp"

namespace vorlan::engine {
namespace {

ModuleSlot slot;
constexpr std::array<std::string_view, 3> kKernelNames = {
    "pagerank_iteration_kernel", "compute_out_degrees_kernel", "pagerank_diff_kernel"};
enum Kernel { kIteration, kOutDegrees, kDiff };

// 256 f32 slots of shared memory for the diff kernel's tree reduction.
constexpr std::uint32_t kDiffSharedBytes = kThreadsPerBlock * sizeof(float);

struct RankBuffers {
  driver::DeviceBuffer<float> ranks;
  driver::DeviceBuffer<float> new_ranks;
  driver::DeviceBuffer<std::uint32_t> out_degrees;
};

// Ranks start at 1/n; out-degrees are computed once on the device.
GpuResult<RankBuffers> prepare(const GraphStore& graph, const driver::KernelFunction& degrees) {
  const std::uint32_t n = graph.num_nodes();
  auto ranks = filled_buffer<float>(graph.shared_stream(), n, 1.0f / static_cast<float>(n));
  if (!ranks) return std::unexpected(std::move(ranks.error()));
  auto new_ranks = filled_buffer<float>(graph.shared_stream(), n, 0.0f);
  if (!new_ranks) return std::unexpected(std::move(new_ranks.error()));
  auto out_degrees = filled_buffer<std::uint32_t>(graph.shared_stream(), n, 0);
  if (!out_degrees) return std::unexpected(std::move(out_degrees.error()));
  driver::KernelLaunch launch(graph.stream(), degrees);
  launch.read(graph.offsets()).scalar(n).write(*out_degrees);
  if (auto r = launch_step(launch, blocks_for(n), "degree kernel failed"); !r) {
    return std::unexpected(r.error());
  }
  return RankBuffers{std::move(*ranks), std::move(*new_ranks), std::move(*out_degrees)};
}

// One iteration: new ranks from the current ones, then their L1 change.
GpuResult<float> iterate(const GraphStore& graph, const std::vector<driver::KernelFunction>& kernels,
                         RankBuffers& buffers, driver::DeviceBuffer<float>& diff, float damping) {
  const std::uint32_t n = graph.num_nodes();
  driver::KernelLaunch step(graph.stream(), kernels[kIteration]);
  step.read(graph.offsets()).read(graph.targets()).read(buffers.ranks).write(buffers.new_ranks)
      .read(buffers.out_degrees).scalar(n).scalar(damping);
  if (auto r = launch_step(step, blocks_for(n), "iteration kernel failed"); !r) {
    return std::unexpected(r.error());
  }
  const std::array<float, 1> zero = {0.0f};
  if (auto r = copy_step<float>(graph.stream(), zero, diff); !r) return std::unexpected(r.error());
  driver::KernelLaunch change(graph.stream(), kernels[kDiff]);
  change.read(buffers.ranks).read(buffers.new_ranks).scalar(n).write(diff);
  if (auto r = launch_step(change, blocks_for(n), "diff kernel failed", kDiffSharedBytes); !r) {
    return std::unexpected(r.error());
  }
  if (auto r = synchronize_step(graph.stream()); !r) return std::unexpected(r.error());
  return read_scalar(graph.stream(), diff);
}

}  // namespace

GpuResult<PageRankResult> pagerank(const GraphStore& graph, float damping,
                                   std::uint32_t max_iterations, float tolerance,
                                   InterruptPoll interrupt) {
  const Stopwatch clock;
  const auto kernels = kernels_step(slot, graph.stream(), kernels::pagerank_ptx, kKernelNames);
  if (!kernels) return std::unexpected(std::move(kernels.error()));
  auto buffers = prepare(graph, (*kernels)[kOutDegrees]);
  if (!buffers) return std::unexpected(std::move(buffers.error()));
  auto diff = filled_buffer<float>(graph.shared_stream(), 1, 0.0f);
  if (!diff) return std::unexpected(std::move(diff.error()));
  std::uint32_t iterations = 0;
  bool converged = false;
  while (iterations < max_iterations) {
    if (auto r = interrupt_step(interrupt); !r) return std::unexpected(r.error());
    auto change = iterate(graph, *kernels, *buffers, *diff, damping);
    if (!change) return std::unexpected(std::move(change.error()));
    ++iterations;
    std::swap(buffers->ranks, buffers->new_ranks);
    if (tolerance > *change) {
      converged = true;
      break;
    }
  }
  if (auto r = synchronize_step(graph.stream()); !r) return std::unexpected(r.error());
  auto ranks = download_step(graph.stream(), buffers->ranks);
  if (!ranks) return std::unexpected(std::move(ranks.error()));
  return PageRankResult{std::move(*ranks), iterations, converged, clock.elapsed_seconds()};
}

}  // namespace vorlan::engine
