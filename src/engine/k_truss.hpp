// k-truss extraction on the GPU.
//
// Keeps the edges that remain after repeatedly deleting every edge that closes
// fewer than k - 2 triangles with the edges still present, and lists each
// survivor once as (u, v) with u < v, ordered by u and then by list position.
// Triangle counts assume sorted lists; an edge stored only from its larger
// endpoint gets no count and goes in the first round.
//
// Technique: one removal flag per CSR position. Per round, a support kernel
// (one thread per node) counts, for each live edge u -> v with v > u, the
// common live targets of the two lists by a linear merge and mirrors the count
// onto the first live reverse position; a filter kernel (one thread per
// position) removes those below k - 2 and counts them. Rounds repeat until one
// removes nothing.
//
// Graphs in canonical form (strictly ascending, symmetric, no self-loops)
// are peeled instead (k_truss_peeling.hpp): supports counted once by edge-
// parallel kernels and lowered round by round, with the same survivors,
// order and rounds.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "engine/error.hpp"
#include "engine/graph_store.hpp"
#include "engine/kernel_choice.hpp"

namespace vorlan::engine {

struct KTrussResult {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> edges;
  std::uint32_t k;
  std::uint32_t iterations;
  double time_seconds;
};

GpuResult<KTrussResult> k_truss(const GraphStore& graph, std::uint32_t k,
                                InterruptPoll interrupt = nullptr,
                                KernelChoice choice = KernelChoice::automatic);

}  // namespace vorlan::engine
