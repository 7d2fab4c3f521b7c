// What a running thread can reach: the launch's global memory, its block's
// shared memory and the parameter image, each access checked for bounds and
// alignment and, with the hazard checks on, against the memory shadows. The
// first failed check is recorded and stops the launch. Every access that
// goes through is also counted for the launch's cost figures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "launch_limits.hpp"
#include "ptx/hazard_checks.hpp"
#include "ptx/kernel_image.hpp"
#include "ptx/launch_counts.hpp"
#include "ptx/memory_shadow.hpp"
#include "ptx/numeric.hpp"

namespace vorlan::emu::ptx {

struct FaultRecord {
  CUresult code = vorlan::cuda::CUDA_SUCCESS;
  std::uint64_t address = 0;
  unsigned bytes = 0;
  const char* what = "";
  bool hazard = false;              // a hazard check failed rather than an access
  std::uint32_t other = kNoThread;  // the thread a hazard conflicts with
};

// One thread of the running block.
struct Thread {
  enum class Status : std::uint8_t { Ready, Waiting, Exited };
  std::uint32_t pc = 0;
  Status status = Status::Ready;
  std::uint32_t index = 0;  // linear index within the block
  Reg* regs = nullptr;
  // Cost counting: this lane's visits of each pc, its warp's highest visit of
  // each pc, and its warp's issued instructions.
  std::uint64_t* visits = nullptr;
  std::uint64_t* warp_high = nullptr;
  std::uint64_t* warp_issued = nullptr;
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

  // Hazard checks for launch number `launch`; `shared` tracks the block's shared memory.
  void enable_checks(std::uint32_t launch, SharedShadow* shared) {
    launch_ = launch;
    shared_shadow_ = shared;
  }
  bool checking() const { return shared_shadow_ != nullptr; }
  // Threads of the block are numbered from `first_thread` across the grid;
  // per-lane visit counts below `visit_base` belong to earlier blocks.
  void begin_block(std::uint32_t first_thread, std::uint64_t visit_base, std::uint32_t warps) {
    first_thread_ = first_thread;
    visit_base_ = visit_base;
    accesses_.resize(warps);
    for (AccessSet& set : accesses_) set.clear();
  }
  // A warp whose lanes have all exited makes no more accesses to tell apart.
  void end_warp(std::uint32_t warp) { accesses_[warp].clear(); }
  void set_thread(std::uint32_t index) { thread_ = index; }
  std::uint32_t grid_thread() const { return first_thread_ + thread_; }
  std::uint64_t visit_base() const { return visit_base_; }
  LaunchCounts& counts() { return counts_; }

  // A checked and counted access by the running thread; `issue` names the
  // warp-level instruction it belongs to (pc and visit), `value` the bytes a
  // store writes.
  template <Space S>
  std::byte* at(std::uint64_t address, unsigned bytes, Access access, std::uint64_t issue,
                const std::byte* value = nullptr) {
    if constexpr (S == Space::Param) {
      return param(address, bytes);
    } else if constexpr (S == Space::Shared) {
      std::byte* where = shared(address, bytes);
      if (where == nullptr) return nullptr;
      if (accesses_[thread_ / kWarpSize].insert(issue, kSharedAccess)) ++counts_.shared_accesses;
      return checking() ? shared_checked(where, address, bytes, access) : where;
    } else if constexpr (S == Space::Global) {
      std::byte* where = global(address, bytes);
      if (where == nullptr) return nullptr;
      if (accesses_[thread_ / kWarpSize].insert(issue, address >> 5)) count_sector(address >> 5);
      if (!checking() || recent_.shadow == nullptr) return where;
      return global_checked(where, address - recent_.base, address, bytes, access, value);
    } else {
      if (address - kSharedWindow < kSharedWindowSize) {
        return at<Space::Shared>(address - kSharedWindow, bytes, access, issue, value);
      }
      return at<Space::Global>(address, bytes, access, issue, value);
    }
  }

  std::byte* global(std::uint64_t address, unsigned bytes) {
    if (address & (bytes - 1)) return misaligned(address, bytes);
    const std::uint64_t offset = address - recent_.base;
    if (offset < recent_.size && recent_.size - offset >= bytes) return recent_.host + offset;
    return global_slow(address, bytes);
  }

  std::byte* shared(std::uint64_t offset, unsigned bytes) {
    if (offset & (bytes - 1)) return misaligned(offset, bytes);
    if (offset >= shared_bytes_ || shared_bytes_ - offset < bytes)
      return illegal(offset, bytes, "outside shared memory");
    return shared_ + offset;
  }

  // The parameter space is read-only; callers only ever read through this.
  std::byte* param(std::uint64_t offset, unsigned bytes) {
    if (offset & (bytes - 1)) return misaligned(offset, bytes);
    if (offset >= params_.size() || params_.size() - offset < bytes)
      return illegal(offset, bytes, "outside the parameters");
    return const_cast<std::byte*>(params_.data() + offset);
  }

 private:
  std::byte* global_slow(std::uint64_t address, unsigned bytes) {
    const MemorySpan* span = memory_.find(address);
    if (span == nullptr) return illegal(address, bytes, "outside every allocation");
    const std::uint64_t offset = address - span->base;
    if (offset >= span->size || span->size - offset < bytes)
      return illegal(address, bytes, "across the end of an allocation");
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
  std::byte* hazard(std::byte* where, std::uint64_t address, unsigned bytes, const Hazard& found) {
    if (found.what == nullptr) return where;
    fault_ = FaultRecord{
        vorlan::cuda::CUDA_ERROR_LAUNCH_FAILED, address, bytes, found.what, true, found.other};
    return nullptr;
  }
  std::byte* global_checked(std::byte* where, std::uint64_t offset, std::uint64_t address,
                            unsigned bytes, Access access, const std::byte* value) {
    return hazard(
        where, address, bytes,
        check_global(*recent_.shadow, access, offset, bytes, where, value, launch_, grid_thread()));
  }
  std::byte* shared_checked(std::byte* where, std::uint64_t offset, unsigned bytes, Access access) {
    return hazard(where, kSharedWindow + offset, bytes,
                  shared_shadow_->check(access, offset, bytes, thread_));
  }
  // A warp-level access reached a sector it had not reached at this issue.
  void count_sector(std::uint64_t sector) {
    ++counts_.global_sectors;
    if (sectors_.insert(sector)) ++counts_.distinct_global_sectors;
  }
  // Stands for the sector of a shared access: warp-level shared accesses are counted, not their
  // sectors.
  static constexpr std::uint64_t kSharedAccess = std::uint64_t{1} << 63;

  const KernelImage& kernel_;
  GlobalMemory& memory_;
  std::span<const std::byte> params_;
  MemorySpan recent_{0, 0, nullptr};  // the allocation of the last global access, tried first
  std::byte* shared_ = nullptr;
  std::uint64_t shared_bytes_ = 0;
  FaultRecord fault_;
  std::uint32_t launch_ = 0;
  SharedShadow* shared_shadow_ = nullptr;  // null: the hazard checks are off
  std::uint32_t first_thread_ = 0;
  std::uint32_t thread_ = 0;  // the running thread's index in its block
  std::uint64_t visit_base_ = 0;
  LaunchCounts counts_;
  std::vector<AccessSet> accesses_;  // per warp of the block
  SectorSet sectors_;                // of the whole launch
};

}  // namespace vorlan::emu::ptx
