#include "engine/pagerank_directed.hpp"

#include <array>
#include <cmath>
#include <format>
#include <string_view>
#include <utility>

#include "engine/kernel_steps.hpp"
#include "engine/kernels.hpp"
#include "engine/module_cache.hpp"
#include "engine/try.hpp"

namespace vorlan::engine {
namespace {

ModuleSlot slot;
constexpr std::array<std::string_view, 7> kKernelNames = {
    "prd_out_weights_kernel", "prd_in_weights_kernel", "prd_scale_kernel",      "prd_diff_kernel",
    "prd_sum_kernel",         "prd_gather_kernel",     "prd_gather_warp_kernel"};
enum Kernel { kOutWeights, kInWeights, kScale, kDiff, kSum, kGather, kGatherWarp };

// One f64 of shared memory per thread for the reductions' trees.
constexpr std::uint32_t kTreeSharedBytes = kThreadsPerBlock * sizeof(double);
// Where prd_sum_kernel leaves the dangling ranks' total and the L1 change.
constexpr std::uint32_t kDanglingSlot = 0;
constexpr std::uint32_t kChangeSlot = 1;

std::unexpected<GpuError> refuse(std::string message) {
  return std::unexpected(GpuError::invalid_argument(std::move(message)));
}

// ---------------------------------------------------------------------------
// Checking the arguments

GpuResult<> check_scalars(const DirectedPageRankOptions& options) {
  if (!(options.alpha >= 0.0 && options.alpha <= 1.0)) {
    return refuse(std::format("alpha must lie in [0, 1], not {}", options.alpha));
  }
  if (!(options.tolerance > 0.0)) {
    return refuse(std::format("tolerance must be positive, not {}", options.tolerance));
  }
  return {};
}

GpuResult<> check_weights(std::span<const double> weights, std::uint32_t num_edges) {
  if (weights.empty()) return {};
  if (weights.size() != num_edges) {
    return refuse(std::format("weights has {} entries; the graph has {} (one per target)",
                              weights.size(), num_edges));
  }
  for (std::size_t i = 0; i < weights.size(); ++i) {
    if (!(weights[i] >= 0.0) || std::isinf(weights[i])) {
      return refuse(
          std::format("weights[{}] = {}: weights must be finite and not negative", i, weights[i]));
    }
  }
  return {};
}

// `values` scaled to sum 1 as NetworkX scales them, or `fallback` when empty.
GpuResult<std::vector<double>> normalised(std::span<const double> values, std::string_view name,
                                          std::uint32_t n, const std::vector<double>& fallback) {
  if (values.empty()) return fallback;
  if (values.size() != n) {
    return refuse(std::format("{} has {} entries; the graph has {} nodes", name, values.size(), n));
  }
  double total = 0.0;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (!std::isfinite(values[i])) {
      return refuse(std::format("{}[{}] = {} is not finite", name, i, values[i]));
    }
    total += values[i];
  }
  if (total == 0.0 || !std::isfinite(total)) {
    return refuse(std::format("{} sums to {}; it must have a finite, non-zero sum", name, total));
  }
  std::vector<double> scaled(values.begin(), values.end());
  for (double& value : scaled) value /= total;
  return scaled;
}

// ---------------------------------------------------------------------------
// The buffers of one call

struct Vectors {
  std::vector<double> start, personal, dangling;
};

GpuResult<Vectors> vectors(const DirectedPageRankOptions& options, std::uint32_t n) {
  const std::vector<double> uniform(n, 1.0 / static_cast<double>(n));
  VORLAN_TRY(auto start, normalised(options.start, "start", n, uniform));
  VORLAN_TRY(auto personal, normalised(options.personalization, "personalization", n, uniform));
  VORLAN_TRY(auto dangling, normalised(options.dangling, "dangling", n, personal));
  return Vectors{std::move(start), std::move(personal), std::move(dangling)};
}

struct Buffers {
  driver::DeviceBuffer<double> ranks, new_ranks, scaled, inv_out, personal, dangling;
  driver::DeviceBuffer<double> in_weights;  // empty when unweighted
  driver::DeviceBuffer<double> partials, sums;
};

// Out-weights (the graph as stored) and in-weights (the transpose's order),
// once per call.
GpuResult<> weigh(const GraphStore& graph, const TransposedCsr& in, KernelSet kernels,
                  std::span<const double> weights, Buffers& buffers) {
  const std::uint32_t n = graph.num_nodes();
  const std::uint32_t weighted = weights.empty() ? 0 : 1;
  VORLAN_TRY(auto device_weights, upload_step<double>(graph.shared_stream(), weights));
  driver::KernelLaunch out(graph.stream(), kernels[kOutWeights]);
  out.read(graph.offsets()).read(device_weights).scalar(weighted).scalar(n).write(buffers.inv_out);
  VORLAN_CHECK(launch_step(out, blocks_for(n), "out-weight kernel failed"));
  if (weighted != 0) {
    VORLAN_TRY(buffers.in_weights,
               lift(driver::allocate<double>(graph.shared_stream(), in.num_in)));
    driver::KernelLaunch gather(graph.stream(), kernels[kInWeights]);
    gather.read(in.in_edges).read(device_weights).scalar(in.num_in).write(buffers.in_weights);
    VORLAN_CHECK(launch_step(gather, blocks_for(in.num_in), "in-weight kernel failed"));
  }
  // The upload's buffer goes when this returns: wait for the kernels reading it.
  return synchronize_step(graph.stream());
}

GpuResult<Buffers> prepare(const GraphStore& graph, const TransposedCsr& in, KernelSet kernels,
                           const DirectedPageRankOptions& options, const Vectors& host) {
  const auto& stream = graph.shared_stream();
  const std::uint32_t n = graph.num_nodes();
  VORLAN_TRY(auto ranks, upload_step<double>(stream, host.start));
  VORLAN_TRY(auto new_ranks, lift(driver::allocate<double>(stream, n)));
  VORLAN_TRY(auto scaled, lift(driver::allocate<double>(stream, n)));
  VORLAN_TRY(auto inv_out, lift(driver::allocate<double>(stream, n)));
  VORLAN_TRY(auto personal, upload_step<double>(stream, host.personal));
  VORLAN_TRY(auto dangling, upload_step<double>(stream, host.dangling));
  VORLAN_TRY(auto in_weights, lift(driver::allocate<double>(stream, 0)));
  VORLAN_TRY(auto partials, lift(driver::allocate<double>(stream, blocks_for(n))));
  VORLAN_TRY(auto sums, filled_buffer<double>(stream, 2, 0.0));
  Buffers buffers{std::move(ranks),      std::move(new_ranks), std::move(scaled),
                  std::move(inv_out),    std::move(personal),  std::move(dangling),
                  std::move(in_weights), std::move(partials),  std::move(sums)};
  VORLAN_CHECK(weigh(graph, in, kernels, options.weights, buffers));
  return buffers;
}

// ---------------------------------------------------------------------------
// One iteration

// Sums the per-block partials into sums[slot].
GpuResult<> total_step(const GraphStore& graph, KernelSet kernels, Buffers& buffers,
                       const std::uint32_t& slot_index, std::string_view step) {
  const std::uint32_t count = blocks_for(graph.num_nodes());
  driver::KernelLaunch sum(graph.stream(), kernels[kSum]);
  sum.read(buffers.partials).scalar(count).write(buffers.sums).scalar(slot_index);
  return launch_step(sum, 1, step, kTreeSharedBytes);
}

// x scaled by the inverse out-weights, and the dangling nodes' total.
GpuResult<> scale_step(const GraphStore& graph, KernelSet kernels, Buffers& buffers) {
  const std::uint32_t n = graph.num_nodes();
  driver::KernelLaunch scale(graph.stream(), kernels[kScale]);
  scale.read(buffers.ranks)
      .read(buffers.inv_out)
      .scalar(n)
      .write(buffers.scaled)
      .write(buffers.partials);
  VORLAN_CHECK(launch_step(scale, blocks_for(n), "scale kernel failed", kTreeSharedBytes));
  return total_step(graph, kernels, buffers, kDanglingSlot, "dangling sum kernel failed");
}

// The arguments both gather kernels start with: the in-lists, their weights,
// and what each iteration hands on. Scalars by reference: the launch keeps
// their addresses until it is issued.
driver::KernelLaunch& gather_inputs(driver::KernelLaunch& launch, const TransposedCsr& in,
                                    const Buffers& buffers, const std::uint32_t& weighted,
                                    const double& alpha) {
  return launch.read(in.in_offsets)
      .read(in.in_sources)
      .read(buffers.in_weights)
      .scalar(weighted)
      .read(buffers.scaled)
      .read(buffers.sums)
      .read(buffers.dangling)
      .read(buffers.personal)
      .scalar(alpha);
}

// The new ranks: short in-lists a thread each, the hubs' a warp each.
GpuResult<> gather_step(const GraphStore& graph, const TransposedCsr& in, KernelSet kernels,
                        Buffers& buffers, const double& alpha) {
  const std::uint32_t n = graph.num_nodes();
  const std::uint32_t weighted = buffers.in_weights.length() == 0 ? 0 : 1;
  const std::uint32_t warp_from = kWarpInDegree;
  driver::KernelLaunch thread(graph.stream(), kernels[kGather]);
  gather_inputs(thread, in, buffers, weighted, alpha)
      .scalar(n)
      .scalar(warp_from)
      .write(buffers.new_ranks);
  VORLAN_CHECK(launch_step(thread, blocks_for(n), "gather kernel failed"));
  const auto warp_threads = static_cast<std::uint32_t>(std::uint64_t{in.num_hubs} * 32);
  driver::KernelLaunch warp(graph.stream(), kernels[kGatherWarp]);
  gather_inputs(warp, in, buffers, weighted, alpha)
      .read(in.hubs)
      .scalar(in.num_hubs)
      .write(buffers.new_ranks);
  return launch_step(warp, blocks_for(warp_threads), "hub gather kernel failed");
}

// The L1 change between the two iterates, read back.
GpuResult<double> change_step(const GraphStore& graph, KernelSet kernels, Buffers& buffers) {
  const std::uint32_t n = graph.num_nodes();
  driver::KernelLaunch diff(graph.stream(), kernels[kDiff]);
  diff.read(buffers.ranks).read(buffers.new_ranks).scalar(n).write(buffers.partials);
  VORLAN_CHECK(launch_step(diff, blocks_for(n), "change kernel failed", kTreeSharedBytes));
  VORLAN_CHECK(total_step(graph, kernels, buffers, kChangeSlot, "change sum kernel failed"));
  VORLAN_CHECK(synchronize_step(graph.stream()));
  VORLAN_TRY(const auto sums, download_step(graph.stream(), buffers.sums));
  return sums[kChangeSlot];
}

GpuResult<double> iterate(const GraphStore& graph, const TransposedCsr& in, KernelSet kernels,
                          Buffers& buffers, const double& alpha) {
  VORLAN_CHECK(scale_step(graph, kernels, buffers));
  VORLAN_CHECK(gather_step(graph, in, kernels, buffers, alpha));
  return change_step(graph, kernels, buffers);
}

}  // namespace

