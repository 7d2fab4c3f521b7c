// PageRank with each share divided once per iteration and the lists gathered
// by length: the results of the node-parallel kernels (pagerank.hpp), bit
// for bit, at a cost that no longer follows the longest list's loads.
//
// Technique (pagerank_gather.ptx): once per call, nodes are grouped by list
// length on the device. Per iteration, one launch gathers every node's sum
// of shares (short lists a thread each, lists of similar length side by
// side in a warp; long lists a warp each, the loads coalesced and in flight
// ahead of the additions, which stay in list order on every lane), and one
// launch turns sums into ranks, divides the next iteration's shares and
// reduces the L1 change in the very order the node-parallel path does.
#pragma once

#include <cstdint>

#include "engine/error.hpp"
#include "engine/graph_store.hpp"
#include "engine/pagerank.hpp"

namespace vorlan::engine {

GpuResult<PageRankResult> gathered_pagerank(const GraphStore& graph, float damping,
                                            std::uint32_t max_iterations, float tolerance,
                                            InterruptPoll interrupt);

}  // namespace vorlan::engine
