// The shape checks that run on the device: whether a graph with strictly
// ascending lists is also symmetric without self-loops, and where each
// stored edge's reverse lies. Each undirected edge is searched once, from
// the side whose search runs in the shorter list, and both its positions
// learn the answer (reverse_edge_kernel, which ships with the peeling
// kernels, its only user so far), so the check costs num_edges / 2 binary
// searches, each in the shorter list. It runs once per graph: a graph found
// not canonical is never searched again, and a canonical graph keeps the
// positions found, so that every later k_truss call starts from them.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>

#include "driver/launch.hpp"
#include "driver/memory.hpp"
#include "engine/error.hpp"
#include "engine/graph_store.hpp"

namespace vorlan::engine {

// What a graph keeps of the search: the positions, once found on a canonical
// graph. The lock makes two first callers search once between them.
struct ReverseIndex {
  std::mutex mutex;
  std::optional<driver::DeviceBuffer<std::uint32_t>> positions;
};

// For a canonical graph (strictly ascending, symmetric, no self-loops): the
// graph's buffer whose entry e is the position of edge e's reverse, searched
// on the first call and kept with the graph. For any other graph: null,
// without a launch once the store knows.
GpuResult<const driver::DeviceBuffer<std::uint32_t>*> canonical_reverse(
    const GraphStore& graph, const driver::KernelFunction& reverse_edge_kernel);

}  // namespace vorlan::engine
