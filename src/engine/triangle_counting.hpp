// Triangle counting on the GPU.
//
// Computes the number of triples (u, v, w) with u < v < w, v and w in the list
// of u and w in the list of v. For a graph stored with both directions of each
// edge in sorted, duplicate-free lists this is the number of triangles, each
// counted once at its smallest node. Self-loops never count; repeated entries
// may count a triangle more than once; unsorted lists give an unspecified total.
//
// Technique: one warp per node. For each neighbour v > u the warp cuts both
// lists down to the elements above v by binary search, splits the shorter part
// over its 32 lanes and searches each element in the longer part, sums the
// lanes' hits with shuffles, and adds its total to one 64-bit counter.
// Graphs whose lists are all strictly ascending instead split the work by
// edges (triangle_counting_edges.ptx): a lane per position, a warp per 32
// consecutive positions, with pairs of long lists searched by the whole warp
// and a list that many lanes probe staged in shared memory, so that no warp
// walks a hub's list alone and the lanes' loads share sectors; the largest
// pairs go to a second launch that deals them out one per warp, so that a
// hub's pairs do not queue in the few warps that hold its edges. Both count
// the same triples.
#pragma once

#include <cstdint>

#include "engine/error.hpp"
#include "engine/graph_store.hpp"
#include "engine/kernel_choice.hpp"

namespace vorlan::engine {

struct TriangleCountResult {
  std::uint64_t total_triangles;
  double time_seconds;
};

GpuResult<TriangleCountResult> count_triangles(const GraphStore& graph,
                                               KernelChoice choice = KernelChoice::automatic);

// Blocks of 256 threads for one warp per node, capped so that the thread
// index stays within 32 bits; beyond the cap each warp strides over nodes.
std::uint32_t triangle_blocks(std::uint32_t num_nodes);

}  // namespace vorlan::engine
