#include "ptx/launch_runner.hpp"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <format>
#include <numeric>

#include "launch_limits.hpp"
#include "ptx/disassembler.hpp"
#include "ptx/interpreter.hpp"
#include "ptx/kernel_stats.hpp"
#include "ptx/verbose.hpp"

namespace vorlan::emu::ptx {
namespace {

using vorlan::cuda::CUDA_ERROR_LAUNCH_TIMEOUT;
using vorlan::cuda::CUDA_SUCCESS;

// With a seed, a thread runs between 1 and this many instructions before the
// scheduler moves on, so that threads of a block interleave finely.
constexpr std::uint64_t kSeededSlice = 48;
// Without one, slices are long enough to cost nothing, and still end, so
// that a thread spinning on a flag another warp of its block sets lets that
// warp run.
constexpr std::uint64_t kDeterministicSlice = 1u << 20;

Dim3 unflatten(std::uint64_t index, const Dim3& extent) {
  const std::uint64_t plane = std::uint64_t{extent.x} * extent.y;
  return Dim3{static_cast<std::uint32_t>(index % extent.x),
              static_cast<std::uint32_t>((index / extent.x) % extent.y),
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

// Launches and blocks are numbered across the process, so that shadow
// records and visit counts of earlier ones never need clearing.
std::atomic<std::uint32_t> launches{0};
std::atomic<std::uint32_t> blocks{0};

// Per-lane and per-warp visit counts of each pc, kept between launches: an
// entry holds (block number << 32) + visits, so a fresh block's base exceeds
// every older entry. A lane would need 2^32 visits of one pc in one block to
// overflow into the block number.
struct VisitTables {
  std::vector<std::uint64_t> lanes;
  std::vector<std::uint64_t> warps;
};
thread_local VisitTables visit_tables;

std::uint64_t* grown(std::vector<std::uint64_t>& table, std::size_t size) {
  if (table.size() < size) table.resize(size);
  return table.data();
}

}  // namespace

LaunchRunner::LaunchRunner(const LaunchRequest& request, const KernelImage& kernel,
                           GlobalMemory& memory)
    : request_(request),
      kernel_(kernel),
      context_(kernel, memory, request.params),
      rng_(request.schedule_seed),
      seeded_(request.schedule_seed != 0),
      limited_(request.instruction_budget != 0),
      budget_left_(request.instruction_budget),
      threads_per_block_(request.block.x * request.block.y * request.block.z),
      warps_per_block_((threads_per_block_ + kWarpSize - 1) / kWarpSize) {
  shared_bytes_ = kernel.block_shared_bytes(request.dynamic_shared_bytes);
  const std::size_t slots = kernel.initial_slots_.size();
  registers_.resize(slots * threads_per_block_);
  threads_.resize(threads_per_block_);
  const std::size_t code = kernel.code_.size();
  std::uint64_t* const visits = grown(visit_tables.lanes, code * threads_per_block_);
  std::uint64_t* const highs = grown(visit_tables.warps, code * warps_per_block_);
  warp_issued_.resize(warps_per_block_);
  warp_live_.resize(warps_per_block_);
  for (std::uint32_t i = 0; i < threads_per_block_; ++i) {
    threads_[i].index = i;
    threads_[i].regs = registers_.data() + i * slots;
    threads_[i].visits = visits + i * code;
    threads_[i].warp_high = highs + (i / kWarpSize) * code;
    threads_[i].warp_issued = &warp_issued_[i / kWarpSize];
  }
  shared_.resize(std::max<std::uint64_t>(shared_bytes_, 1));
  context_.set_shared(shared_.data(), shared_bytes_);
  if (request.check) {
    shared_shadow_.resize(shared_bytes_);
    context_.enable_checks(++launches, &shared_shadow_);
  }
  warp_order_.resize(warps_per_block_);
  std::iota(warp_order_.begin(), warp_order_.end(), 0u);
  lane_order_.resize(kWarpSize);
  std::iota(lane_order_.begin(), lane_order_.end(), 0u);
}

CUresult LaunchRunner::run() {
  const Dim3& grid = request_.grid;
  const std::uint64_t total = std::uint64_t{grid.x} * grid.y * grid.z;
  const BlockOrder order(total, seeded_ ? &rng_ : nullptr);
  CUresult result = CUDA_SUCCESS;
  for (std::uint64_t i = 0; i < total && result == CUDA_SUCCESS; ++i) {
    const std::uint64_t linear = order.at(i);
    result = run_block(unflatten(linear, grid), linear);
    finish_block();
  }
  record_launch(kernel_.name_, context_.counts(), request_.profile);
  return result;
}

CUresult LaunchRunner::run_block(const Dim3& block_id, std::uint64_t linear) {
  start_block(block_id, linear);
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
    if (*released) shared_shadow_.next_phase();
    progress = progress || *released;
    if (live_ == 0) return CUDA_SUCCESS;
    if (!progress) return report_deadlock();
  }
}

void LaunchRunner::start_block(const Dim3& block_id, std::uint64_t linear) {
  block_id_ = block_id;
  context_.begin_block(static_cast<std::uint32_t>(linear * threads_per_block_),
                       std::uint64_t{++blocks} << 32, warps_per_block_);
  for (std::uint32_t warp = 0; warp < warps_per_block_; ++warp) {
    warp_live_[warp] = static_cast<std::uint32_t>(warp_lanes(warp).size());
  }
  shared_shadow_.begin_block();
  std::ranges::fill(warp_issued_, 0);
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

void LaunchRunner::finish_block() {
  LaunchCounts& counts = context_.counts();
  for (const std::uint64_t issued : warp_issued_) {
    counts.warp_instructions += issued;
    counts.busiest_warp = std::max(counts.busiest_warp, issued);
  }
}

void LaunchRunner::fill_specials(Thread& thread) {
  const Dim3& block = request_.block;
  const Dim3 tid = unflatten(thread.index, block);
  const std::uint32_t lane = thread.index % kWarpSize;
  for (const SpecialSlot& special : kernel_.specials_) {
    std::uint32_t value = 0;
    switch (special.which) {
      case Special::TidX:
        value = tid.x;
        break;
      case Special::TidY:
        value = tid.y;
        break;
      case Special::TidZ:
        value = tid.z;
        break;
      case Special::NtidX:
        value = block.x;
        break;
      case Special::NtidY:
        value = block.y;
        break;
      case Special::NtidZ:
        value = block.z;
        break;
      case Special::CtaidX:
        value = block_id_.x;
        break;
      case Special::CtaidY:
        value = block_id_.y;
        break;
      case Special::CtaidZ:
        value = block_id_.z;
        break;
      case Special::NctaidX:
        value = request_.grid.x;
        break;
      case Special::NctaidY:
        value = request_.grid.y;
        break;
      case Special::NctaidZ:
        value = request_.grid.z;
        break;
      case Special::LaneId:
        value = lane;
        break;
      case Special::WarpId:
        value = thread.index / kWarpSize;
        break;
      case Special::NWarpId:
        value = warps_per_block_;
        break;
      case Special::LanemaskEq:
        value = 1u << lane;
        break;
      case Special::LanemaskLt:
        value = lanemask_below(lane);
        break;
      case Special::LanemaskLe:
        value = lanemask_below(lane) | (1u << lane);
        break;
      case Special::LanemaskGt:
        value = ~(lanemask_below(lane) | (1u << lane));
        break;
      case Special::LanemaskGe:
        value = ~lanemask_below(lane);
        break;
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
    const auto resolved = resolve_warp(kernel_.code_.data(), lanes, request_.check);
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
    if (const CUresult code = run_lane(lanes[lane], round.preempted); code != CUDA_SUCCESS)
      return std::unexpected(code);
    round.ran = true;
  }
  return round;
}

CUresult LaunchRunner::run_lane(Thread& thread, bool& preempted) {
  std::uint64_t quantum = seeded_ ? 1 + rng_.below(kSeededSlice) : kDeterministicSlice;
  if (limited_) quantum = std::min(quantum, budget_left_);
  const std::uint64_t granted = quantum;
  context_.set_thread(thread.index);
  const Stop stop = request_.trace
                        ? run_thread_traced(context_, thread, quantum, request_.block, block_id_)
                        : run_thread(context_, thread, quantum);
  if (limited_) budget_left_ -= granted - quantum;
  context_.counts().thread_instructions += granted - quantum;
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
      if (--warp_live_[thread.index / kWarpSize] == 0) context_.end_warp(thread.index / kWarpSize);
      return CUDA_SUCCESS;
    case Stop::Fault:
      break;
  }
  return report_fault(thread);
}

CUresult LaunchRunner::report_fault(const Thread& thread) {
  const FaultRecord& fault = context_.fault();
  if (fault.hazard) {
    std::string report = hazard_report(fault.what, fault.address, fault.bytes, thread, fault.other,
                                       fault.address - kSharedWindow >= kSharedWindowSize);
    if (verbose()) std::fprintf(stderr, "vorlan emu: %s\n", report.c_str());
    record_check(std::move(report));
    return fault.code;
  }
  if (verbose()) {
    std::fprintf(
        stderr, "vorlan emu: %s %u-byte access at 0x%llx (%s)\n",
        fault.code == vorlan::cuda::CUDA_ERROR_MISALIGNED_ADDRESS ? "misaligned" : "illegal",
        fault.bytes, static_cast<unsigned long long>(fault.address), fault.what);
    describe("faulting instruction", thread);
  }
  return fault.code;
}

CUresult LaunchRunner::report_issue(const LaunchIssue& issue) {
  if (issue.hazard) {
    std::string report =
        hazard_report(issue.reason.c_str(), 0, 0, threads_.at(issue.thread), kNoThread, false);
    if (verbose()) std::fprintf(stderr, "vorlan emu: %s\n", report.c_str());
    record_check(std::move(report));
    return issue.code;
  }
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
  std::fprintf(stderr,
               "vorlan emu:   %s in kernel %s, line %d: %s [block (%u,%u,%u) thread (%u,%u,%u)]\n",
               what, kernel_.name_.c_str(), kernel_.lines_.at(thread.pc),
               disassemble(kernel_, thread.pc).c_str(), block_id_.x, block_id_.y, block_id_.z,
               tid.x, tid.y, tid.z);
}

}  // namespace vorlan::emu::ptx

namespace vorlan::emu::ptx {

// hazard: <what> in kernel K, line L (pc P): <instruction>, <bytes>-byte access
// at <address>, block (..) thread (..)[, conflicting with block (..) thread (..)]
std::string LaunchRunner::hazard_report(const char* what, std::uint64_t address, unsigned bytes,
                                        const Thread& thread, std::uint32_t other,
                                        bool other_in_grid) const {
  const Dim3 tid = unflatten(thread.index, request_.block);
  std::string text =
      std::format("hazard: {} in kernel {}, line {} (pc {}): {}", what, kernel_.name_,
                  kernel_.lines_.at(thread.pc), thread.pc, disassemble(kernel_, thread.pc));
  if (bytes != 0) text += std::format(", {}-byte access at {:#x}", bytes, address);
  text += std::format(", block ({},{},{}) thread ({},{},{})", block_id_.x, block_id_.y, block_id_.z,
                      tid.x, tid.y, tid.z);
  if (other == kNoThread) return text;
  const std::uint32_t index = other % threads_per_block_;
  const Dim3 block =
      other_in_grid ? unflatten(other / threads_per_block_, request_.grid) : block_id_;
  const Dim3 other_tid = unflatten(index, request_.block);
  return text + std::format(", conflicting with block ({},{},{}) thread ({},{},{})", block.x,
                            block.y, block.z, other_tid.x, other_tid.y, other_tid.z);
}

}  // namespace vorlan::emu::ptx
