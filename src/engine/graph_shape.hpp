// The shape checks that run on the device: whether a graph with strictly
// ascending lists is also symmetric without self-loops, and where each
// stored edge's reverse lies. One thread per position searches the reverse
// in the target's list (reverse_edge_kernel, which ships with the peeling
// kernels, its only user so far), so the check costs num_edges binary
// searches; a graph found not canonical is never searched again.
#pragma once

#include <optional>

#include "driver/launch.hpp"
#include "driver/memory.hpp"
#include "engine/error.hpp"
#include "engine/graph_store.hpp"

namespace vorlan::engine {

// For a canonical graph (strictly ascending, symmetric, no self-loops): a
// buffer whose entry e is the position of edge e's reverse. For any other
// graph: nullopt, without a launch once the store knows.
GpuResult<std::optional<driver::DeviceBuffer<std::uint32_t>>> canonical_reverse(
    const GraphStore& graph, const driver::KernelFunction& reverse_edge_kernel);

}  // namespace vorlan::engine
