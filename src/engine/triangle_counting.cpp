#include "engine/triangle_counting.hpp"

#include <algorithm>
#include <array>

#include "engine/kernel_steps.hpp"
#include "engine/kernels.hpp"
#include "engine/module_cache.hpp"

namespace vorlan::engine {
namespace {

ModuleSlot slot;
constexpr std::array<std::string_view, 2> kKernelNames = {"triangle_count_kernel",
                                                          "triangle_count_warp_kernel"};
enum Kernel { kPerThread, kPerWarp };

// 2^24 - 1 blocks of 256 threads: the largest grid whose thread count fits in
// 32 bits without wrapping the kernels' stride computation to zero.
constexpr std::uint64_t kMaxBlocks = (std::uint64_t{1} << 24) - 1;

GpuResult<> launch_count(const GraphStore& graph, const driver::KernelFunction& kernel,
                         driver::DeviceBuffer<std::uint64_t>& count) {
  const std::uint32_t num_nodes = graph.num_nodes();
  const std::uint32_t num_edges = graph.num_edges();
  driver::KernelLaunch launch(graph.stream(), kernel);
  launch.read(graph.offsets()).read(graph.targets()).scalar(num_nodes).scalar(num_edges).write(count);
  return launch_step(launch, triangle_blocks(num_nodes), "launch failed");
}

}  // namespace

std::uint32_t triangle_blocks(std::uint32_t num_nodes) {
  const std::uint64_t warps_per_block = kThreadsPerBlock / 32;
  const std::uint64_t blocks = (std::uint64_t{num_nodes} + warps_per_block - 1) / warps_per_block;
  return static_cast<std::uint32_t>(std::min(blocks, kMaxBlocks));
}

GpuResult<TriangleCountResult> count_triangles(const GraphStore& graph) {
  const Stopwatch clock;
  const auto kernels = kernels_step(slot, graph.stream(), kernels::triangle_counting_ptx, kKernelNames);
  if (!kernels) return std::unexpected(std::move(kernels.error()));
  const std::array<std::uint64_t, 1> zero = {0};
  auto count = upload_step<std::uint64_t>(graph.shared_stream(), zero);
  if (!count) return std::unexpected(std::move(count.error()));
  if (auto r = launch_count(graph, (*kernels)[kPerWarp], *count); !r) return std::unexpected(r.error());
  if (auto r = synchronize_step(graph.stream()); !r) return std::unexpected(r.error());
  auto total = read_scalar(graph.stream(), *count);
  if (!total) return std::unexpected(std::move(total.error()));
  return TriangleCountResult{*total, clock.elapsed_seconds()};
}

}  // namespace vorlan::engine
