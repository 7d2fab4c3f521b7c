#include "ptx/launch_runner.hpp"

#include <algorithm>
#include <cstdio>
#include <numeric>

#include "ptx/disassembler.hpp"
#include "ptx/interpreter.hpp"
#include "ptx/verbose.hpp"

namespace vorlan::emu::ptx {
namespace {

using vorlan::cuda::CUDA_ERROR_LAUNCH_TIMEOUT;
using vorlan::cuda::CUDA_SUCCESS;

constexpr std::uint32_t kWarpSize = 32;
// With a seed, a thread runs between 1 and this many instructions before the
// scheduler moves on, so that threads of a block interleave finely.
constexpr std::uint64_t kSeededSlice = 48;
// Without one, slices are long enough to cost nothing, and still end, so
// that a thread spinning on a flag another warp of its block sets lets that
// warp run.
constexpr std::uint64_t kDeterministicSlice = 1u << 20;

Dim3 unflatten(std::uint64_t index, const Dim3& extent) {
  const std::uint64_t plane = std::uint64_t{extent.x} * extent.y;
  return Dim3{static_cast<std::uint32_t>(index % extent.x), static_cast<std::uint32_t>((index / extent.x) % extent.y),
              static_cast<std::uint32_t>(index / plane)};
}

// Visits 0 .. total-1 once each: in order without a seed, otherwise as
// i -> (a * i + c) mod total with `a` coprime to total, which needs no table
// however large the grid.
class BlockOrder {
 public:
  BlockOrder(std::uint64_t total, Rng* rng) : total_(total) {
    if (rng == nullptr || total < 2) return;
    multiplier_ = 1 + rng->below(total - 1);
    while (std::gcd(multiplier_, total) != 1) multiplier_ = multiplier_ % (total - 1) + 1;
    offset_ = rng->below(total);
  }
  std::uint64_t at(std::uint64_t i) const {
    return static_cast<std::uint64_t>((UInt128{multiplier_} * i + offset_) % total_);
  }

