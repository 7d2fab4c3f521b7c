// PageRank of a directed, optionally weighted graph, as NetworkX computes it,
// in double precision on the GPU.
//
// The graph as stored: the list of u holds u's out-edges (an undirected graph
// stores each edge from both ends). With P the row-stochastic matrix of the
// edge weights (w(u, v) / out-weight(u); a repeated edge adds its weight),
// each iteration is
//
//   x' = alpha * (x P + (sum of x over dangling nodes) * dangling)
//        + (1 - alpha) * personalization
//
// where a node dangles when its out-weight is 0 (no out-edges, or only edges
// of weight 0), and it stops after the first iteration whose L1 change is
// below num_nodes * tolerance, or after max_iterations. personalization,
// dangling and start are scaled to sum 1 (dangling defaults to the
// personalization, the others to uniform), as NetworkX scales them.
//
// Technique: the transposed CSR (GraphStore::transposed, built once per
// graph) so that each node pulls along its in-list; one thread per node, a
// warp per node whose in-list is longer than kWarpInDegree; every sum in an
// order fixed by the graph, so the ranks are the same on every run.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "engine/error.hpp"
#include "engine/graph_store.hpp"

namespace vorlan::engine {

struct DirectedPageRankOptions {
  double alpha = 0.85;
  std::uint32_t max_iterations = 100;
  double tolerance = 1e-6;
  // Empty, or one per entry of the graph's targets (finite, not negative).
  std::span<const double> weights;
  // Empty (the default) or one per node, finite, with a non-zero sum.
  std::span<const double> personalization;
  std::span<const double> dangling;
  std::span<const double> start;
};

struct DirectedPageRankResult {
  std::vector<double> ranks;
  std::uint32_t iterations;
  bool converged;
  double time_seconds;
};

GpuResult<DirectedPageRankResult> pagerank_directed(const GraphStore& graph,
                                                    const DirectedPageRankOptions& options,
                                                    InterruptPoll interrupt = nullptr);

}  // namespace vorlan::engine
