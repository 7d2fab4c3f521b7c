// Connected components on the GPU.
//
// Labels every node with the smallest node index of its component, taking
// each list entry u -> v as the undirected edge {u, v}: on a symmetric graph
// (every undirected graph the bindings build) these are its connected
// components, on any other graph its weakly connected ones. Self-loops and
// repeated entries change nothing.
//
// Technique: hooking and pointer jumping (connected_components.ptx). Labels
// start as the identity; each round one launch over every list position
// lowers, for each edge whose ends carry different labels, the label of
// the larger one to the smaller by atomic minimum, and launches of one
// pointer jump per node follow until every label is a root. A round whose
// hook finds no such edge ends the search. A long path costs a few rounds
// and about log2(length) jumps each, never one search per component.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/error.hpp"
#include "engine/graph_store.hpp"

namespace vorlan::engine {

struct ComponentsResult {
  std::vector<std::uint32_t> labels;  // per node, the smallest node of its component
  std::uint32_t num_components;
  std::uint32_t rounds;  // hook launches, the last of which changed nothing
  double time_seconds;
};

GpuResult<ComponentsResult> connected_components(const GraphStore& graph,
                                                 InterruptPoll interrupt = nullptr);

}  // namespace vorlan::engine
