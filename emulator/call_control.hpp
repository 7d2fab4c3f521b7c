// Bookkeeping that lets tests observe and steer the driver: a call counter per
// entry point and failures injected at a chosen future call.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "entry_points.hpp"

namespace vorlan::emu {

class CallControl {
 public:
  // Counts one call of `entry`; returns the result to fail it with when a
  // failure was injected for exactly this call.
  std::optional<CUresult> on_call(Entry entry);

  // Fails the nth call of `entry` counted from now (nth >= 1) with `result`.
  void fail_call(Entry entry, unsigned nth, CUresult result);

  std::uint64_t count(Entry entry) const { return counts_[index_of(entry)]; }

  void reset();

 private:
  struct Injection {
    Entry entry;
    std::uint64_t at_call;  // value the entry's counter has when it fires
    CUresult result;
  };

  std::array<std::uint64_t, kEntryCount> counts_{};
  std::vector<Injection> injections_;
};

}  // namespace vorlan::emu