 private:
  std::uint64_t total_;
  std::uint64_t multiplier_ = 1;
  std::uint64_t offset_ = 0;
};

std::uint32_t lanemask_below(std::uint32_t lane) { return (1u << lane) - 1; }

}  // namespace

LaunchRunner::LaunchRunner(const LaunchRequest& request, const KernelImage& kernel, GlobalMemory& memory)
    : request_(request),
      kernel_(kernel),
      context_(kernel, memory, request.params),
      rng_(request.schedule_seed),
      seeded_(request.schedule_seed != 0),
      limited_(request.instruction_budget != 0),
      budget_left_(request.instruction_budget),
      threads_per_block_(request.block.x * request.block.y * request.block.z),
      warps_per_block_((threads_per_block_ + kWarpSize - 1) / kWarpSize) {
  shared_bytes_ = kernel.static_shared_;
  if (request.dynamic_shared_bytes != 0) {
    shared_bytes_ = std::max<std::uint64_t>(shared_bytes_, std::uint64_t{kernel.dynamic_shared_offset_} + request.dynamic_shared_bytes);
  }
  const std::size_t slots = kernel.initial_slots_.size();
  registers_.resize(slots * threads_per_block_);
  threads_.resize(threads_per_block_);
  for (std::uint32_t i = 0; i < threads_per_block_; ++i) {
    threads_[i].index = i;
    threads_[i].regs = registers_.data() + i * slots;
  }
  shared_.resize(std::max<std::uint64_t>(shared_bytes_, 1));
  context_.set_shared(shared_.data(), shared_bytes_);
  warp_order_.resize(warps_per_block_);
  std::iota(warp_order_.begin(), warp_order_.end(), 0u);
  lane_order_.resize(kWarpSize);
  std::iota(lane_order_.begin(), lane_order_.end(), 0u);
}

CUresult LaunchRunner::run() {
  const Dim3& grid = request_.grid;
  const std::uint64_t total = std::uint64_t{grid.x} * grid.y * grid.z;
  const BlockOrder order(total, seeded_ ? &rng_ : nullptr);
  for (std::uint64_t i = 0; i < total; ++i) {
    if (const CUresult code = run_block(unflatten(order.at(i), grid)); code != CUDA_SUCCESS) return code;
  }
  return CUDA_SUCCESS;
}

CUresult LaunchRunner::run_block(const Dim3& block_id) {
  start_block(block_id);
  for (;;) {
    bool progress = false;
    if (seeded_) rng_.shuffle(std::span(warp_order_));
    for (const std::uint32_t warp : warp_order_) {
      const auto moved = advance_warp(warp);
      if (!moved) return moved.error();
      progress = progress || *moved;
    }
    const auto released = resolve_barriers(kernel_.code_.data(), threads_, live_);
    if (!released) return report_issue(released.error());
    progress = progress || *released;
    if (live_ == 0) return CUDA_SUCCESS;
    if (!progress) return report_deadlock();
  }
}

void LaunchRunner::start_block(const Dim3& block_id) {
  block_id_ = block_id;
  for (Thread& thread : threads_) {
    std::ranges::copy(kernel_.initial_slots_, thread.regs);
    fill_specials(thread);
    thread.pc = 0;
    thread.status = Thread::Status::Ready;
  }
  live_ = threads_per_block_;
  // Shared memory starts out undefined on a GPU; with a seed it holds noise,
  // so that a kernel reading it before writing shows different results.
  if (seeded_) {
    for (std::byte& b : shared_) b = static_cast<std::byte>(rng_.next());
  } else {
    std::ranges::fill(shared_, std::byte{0});
  }
}

void LaunchRunner::fill_specials(Thread& thread) {
  const Dim3& block = request_.block;
  const Dim3 tid = unflatten(thread.index, block);
  const std::uint32_t lane = thread.index % kWarpSize;
  for (const SpecialSlot& special : kernel_.specials_) {
    std::uint32_t value = 0;
    switch (special.which) {
      case Special::TidX: value = tid.x; break;
      case Special::TidY: value = tid.y; break;
      case Special::TidZ: value = tid.z; break;
      case Special::NtidX: value = block.x; break;
      case Special::NtidY: value = block.y; break;
      case Special::NtidZ: value = block.z; break;
      case Special::CtaidX: value = block_id_.x; break;
      case Special::CtaidY: value = block_id_.y; break;
      case Special::CtaidZ: value = block_id_.z; break;
      case Special::NctaidX: value = request_.grid.x; break;
      case Special::NctaidY: value = request_.grid.y; break;
      case Special::NctaidZ: value = request_.grid.z; break;
      case Special::LaneId: value = lane; break;
      case Special::WarpId: value = thread.index / kWarpSize; break;
      case Special::NWarpId: value = warps_per_block_; break;
      case Special::LanemaskEq: value = 1u << lane; break;
      case Special::LanemaskLt: value = lanemask_below(lane); break;
      case Special::LanemaskLe: value = lanemask_below(lane) | (1u << lane); break;
      case Special::LanemaskGt: value = ~(lanemask_below(lane) | (1u << lane)); break;
      case Special::LanemaskGe: value = ~lanemask_below(lane); break;
    }
    thread.regs[special.slot] = value;
  }
}

std::span<Thread> LaunchRunner::warp_lanes(std::uint32_t warp) {
  const std::uint32_t first = warp * kWarpSize;
  return std::span(threads_).subspan(first, std::min(kWarpSize, threads_per_block_ - first));
}

// Without a seed a warp runs until none of its lanes can move or one was
// preempted; with one it gets a single round, so that warps interleave.
std::expected<bool, CUresult> LaunchRunner::advance_warp(std::uint32_t warp) {
  const std::span<Thread> lanes = warp_lanes(warp);
  bool any = false;
  for (;;) {
    const auto round = run_lanes(lanes);
    if (!round) return std::unexpected(round.error());
    const auto resolved = resolve_warp(kernel_.code_.data(), lanes);
    if (!resolved) return std::unexpected(report_issue(resolved.error()));
    const bool moved = round->ran || *resolved;
    any = any || moved;
    if (!moved || seeded_ || round->preempted) return any;
  }
}

std::expected<LaunchRunner::Round, CUresult> LaunchRunner::run_lanes(std::span<Thread> lanes) {
  if (seeded_) rng_.shuffle(std::span(lane_order_));
  Round round;
  for (const std::uint32_t lane : lane_order_) {
    if (lane >= lanes.size() || lanes[lane].status != Thread::Status::Ready) continue;
    if (const CUresult code = run_lane(lanes[lane], round.preempted); code != CUDA_SUCCESS) return std::unexpected(code);
    round.ran = true;
  }
  return round;
}

CUresult LaunchRunner::run_lane(Thread& thread, bool& preempted) {
  std::uint64_t quantum = seeded_ ? 1 + rng_.below(kSeededSlice) : kDeterministicSlice;
  if (limited_) quantum = std::min(quantum, budget_left_);
  const std::uint64_t granted = quantum;
  const Stop stop = request_.trace ? run_thread_traced(context_, thread, quantum, request_.block, block_id_)
                                   : run_thread(context_, thread, quantum);
  if (limited_) budget_left_ -= granted - quantum;
  switch (stop) {
    case Stop::Quantum:
      if (limited_ && budget_left_ == 0) {
        if (verbose()) describe("instruction budget spent", thread);
        return CUDA_ERROR_LAUNCH_TIMEOUT;
      }
      preempted = true;
      return CUDA_SUCCESS;
    case Stop::Collective:
      thread.status = Thread::Status::Waiting;
      return CUDA_SUCCESS;
    case Stop::Exit:
      thread.status = Thread::Status::Exited;
      --live_;
      return CUDA_SUCCESS;
    case Stop::Fault:
      break;
  }
  return report_fault(thread);
}

CUresult LaunchRunner::report_fault(const Thread& thread) {
  const FaultRecord& fault = context_.fault();
  if (verbose()) {
    std::fprintf(stderr, "vorlan emu: %s %u-byte access at 0x%llx (%s)\n",
                 fault.code == vorlan::cuda::CUDA_ERROR_MISALIGNED_ADDRESS ? "misaligned" : "illegal", fault.bytes,
                 static_cast<unsigned long long>(fault.address), fault.what);
    describe("faulting instruction", thread);
  }
  return fault.code;
}

CUresult LaunchRunner::report_issue(const LaunchIssue& issue) {
  if (verbose()) {
    std::fprintf(stderr, "vorlan emu: launch failed: %s\n", issue.reason.c_str());
    describe("at", threads_.at(issue.thread));
  }
  return issue.code;
}

CUresult LaunchRunner::report_deadlock() {
  if (verbose()) {
    std::fprintf(stderr, "vorlan emu: deadlock: no thread of the block can go on\n");
    int shown = 0;
    for (const Thread& thread : threads_) {
      if (thread.status == Thread::Status::Exited || shown++ == 8) continue;
      describe("waiting", thread);
    }
  }
  return kLaunchFailed;
}

void LaunchRunner::describe(const char* what, const Thread& thread) const {
  const Dim3 tid = unflatten(thread.index, request_.block);
  std::fprintf(stderr, "vorlan emu:   %s in kernel %s, line %d: %s [block (%u,%u,%u) thread (%u,%u,%u)]\n", what,
               kernel_.name_.c_str(), kernel_.lines_.at(thread.pc), disassemble(kernel_, thread.pc).c_str(),
               block_id_.x, block_id_.y, block_id_.z, tid.x, tid.y, tid.z);
}

}  // namespace vorlan::emu::ptx
