// Breadth-first search tree in the order of a first-in first-out queue.
//
// From one source, following each node's list as its out-neighbours: the
// reached nodes in the order a queue that pops a node and scans its list in
// list order appends them (the order of NetworkX's bfs_edges), each node's
// parent (the node whose list the queue meets it in first) and depth. Repeated
// entries and self-loops change nothing: only an unvisited node's first
// entry counts. An optional limit stops after that many levels.
//
// Technique (bfs_tree.ptx): the queue lives in one array, level after level.
// Per level, every list entry of the frontier that finds its target
// unvisited offers (frontier rank, list position) by 64-bit atomic minimum,
// so the smallest, the queue's first meeting, wins; each frontier node
// counts its wins, an exclusive scan of the counts gives where each node's
// wins go, and the wins are written there in list order, with their parents
// and depths. Lists are spread by length as in the distance-only search.
#pragma once

#include <cstdint>
#include <limits>
#include <vector>

#include "engine/error.hpp"
#include "engine/graph_store.hpp"

namespace vorlan::engine {

// A depth limit that never binds: no node lies 2^32 - 1 levels deep.
inline constexpr std::uint32_t kNoDepthLimit = std::numeric_limits<std::uint32_t>::max();

struct BfsTreeResult {
  std::vector<std::uint32_t> order;    // the reached nodes in queue order, source first
  std::vector<std::uint32_t> parents;  // per node; 0xFFFFFFFF for the source and unreached nodes
  std::vector<std::uint32_t> depths;   // per node; 0xFFFFFFFF where not reached
  std::uint32_t max_depth;             // the deepest level reached
  double time_seconds;
};

// Fails with a kernel error when `source` is not a node.
GpuResult<BfsTreeResult> bfs_tree(const GraphStore& graph, std::uint32_t source,
                                  std::uint32_t depth_limit = kNoDepthLimit,
                                  InterruptPoll interrupt = nullptr);

}  // namespace vorlan::engine
