// Triangles at each node on the GPU.
//
// For a graph whose lists are all strictly ascending, counts the triples
// (u, v, w) with u < v < w, v and w in the list of u and w in the list of v
// (the triples triangle_count totals) at each of u, v and w: on a symmetric
// graph without self-loops, the triangles each node lies on, each triangle
// counted once at each of its three nodes. A graph without edges has none;
// any other graph whose lists are not strictly ascending is refused with a
// kernel error, since repeated or unsorted entries have no per-node count
// that means anything.
//
// Technique: a thread per list position (triangles_per_node.ptx). A thread
// on an upper edge u -> v looks the shorter of N(u) behind v and N(v) above
// v up in the longer by binary search, adds one to the count of each common
// neighbour w, and its number of finds to the counts of u and v, by 64-bit
// atomic additions; the counts are cleared on the device first.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/error.hpp"
#include "engine/graph_store.hpp"

namespace vorlan::engine {

struct NodeTrianglesResult {
  std::vector<std::uint64_t> triangles;  // per node
  std::uint64_t total_triangles;         // each triangle once
  double time_seconds;
};

GpuResult<NodeTrianglesResult> triangles_per_node(const GraphStore& graph);

}  // namespace vorlan::engine
