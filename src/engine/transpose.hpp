// The transposed CSR of a graph: who points at each node. A graph's lists
// hold each node's out-edges; algorithms in which something flows along the
// edges (PageRank) pull along the in-lists instead. Built on the device once
// per graph, by the first algorithm that asks, and kept with the graph
// (GraphStore::transposed).
//
// The in-list of v is in_sources[in_offsets[v]] up to in_offsets[v + 1], in
// ascending order of the edges' positions in the graph's targets array
// (in_edges holds those positions, so per-edge data aligned with targets can
// be brought into the same order). Repeated edges and self-loops are kept:
// the transpose of the graph as stored, whatever it stores.
#pragma once

#include <cstdint>
#include <vector>

#include "driver/memory.hpp"
#include "engine/error.hpp"

namespace vorlan::engine {

class GraphStore;

// In-lists longer than this are summed by a warp rather than one thread.
inline constexpr std::uint32_t kWarpInDegree = 32;

struct TransposedCsr {
  driver::DeviceBuffer<std::uint32_t> in_offsets;  // num_nodes + 1
  driver::DeviceBuffer<std::uint32_t> in_sources;  // one per listed edge
  driver::DeviceBuffer<std::uint32_t> in_edges;    // the edge's position in targets
  // The nodes whose in-list is longer than kWarpInDegree, ascending.
  driver::DeviceBuffer<std::uint32_t> hubs;
  std::uint32_t num_in;
  std::uint32_t num_hubs;
};

// Builds the transpose of `graph` on its stream (GraphStore::transposed keeps it).
GpuResult<TransposedCsr> transpose_graph(const GraphStore& graph);

// The graph's kept transpose, copied to the host (for tests).
struct TransposedLists {
  std::vector<std::uint32_t> in_offsets, in_sources, in_edges;
};
GpuResult<TransposedLists> download_transpose(const GraphStore& graph);

}  // namespace vorlan::engine
