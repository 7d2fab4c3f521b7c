// Breadth-first search with the frontier's lists spread by length and, on
// graphs known to be symmetric, bottom-up levels where they pay: the
// distances of the queue-based search (bfs.hpp), with far fewer atomics and
// no thread held up by one long list.
//
// Technique (bfs_levels.ptx): per level one launch. Top-down, a lane per
// frontier entry; lists longer than a warp are walked by the whole warp.
// A neighbour is claimed by compare-and-swap only after a plain load finds
// it unvisited, and queue slots come from one atomic per warp. Bottom-up,
// a thread per node: an unvisited node looks through its own list for a
// node of the current level and stops at the first.
#pragma once

#include <cstdint>

#include "engine/bfs.hpp"
#include "engine/error.hpp"
#include "engine/graph_store.hpp"

namespace vorlan::engine {

// `source` must be a node of the graph.
GpuResult<BfsResult> direction_optimizing_bfs(const GraphStore& graph, std::uint32_t source,
                                              InterruptPoll interrupt);

}  // namespace vorlan::engine
