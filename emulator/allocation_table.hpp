// Device memory of one primary context: the live allocations, each backed by
// host memory, and the view of them that the PTX engine reads and writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <map>
#include <memory>
#include <span>

#include "host_pages.hpp"
#include "ptx/kernel_runner.hpp"
#include "ptx/memory_shadow.hpp"

namespace vorlan::emu {

// Hands out device addresses for one device. Addresses only ever grow and a
// guard gap separates neighbours, so a stale pointer or an access just past
// the end of a buffer lands outside every allocation instead of in another
// one, where a GPU would silently let it through.
class AddressSpace {
 public:
  explicit AddressSpace(int device);
  // The base of `bytes` fresh bytes, or 0 when the range is exhausted.
  std::uint64_t reserve(std::uint64_t bytes);

 private:
  std::uint64_t next_;
  std::uint64_t end_;
};

inline constexpr std::uint64_t kAllocationAlignment = 256;

class AllocationTable final : public GlobalMemory {
 public:
  AllocationTable(AddressSpace& addresses, std::uint64_t capacity);

  // A new allocation of `bytes` (> 0), or CUDA_ERROR_OUT_OF_MEMORY.
  std::expected<std::uint64_t, CUresult> allocate(std::uint64_t bytes);
  // false when `base` is not the start of a live allocation.
  bool release(std::uint64_t base);
  bool owns(std::uint64_t base) const { return blocks_.contains(base); }

  // The host bytes behind [address, address + bytes), when that range lies
  // inside one live allocation; empty otherwise (so bytes must be > 0).
  std::span<std::byte> host_range(std::uint64_t address, std::uint64_t bytes);
  // Records that the host wrote [address, address + bytes), a range host_range accepted.
  void mark_written(std::uint64_t address, std::uint64_t bytes);

  const MemorySpan* find(std::uint64_t address) const override;

  std::uint64_t live_count() const { return blocks_.size(); }
  std::uint64_t used_bytes() const { return used_; }
  std::uint64_t capacity() const { return capacity_; }

 private:
  struct Block {
    MemorySpan span;
    HostPages storage;
    std::unique_ptr<MemoryShadow> shadow;
  };

  AddressSpace& addresses_;
  std::uint64_t capacity_;
  std::uint64_t used_ = 0;  // sizes rounded up to the allocation granularity
  std::map<std::uint64_t, Block> blocks_;
};

}  // namespace vorlan::emu
