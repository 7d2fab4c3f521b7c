// Core numbers on the GPU.
//
// For a symmetric graph without self-loops, the core number of every node:
// the largest k such that the node belongs to a subgraph in which every node
// has at least k neighbours. On other graphs each list entry u -> v counts
// toward u's degree and is released when u leaves, which is only meaningful
// when every entry has its reverse.
//
// Technique: synchronous node peeling (core_number.ptx). At level k, each
// round removes at once every remaining node of degree at most k, then
// lowers the degrees of the remaining nodes their lists name. A scan of all
// nodes starts each level; after it, a round's releases queue the nodes
// they bring down to k, so a round costs only the lists of the nodes it
// removes (a long path peels two nodes a round). A level whose scan removes
// nothing moves k to the smallest remaining degree, which the same scan
// finds by atomic minimum. Degrees and marks are filled on the device.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/error.hpp"
#include "engine/graph_store.hpp"

namespace vorlan::engine {

struct CoreNumberResult {
  std::vector<std::uint32_t> core;  // per node
  std::uint32_t max_core;
  std::uint32_t rounds;  // rounds that removed nodes
  double time_seconds;
};

GpuResult<CoreNumberResult> core_number(const GraphStore& graph, InterruptPoll interrupt = nullptr);

}  // namespace vorlan::engine
