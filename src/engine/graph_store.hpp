// One directed graph in CSR form, resident in one GPU's memory. Built once from
// two host arrays, then only read: every algorithm launches its kernels on the
// graph's stream and never changes the graph.
//
// The out-neighbours of node v are targets[offsets[v]] up to, not including,
// targets[offsets[v + 1]]. The arrays are checked before anything is uploaded,
// so that no kernel can be led outside the buffers; lists may still be
// unsorted, repeat entries, hold self-loops or one-direction edges.
#pragma once

#include <cstdint>
#include <span>

#include "driver/memory.hpp"
#include "engine/error.hpp"

namespace vorlan::engine {

class GraphStore {
 public:
  static GpuResult<GraphStore> build(std::span<const std::uint32_t> offsets,
                                     std::span<const std::uint32_t> targets,
                                     const driver::SharedStream& stream);

  const driver::DeviceBuffer<std::uint32_t>& offsets() const { return offsets_; }
  const driver::DeviceBuffer<std::uint32_t>& targets() const { return targets_; }
  const driver::DeviceStream& stream() const { return *stream_; }
  const driver::SharedStream& shared_stream() const { return stream_; }
  std::uint32_t num_nodes() const { return num_nodes_; }
  std::uint32_t num_edges() const { return num_edges_; }

 private:
  GraphStore(driver::SharedStream stream, driver::DeviceBuffer<std::uint32_t> targets,
             driver::DeviceBuffer<std::uint32_t> offsets, std::uint32_t num_nodes,
             std::uint32_t num_edges);

  // Declared so that destruction releases offsets, then targets, then the stream.
  driver::SharedStream stream_;
  driver::DeviceBuffer<std::uint32_t> targets_;
  driver::DeviceBuffer<std::uint32_t> offsets_;
  std::uint32_t num_nodes_;
  std::uint32_t num_edges_;
};

// The first reason the arrays would lead a kernel outside the buffers, if any.
GpuResult<> validate_csr(std::span<const std::uint32_t> offsets,
                         std::span<const std::uint32_t> targets);

}  // namespace vorlan::engine