GpuResult<DirectedPageRankResult> pagerank_directed(const GraphStore& graph,
                                                    const DirectedPageRankOptions& options,
                                                    InterruptPoll interrupt) {
  const Stopwatch clock;
  const std::uint32_t n = graph.num_nodes();
  VORLAN_CHECK(check_scalars(options));
  VORLAN_CHECK(check_weights(options.weights, graph.num_edges()));
  VORLAN_TRY(const Vectors host, vectors(options, n));
  if (n == 0) return DirectedPageRankResult{{}, 0, true, clock.elapsed_seconds()};
  VORLAN_TRY(const KernelSet kernels,
             kernels_step(slot, graph.stream(), kernels::pagerank_directed_ptx, kKernelNames));
  VORLAN_TRY(const TransposedCsr* in, graph.transposed());
  VORLAN_TRY(auto buffers, prepare(graph, *in, kernels, options, host));
  // NetworkX's rule: the change must fall below len(G) * tol.
  const double threshold = static_cast<double>(n) * options.tolerance;
  std::uint32_t iterations = 0;
  bool converged = false;
  while (iterations < options.max_iterations && !converged) {
    VORLAN_CHECK(interrupt_step(interrupt));
    VORLAN_TRY(const double change, iterate(graph, *in, kernels, buffers, options.alpha));
    ++iterations;
    std::swap(buffers.ranks, buffers.new_ranks);
    converged = change < threshold;
  }
  VORLAN_CHECK(synchronize_step(graph.stream()));
  VORLAN_TRY(auto ranks, download_step(graph.stream(), buffers.ranks));
  return DirectedPageRankResult{std::move(ranks), iterations, converged, clock.elapsed_seconds()};
}

}  // namespace vorlan::engine
