// One directed graph in CSR form, resident in one GPU's memory. Built once from
// two host arrays, then only read: every algorithm launches its kernels on the
// graph's stream and never changes the graph.
//
// The out-neighbours of node v are targets[offsets[v]] up to, not including,
// targets[offsets[v + 1]]. The arrays are checked before anything is uploaded,
// so that no kernel can be led outside the buffers; lists may still be
// unsorted, repeat entries, hold self-loops or one-direction edges.
//
// The store also knows the graph's shape, which decides the kernels an
// algorithm may use: whether every list is strictly ascending (found on the
// host while the arrays are checked) and whether the graph is symmetric
// without self-loops (found on the device by the first algorithm that needs
// it, and kept). Neither changes what the graph is to its callers. Nor does
// the transposed CSR, built by the first algorithm that pulls along in-lists
// and kept as well.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>

#include "driver/memory.hpp"
#include "engine/error.hpp"
#include "engine/transpose.hpp"

namespace vorlan::engine {

struct ReverseIndex;  // engine/graph_shape.hpp

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

  // Every list sorted with no repeated entry, and every position inside a
  // list (offsets start at 0 and end at num_edges), on a graph with edges.
  bool strictly_ascending() const { return strictly_ascending_; }
  // Symmetric with no self-loops, once some algorithm has found out.
  std::optional<bool> known_symmetric() const;
  // Strictly ascending and not yet found asymmetric: canonical or unknown.
  bool may_be_canonical() const { return strictly_ascending_ && known_symmetric() != false; }
  void remember_symmetric(bool symmetric) const;
  // The in-lists, built on the first call; later calls, from any thread, get
  // the same ones. A failed build is returned and tried again next time.
  GpuResult<const TransposedCsr*> transposed() const;
  // Where each edge's reverse lies, kept with the graph once a canonical
  // graph has had it searched (graph_shape.hpp fills and reads it).
  ReverseIndex& reverse_index() const { return *reverse_index_; }

 private:
  GraphStore(driver::SharedStream stream, driver::DeviceBuffer<std::uint32_t> targets,
             driver::DeviceBuffer<std::uint32_t> offsets, std::uint32_t num_nodes,
             std::uint32_t num_edges, bool strictly_ascending);

  // Declared so that destruction releases offsets, then targets, then the stream.
  driver::SharedStream stream_;
  driver::DeviceBuffer<std::uint32_t> targets_;
  driver::DeviceBuffer<std::uint32_t> offsets_;
  std::uint32_t num_nodes_;
  std::uint32_t num_edges_;
  bool strictly_ascending_;
  // Unknown, then yes or no; two algorithms finding out at once agree.
  enum Symmetry : std::uint8_t { kUnknown, kSymmetric, kAsymmetric };
  std::unique_ptr<std::atomic<std::uint8_t>> symmetry_;
  struct TransposeSlot {
    std::mutex mutex;
    std::optional<TransposedCsr> csr;
  };
  std::unique_ptr<TransposeSlot> transpose_;
  std::shared_ptr<ReverseIndex> reverse_index_;
};

// What validating CSR arrays finds out on the way, in the same pass.
struct CsrFacts {
  // Every list strictly ascending, offsets starting at 0 and ending at
  // targets.size(), and at least one edge.
  bool strictly_ascending = false;
};

// The first reason the arrays would lead a kernel outside the buffers, or
// what the one pass over them found.
GpuResult<CsrFacts> check_csr(std::span<const std::uint32_t> offsets,
                              std::span<const std::uint32_t> targets);

// check_csr, for callers that need only the verdict.
GpuResult<> validate_csr(std::span<const std::uint32_t> offsets,
                         std::span<const std::uint32_t> targets);

// Whether the arrays pass check_csr with every list strictly ascending.
bool lists_strictly_ascending(std::span<const std::uint32_t> offsets,
                              std::span<const std::uint32_t> targets);

}  // namespace vorlan::engine
