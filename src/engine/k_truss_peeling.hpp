// k-truss by peeling, for graphs in canonical form (strictly ascending,
// symmetric, no self-loops): supports are counted once, edge-parallel, and
// each round takes off the supports only what the triangles of the edges it
// removes contributed, instead of counting every support again.
//
// Round by round it removes exactly the edges that recounting would remove
// (the supports at each round's start equal a recount over the live edges),
// so the survivors and the number of rounds are those of the node kernels.
#pragma once

#include <cstdint>
#include <optional>

#include "driver/memory.hpp"
#include "engine/error.hpp"
#include "engine/graph_store.hpp"

namespace vorlan::engine {

// What the rounds of either way leave behind.
struct TrussRounds {
  driver::DeviceBuffer<std::uint8_t> state;  // per position: 0 for the edges that stay
  std::uint32_t iterations;                  // rounds, the last of which removes nothing
};

// The peeled truss of a canonical graph; nullopt, with nothing peeled, for
// any other graph (a graph that is not strictly ascending loads nothing).
GpuResult<std::optional<TrussRounds>> peel_if_canonical(const GraphStore& graph,
                                                        std::uint32_t min_support,
                                                        InterruptPoll interrupt);

}  // namespace vorlan::engine
