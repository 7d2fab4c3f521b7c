// Completion of the instructions that make threads wait for each other.
// Threads run one at a time; a thread that reaches a collective stops there
// (Thread::Status::Waiting, pc on the collective) and these functions finish
// the instruction for every participant once all of them have arrived.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>

#include "ptx/exec_context.hpp"

namespace vorlan::emu::ptx {

// The launch cannot go on (a deadlock, a lane that is not in its own membermask).
inline constexpr CUresult kLaunchFailed = vorlan::cuda::CUDA_ERROR_LAUNCH_FAILED;

struct LaunchIssue {
  CUresult code;
  std::string reason;
  std::uint32_t thread;  // linear index of the thread concerned, within its block
  bool hazard = false;   // found by a hazard check, not refused by every run
};

// shfl.sync, vote.sync and bar.warp.sync complete when every non-exited lane
// of the membermask waits at one with the same qualifiers and mask; with
// `strict` (the hazard checks), at the same instruction, and a mask that
// names an exited lane, or lanes stuck at another instruction, fails;
// activemask completes once no lane of the warp can run, and reports the
// lanes waiting at the same activemask. Returns whether anything completed.
std::expected<bool, LaunchIssue> resolve_warp(const Instr* code, std::span<Thread> lanes,
                                              bool strict);

// bar.sync/barrier.sync complete when every non-exited thread of the block
// waits at the same barrier, or the number of threads the instruction names.
std::expected<bool, LaunchIssue> resolve_barriers(const Instr* code, std::span<Thread> threads,
                                                  std::uint32_t live_threads);

}  // namespace vorlan::emu::ptx
