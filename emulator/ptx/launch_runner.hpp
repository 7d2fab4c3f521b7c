// Runs a whole grid: one block at a time, each block's threads in warps of
// 32 lanes. A thread runs until it blocks at a collective, exits or uses up
// its slice of instructions (long without a seed, short and random with
// one), then the next one;
// collectives complete once their participants have all arrived. Block,
// warp and lane order are fixed without a seed and shuffled with one.
// Hazard checks and cost counts ride along on every access (see
// hazard_checks.hpp and launch_counts.hpp).
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "ptx/collectives.hpp"
#include "ptx/exec_context.hpp"
#include "ptx/hazard_checks.hpp"
#include "ptx/rng.hpp"

namespace vorlan::emu::ptx {

class LaunchRunner {
 public:
  LaunchRunner(const LaunchRequest& request, const KernelImage& kernel, GlobalMemory& memory);
  CUresult run();

 private:
  CUresult run_block(const Dim3& block_id, std::uint64_t linear);
  void start_block(const Dim3& block_id, std::uint64_t linear);
  void finish_block();
  void fill_specials(Thread& thread);
  std::expected<bool, CUresult> advance_warp(std::uint32_t warp);
  struct Round {
    bool ran = false;        // some lane executed instructions
    bool preempted = false;  // some lane used up its slice and can go on
  };
  std::expected<Round, CUresult> run_lanes(std::span<Thread> lanes);
  CUresult run_lane(Thread& thread, bool& preempted);
  std::span<Thread> warp_lanes(std::uint32_t warp);
  CUresult report_fault(const Thread& thread);
  CUresult report_issue(const LaunchIssue& issue);
  CUresult report_deadlock();
  void describe(const char* what, const Thread& thread) const;
  std::string hazard_report(const char* what, std::uint64_t address, unsigned bytes,
                            const Thread& thread, std::uint32_t other, bool other_in_grid) const;

  const LaunchRequest& request_;
  const KernelImage& kernel_;
  ExecContext context_;
  Rng rng_;
  bool seeded_;
  bool limited_;
  std::uint64_t budget_left_;
  std::uint32_t threads_per_block_;
  std::uint32_t warps_per_block_;
  std::uint64_t shared_bytes_;
  std::vector<Reg> registers_;
  std::vector<Thread> threads_;
  std::vector<std::byte> shared_;
  std::vector<std::uint32_t> warp_order_;
  std::vector<std::uint32_t> lane_order_;
  SharedShadow shared_shadow_;
  std::vector<std::uint64_t> warp_issued_;
  std::vector<std::uint32_t> warp_live_;  // lanes of each warp not yet exited
  std::uint32_t live_ = 0;
  Dim3 block_id_;
};

}  // namespace vorlan::emu::ptx
