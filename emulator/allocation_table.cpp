#include "allocation_table.hpp"

#include <cstring>

#include "result_codes.hpp"

namespace vorlan::emu {
namespace {

// Each device owns a 2^48-byte window; device 0 starts at 2^48, so no valid
// device address is small enough to be mistaken for an offset or an index.
constexpr unsigned kWindowShift = 48;
constexpr std::uint64_t kGuardGap = std::uint64_t{64} << 10;
// Fresh allocations are filled with this byte: code that reads memory it never
// wrote sees NaNs and all-ones integers rather than the zeros a GPU often
// happens to hand out.
constexpr unsigned char kPoison = 0xFF;

constexpr std::uint64_t round_up(std::uint64_t value, std::uint64_t step) {
  return (value + step - 1) / step * step;
}

}  // namespace

AddressSpace::AddressSpace(int device)
    : next_(static_cast<std::uint64_t>(device + 1) << kWindowShift),
      end_(static_cast<std::uint64_t>(device + 2) << kWindowShift) {}

std::uint64_t AddressSpace::reserve(std::uint64_t bytes) {
  if (bytes > end_ - next_ || end_ - next_ - bytes < kGuardGap) return 0;
  std::uint64_t base = next_;
  next_ = round_up(base + bytes + kGuardGap, kAllocationAlignment);
  return base;
}

AllocationTable::AllocationTable(AddressSpace& addresses, std::uint64_t capacity)
    : addresses_(addresses), capacity_(capacity) {}

std::expected<std::uint64_t, CUresult> AllocationTable::allocate(std::uint64_t bytes) {
  std::uint64_t charged = round_up(bytes, kAllocationAlignment);
  if (charged < bytes || charged > capacity_ - used_)
    return std::unexpected(CUDA_ERROR_OUT_OF_MEMORY);
  HostPages storage(bytes);
  auto shadow = std::make_unique<MemoryShadow>(bytes);
  if (!storage.valid() || !shadow->valid()) return std::unexpected(CUDA_ERROR_OUT_OF_MEMORY);
  std::uint64_t base = addresses_.reserve(bytes);
  if (base == 0) return std::unexpected(CUDA_ERROR_OUT_OF_MEMORY);
  std::memset(storage.data(), kPoison, bytes);
  MemorySpan span{base, bytes, storage.data(), shadow.get()};
  blocks_.emplace(base, Block{span, std::move(storage), std::move(shadow)});
  used_ += charged;
  return base;
}

bool AllocationTable::release(std::uint64_t base) {
  auto found = blocks_.find(base);
  if (found == blocks_.end()) return false;
  used_ -= round_up(found->second.span.size, kAllocationAlignment);
  blocks_.erase(found);
  return true;
}

const MemorySpan* AllocationTable::find(std::uint64_t address) const {
  auto after = blocks_.upper_bound(address);
  if (after == blocks_.begin()) return nullptr;
  const MemorySpan& span = std::prev(after)->second.span;
  return address - span.base < span.size ? &span : nullptr;
}

void AllocationTable::mark_written(std::uint64_t address, std::uint64_t bytes) {
  const MemorySpan* span = find(address);
  if (span != nullptr) span->shadow->mark_defined(address - span->base, bytes);
}

std::span<std::byte> AllocationTable::host_range(std::uint64_t address, std::uint64_t bytes) {
  const MemorySpan* span = find(address);
  if (span == nullptr || bytes > span->size - (address - span->base)) return {};
  return {span->host + (address - span->base), static_cast<std::size_t>(bytes)};
}

}  // namespace vorlan::emu
