// Which kernels an algorithm runs. The graph's shape normally decides;
// tests and benchmarks hold today's node-parallel kernels beside the
// edge-parallel ones on graphs that could take either.
#pragma once

namespace vorlan::engine {

enum class KernelChoice {
  automatic,     // edge-parallel kernels wherever the graph's shape allows them
  node_kernels,  // the node-parallel kernels, whatever the shape
};

}  // namespace vorlan::engine
