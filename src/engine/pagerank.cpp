#include "engine/pagerank.hpp"

#include <array>
#include <utility>

#include "engine/kernel_steps.hpp"
#include "engine/kernels.hpp"
#include "engine/module_cache.hpp"
#include "engine/pagerank_gather.hpp"
#include "engine/try.hpp"

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
  const float initial = 1.0f / static_cast<float>(n);
  VORLAN_TRY(auto ranks, filled_buffer<float>(graph.shared_stream(), n, initial));
  VORLAN_TRY(auto new_ranks, filled_buffer<float>(graph.shared_stream(), n, 0.0f));
  VORLAN_TRY(auto out_degrees, filled_buffer<std::uint32_t>(graph.shared_stream(), n, 0));
  driver::KernelLaunch launch(graph.stream(), degrees);
  launch.read(graph.offsets()).scalar(n).write(out_degrees);
  VORLAN_CHECK(launch_step(launch, blocks_for(n), "degree kernel failed"));
  return RankBuffers{std::move(ranks), std::move(new_ranks), std::move(out_degrees)};
}

// One iteration: new ranks from the current ones, then their L1 change.
GpuResult<float> iterate(const GraphStore& graph, KernelSet kernels, RankBuffers& buffers,
                         driver::DeviceBuffer<float>& diff, float damping) {
  const std::uint32_t n = graph.num_nodes();
  driver::KernelLaunch step(graph.stream(), kernels[kIteration]);
  step.read(graph.offsets())
      .read(graph.targets())
      .read(buffers.ranks)
      .write(buffers.new_ranks)
      .read(buffers.out_degrees)
      .scalar(n)
      .scalar(damping);
  VORLAN_CHECK(launch_step(step, blocks_for(n), "iteration kernel failed"));
  VORLAN_CHECK(fill_step(graph.stream(), diff, 0.0f));
  driver::KernelLaunch change(graph.stream(), kernels[kDiff]);
  change.read(buffers.ranks).read(buffers.new_ranks).scalar(n).write(diff);
  VORLAN_CHECK(launch_step(change, blocks_for(n), "diff kernel failed", kDiffSharedBytes));
  VORLAN_CHECK(synchronize_step(graph.stream()));
  return read_scalar(graph.stream(), diff);
}

// One thread per node walks its whole list, dividing every share it adds.
GpuResult<PageRankResult> node_parallel_pagerank(const GraphStore& graph, float damping,
                                                 std::uint32_t max_iterations, float tolerance,
                                                 InterruptPoll interrupt) {
  const Stopwatch clock;
  VORLAN_TRY(const KernelSet kernels,
             kernels_step(slot, graph.stream(), kernels::pagerank_ptx, kKernelNames));
  VORLAN_TRY(auto buffers, prepare(graph, kernels[kOutDegrees]));
  VORLAN_TRY(auto diff, filled_buffer<float>(graph.shared_stream(), 1, 0.0f));
  std::uint32_t iterations = 0;
  bool converged = false;
  while (iterations < max_iterations && !converged) {
    VORLAN_CHECK(interrupt_step(interrupt));
    VORLAN_TRY(const float change, iterate(graph, kernels, buffers, diff, damping));
    ++iterations;
    std::swap(buffers.ranks, buffers.new_ranks);
    converged = tolerance > change;
  }
  VORLAN_CHECK(synchronize_step(graph.stream()));
  VORLAN_TRY(auto ranks, download_step(graph.stream(), buffers.ranks));
  return PageRankResult{std::move(ranks), iterations, converged, clock.elapsed_seconds()};
}

}  // namespace

GpuResult<PageRankResult> pagerank(const GraphStore& graph, float damping,
                                   std::uint32_t max_iterations, float tolerance,
                                   InterruptPoll interrupt, KernelChoice choice) {
  if (choice == KernelChoice::node_kernels) {
    return node_parallel_pagerank(graph, damping, max_iterations, tolerance, interrupt);
  }
  return gathered_pagerank(graph, damping, max_iterations, tolerance, interrupt);
}

}  // namespace vorlan::engine
