// The vemu_ control interface declared in include/vorlan_emu.h.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>

#include "driver.hpp"
#include "include/vorlan_emu.h"
#include "ptx/kernel_runner.hpp"

using namespace vorlan::emu;

namespace {

// Copies the first `size` bytes of `full` (at most all of it) to `out`: a
// caller built against an older, shorter struct gets the fields it knows.
template <class Struct>
int copy_prefix(const Struct& full, Struct* out, unsigned long long size) {
  const std::size_t filled = std::min<unsigned long long>(size, sizeof full);
  std::memcpy(out, &full, filled);
  return static_cast<int>(filled);
}

void fill_live(const Device& device, vemu_live_counts& out) {
  out = {};
  out.context_refs = device.retains();
  const ContextState* state = device.context();
  if (state == nullptr) return;
  out.allocations = state->memory().live_count();
  out.allocated_bytes = state->memory().used_bytes();
  out.events = state->events().size();
  out.modules = state->modules().size();
  out.pending_fault = state->pending_fault();
  out.sticky_error = state->error();
}

}  // namespace

extern "C" {

int vemu_fail_call(const char* entry_point, unsigned nth, unsigned result) {
  if (entry_point == nullptr || nth == 0 || result == 0) return -1;
  auto entry = entry_named(entry_point);
  if (!entry) return -1;
  Driver& driver = Driver::instance();
  std::scoped_lock lock{driver.mutex()};
  driver.control().fail_call(*entry, nth, result);
  return 0;
}

unsigned long long vemu_call_count(const char* entry_point) {
  auto entry = entry_point == nullptr ? std::nullopt : entry_named(entry_point);
  if (!entry) return 0;
  Driver& driver = Driver::instance();
  std::scoped_lock lock{driver.mutex()};
  return driver.control().count(*entry);
}

int vemu_live(int device, vemu_live_counts* out, unsigned long long size) {
  Driver& driver = Driver::instance();
  std::scoped_lock lock{driver.mutex()};
  const Device* found = driver.initialized() ? driver.device(device) : nullptr;
  if (found == nullptr || out == nullptr) return -1;
  vemu_live_counts counts{};
  fill_live(*found, counts);
  return copy_prefix(counts, out, size);
}

void vemu_reset_counters(void) {
  Driver& driver = Driver::instance();
  std::scoped_lock lock{driver.mutex()};
  driver.control().reset();
}

void vemu_reset(void) {
  Driver& driver = Driver::instance();
  std::scoped_lock lock{driver.mutex()};
  driver.reset();
  clear_last_check();
  reset_kernel_stats();
}

int vemu_last_check(char* text, unsigned long long size) {
  const std::string report = last_check_report();
  if (text != nullptr && size != 0) {
    const std::size_t copied = std::min<std::size_t>(report.size(), size - 1);
    std::memcpy(text, report.data(), copied);
    text[copied] = '\0';
  }
  return static_cast<int>(report.size());
}

int vemu_kernel_stats(const char* kernel, struct vemu_kernel_stats* out, unsigned long long size) {
  if (kernel == nullptr || out == nullptr) return -1;
  const auto stats = kernel_stats(kernel);
  if (!stats) return -1;
  const struct vemu_kernel_stats full = {stats->launches,
                                         stats->warp_instructions,
                                         stats->thread_instructions,
                                         stats->global_sectors,
                                         stats->shared_accesses,
                                         stats->atomics,
                                         stats->busiest_warp_instructions,
                                         stats->distinct_global_sectors,
                                         stats->summed_busiest_warp_instructions};
  return copy_prefix(full, out, size);
}

void vemu_reset_stats(void) { reset_kernel_stats(); }

}  // extern "C"
