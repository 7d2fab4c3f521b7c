// The process-wide record of what launches cost and of the last hazard a
// check found. Launches add to it under a lock once they end; with
// VORLAN_EMU_PROFILE set the table is printed when the library goes away.
#include "ptx/kernel_stats.hpp"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>

#include "launch_limits.hpp"

namespace vorlan::emu {
namespace {

class StatsRegistry {
 public:
  ~StatsRegistry() {
    if (print_at_exit_) print();
  }
  void add(std::string_view kernel, const ptx::LaunchCounts& counts, bool profile) {
    const std::scoped_lock lock(mutex_);
    print_at_exit_ = print_at_exit_ || profile;
    KernelStats& stats = kernels_[std::string(kernel)];
    ++stats.launches;
    stats.warp_instructions += counts.warp_instructions;
    stats.thread_instructions += counts.thread_instructions - counts.guarded_off;
    stats.global_sectors += counts.global_sectors;
    stats.shared_accesses += counts.shared_accesses;
    stats.atomics += counts.atomics;
    // Launches of one stream run one after another: the busiest warps add up
    // along the stream, while the busiest of them is one warp's figure.
    stats.busiest_warp_instructions =
        std::max(stats.busiest_warp_instructions, counts.busiest_warp);
    stats.summed_busiest_warp_instructions += counts.busiest_warp;
    stats.distinct_global_sectors += counts.distinct_global_sectors;
  }
  std::optional<KernelStats> find(std::string_view kernel) {
    const std::scoped_lock lock(mutex_);
    const auto found = kernels_.find(std::string(kernel));
    if (found == kernels_.end()) return std::nullopt;
    return found->second;
  }
  void reset() {
    const std::scoped_lock lock(mutex_);
    kernels_.clear();
  }
  void set_report(std::string text) {
    const std::scoped_lock lock(mutex_);
    report_ = std::move(text);
  }
  std::string report() {
    const std::scoped_lock lock(mutex_);
    return report_;
  }

 private:
  void print() const {
    std::fprintf(stderr,
                 "vorlan emu profile: %-28s %8s %14s %14s %12s %12s %10s %10s %12s %14s %6s\n",
                 "kernel", "launches", "warp instr", "thread instr", "sectors", "distinct",
                 "shared", "atomics", "busiest warp", "busiest summed", "lanes");
    for (const auto& [name, s] : kernels_) {
      const double lanes =
          s.warp_instructions == 0
              ? 0.0
              : double(s.thread_instructions) / (double{kWarpSize} * double(s.warp_instructions));
      std::fprintf(stderr,
                   "vorlan emu profile: %-28s %8" PRIu64 " %14" PRIu64 " %14" PRIu64 " %12" PRIu64
                   " %12" PRIu64 " %10" PRIu64 " %10" PRIu64 " %12" PRIu64 " %14" PRIu64 " %6.3f\n",
                   name.c_str(), s.launches, s.warp_instructions, s.thread_instructions,
                   s.global_sectors, s.distinct_global_sectors, s.shared_accesses, s.atomics,
                   s.busiest_warp_instructions, s.summed_busiest_warp_instructions, lanes);
    }
  }

  std::mutex mutex_;
  std::map<std::string, KernelStats, std::less<>> kernels_;
  std::string report_;
  bool print_at_exit_ = false;
};

StatsRegistry& registry() {
  static StatsRegistry instance;
  return instance;
}

}  // namespace

void record_launch(std::string_view kernel, const ptx::LaunchCounts& counts, bool profile) {
  registry().add(kernel, counts, profile);
}
void record_check(std::string report) { registry().set_report(std::move(report)); }

std::string last_check_report() { return registry().report(); }
void clear_last_check() { registry().set_report({}); }
std::optional<KernelStats> kernel_stats(std::string_view kernel) { return registry().find(kernel); }
void reset_kernel_stats() { registry().reset(); }

}  // namespace vorlan::emu
