#include "engine/connected_components.hpp"

#include <algorithm>
#include <array>
#include <utility>

#include "engine/kernel_steps.hpp"
#include "engine/kernels.hpp"
#include "engine/module_cache.hpp"
#include "engine/try.hpp"

namespace vorlan::engine {
namespace {

ModuleSlot slot;
constexpr std::array<std::string_view, 3> kKernelNames = {
    "components_init_kernel", "components_hook_kernel", "components_jump_kernel"};
enum Kernel { kInit, kHook, kJump };

using Buffer = driver::DeviceBuffer<std::uint32_t>;

// Clears the flag, runs the launch, and reads back whether it changed a label.
GpuResult<bool> changed_step(const GraphStore& graph, driver::KernelLaunch& launch,
                             std::uint32_t blocks, Buffer& changed, std::string_view step) {
  VORLAN_CHECK(fill_step<std::uint32_t>(graph.stream(), changed, 0));
  VORLAN_CHECK(launch_step(launch, blocks, step));
  VORLAN_CHECK(synchronize_step(graph.stream()));
  VORLAN_TRY(const std::uint32_t flag, read_scalar(graph.stream(), changed));
  return flag != 0;
}

// Every label the identity, filled on the device.
GpuResult<Buffer> identity_labels(const GraphStore& graph, const driver::KernelFunction& init) {
  const std::uint32_t n = graph.num_nodes();
  VORLAN_TRY(auto labels, driver::allocate<std::uint32_t>(graph.shared_stream(), n));
  driver::KernelLaunch launch(graph.stream(), init);
  launch.write(labels).scalar(n);
  VORLAN_CHECK(launch_step(launch, grid_blocks(n), "components init failed"));
  return labels;
}

// One hook over every list position; whether any edge joined two labels.
GpuResult<bool> hook(const GraphStore& graph, const driver::KernelFunction& kernel, Buffer& labels,
                     Buffer& changed) {
  const std::uint32_t n = graph.num_nodes();
  driver::KernelLaunch launch(graph.stream(), kernel);
  launch.read(graph.offsets()).read(graph.targets()).write(labels).scalar(n).write(changed);
  return changed_step(graph, launch, grid_blocks(graph.num_edges()), changed,
                      "components hook failed");
}

// Pointer jumps until every label is a root.
GpuResult<> flatten(const GraphStore& graph, const driver::KernelFunction& kernel, Buffer& labels,
                    Buffer& changed, InterruptPoll interrupt) {
  const std::uint32_t n = graph.num_nodes();
  for (bool moved = true; moved;) {
    VORLAN_CHECK(interrupt_step(interrupt));
    driver::KernelLaunch launch(graph.stream(), kernel);
    launch.write(labels).scalar(n).write(changed);
    VORLAN_TRY(moved,
               changed_step(graph, launch, grid_blocks(n), changed, "components jump failed"));
  }
  return {};
}

}  // namespace

GpuResult<ComponentsResult> connected_components(const GraphStore& graph, InterruptPoll interrupt) {
  const Stopwatch clock;
  if (graph.num_nodes() == 0) return ComponentsResult{{}, 0, 0, clock.elapsed_seconds()};
  VORLAN_TRY(const KernelSet kernels,
             kernels_step(slot, graph.stream(), kernels::connected_components_ptx, kKernelNames));
  VORLAN_TRY(auto labels, identity_labels(graph, kernels[kInit]));
  // Cleared before every launch that sets it.
  VORLAN_TRY(auto changed, lift(driver::allocate<std::uint32_t>(graph.shared_stream(), 1)));
  std::uint32_t rounds = 0;
  for (bool joined = true; joined;) {
    VORLAN_CHECK(interrupt_step(interrupt));
    VORLAN_TRY(joined, hook(graph, kernels[kHook], labels, changed));
    ++rounds;
    if (joined) VORLAN_CHECK(flatten(graph, kernels[kJump], labels, changed, interrupt));
  }
  VORLAN_TRY(auto host, download_step(graph.stream(), labels));
  std::uint32_t count = 0;
  for (std::uint32_t v = 0; v < host.size(); ++v) count += host[v] == v ? 1 : 0;
  return ComponentsResult{std::move(host), count, rounds, clock.elapsed_seconds()};
}

}  // namespace vorlan::engine
