// The kernels of each algorithm, loaded once per process and per GPU context.
// Every algorithm ships its kernels as one PTX text; the first call on a
// context has the driver compile it, looks the kernels up by name and keeps
// them, and later calls on that context get them from here at the cost of an
// atomic read. Failures are unrecoverable faults, and leave the slot to be
// filled again by the next call.
#pragma once

#include <atomic>
#include <mutex>
#include <span>
#include <string_view>
#include <vector>

#include "driver/launch.hpp"

namespace vorlan::engine {

class ModuleSlot {
 public:
  ModuleSlot() = default;
  ModuleSlot(const ModuleSlot&) = delete;
  ModuleSlot& operator=(const ModuleSlot&) = delete;

 private:
  friend std::vector<driver::KernelFunction> get_kernels(ModuleSlot&, const driver::SharedContext&,
                                                         std::string_view,
                                                         std::span<const std::string_view>);
  // One filled entry per driver context; entries are never removed, so
  // readers walk the list without a lock.
  struct Entry {
    CUcontext context;
    driver::SharedModule module;
    std::vector<driver::KernelFunction> functions;
    const Entry* next;
  };
  const Entry* find(CUcontext context) const;

  std::atomic<const Entry*> entries_{nullptr};
  std::mutex fill_mutex_;
};

// The kernels named `names`, in that order, from `ptx` loaded into `context`.
// Faults with "failed to load PTX module: ..." or "kernel NAME not found: ...".
std::vector<driver::KernelFunction> get_kernels(ModuleSlot& slot,
                                                const driver::SharedContext& context,
                                                std::string_view ptx,
                                                std::span<const std::string_view> names);

}  // namespace vorlan::engine
