// What a running thread can reach: the launch's global memory, its block's
// shared memory and the parameter image, each access checked for bounds and
// alignment. The first failed check is recorded and stops the launch.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ptx/kernel_image.hpp"
#include "ptx/numeric.hpp"

namespace vorlan::emu::ptx {

struct FaultRecord {
  CUresult code = vorlan::cuda::CUDA_SUCCESS;
  std::uint64_t address = 0;
  unsigned bytes = 0;
  const char* what = "";
};

// One thread of the running block.
struct Thread {
  enum class Status : std::uint8_t { Ready, Waiting, Exited };
  std::uint32_t pc = 0;
  Status status = Status::Ready;
  std::uint32_t index = 0;  // linear index within the block
  Reg* regs = nullptr;
};

class ExecContext {
 public:
  ExecContext(const KernelImage& kernel, GlobalMemory& memory, std::span<const std::byte> params)
      : kernel_(kernel), memory_(memory), params_(params) {}

  const KernelImage& kernel() const { return kernel_; }
  void set_shared(std::byte* base, std::uint64_t bytes) {
    shared_ = base;
    shared_bytes_ = bytes;
  }
  const FaultRecord& fault() const { return fault_; }

  std::byte* global(std::uint64_t address, unsigned bytes) {
    if (address & (bytes - 1)) return misaligned(address, bytes);
    const std::uint64_t offset = address - recent_.base;
    if (offset < recent_.size && recent_.size - offset >= bytes) return recent_.host + offset;
    return global_slow(address, bytes);
  }

  std::byte* shared(std::uint64_t offset, unsigned bytes) {
    if (offset & (bytes - 1)) return misaligned(offset, bytes);
    if (offset >= shared_bytes_ || shared_bytes_ - offset < bytes) return illegal(offset, bytes, "outside shared memory");
    return shared_ + offset;
  }

  std::byte* generic(std::uint64_t address, unsigned bytes) {
    if (address - kSharedWindow < kSharedWindowSize) return shared(address - kSharedWindow, bytes);
    return global(address, bytes);
  }

  // The parameter space is read-only; callers only ever read through this.
  std::byte* param(std::uint64_t offset, unsigned bytes) {
    if (offset & (bytes - 1)) return misaligned(offset, bytes);
    if (offset >= params_.size() || params_.size() - offset < bytes) return illegal(offset, bytes, "outside the parameters");
    return const_cast<std::byte*>(params_.data() + offset);
  }

  std::byte* resolve(Space space, std::uint64_t address, unsigned bytes) {
    switch (space) {
      case Space::Global: return global(address, bytes);
      case Space::Shared: return shared(address, bytes);
      case Space::Param: return param(address, bytes);
      default: return generic(address, bytes);
    }
  }

 private:
  std::byte* global_slow(std::uint64_t address, unsigned bytes) {
    const MemorySpan* span = memory_.find(address);
    if (span == nullptr) return illegal(address, bytes, "outside every allocation");
    const std::uint64_t offset = address - span->base;
    if (offset >= span->size || span->size - offset < bytes) return illegal(address, bytes, "across the end of an allocation");
    recent_ = *span;
    return span->host + offset;
  }
  std::nullptr_t misaligned(std::uint64_t address, unsigned bytes) {
    fault_ = FaultRecord{vorlan::cuda::CUDA_ERROR_MISALIGNED_ADDRESS, address, bytes, "misaligned"};
    return nullptr;
  }
  std::nullptr_t illegal(std::uint64_t address, unsigned bytes, const char* what) {
    fault_ = FaultRecord{vorlan::cuda::CUDA_ERROR_ILLEGAL_ADDRESS, address, bytes, what};
    return nullptr;
  }

  const KernelImage& kernel_;
  GlobalMemory& memory_;
  std::span<const std::byte> params_;
  MemorySpan recent_{0, 0, nullptr};  // the allocation of the last global access, tried first
  std::byte* shared_ = nullptr;
  std::uint64_t shared_bytes_ = 0;
  FaultRecord fault_;
};

}  // namespace vorlan::emu::ptx
