// The kernels of each algorithm, loaded once per process and per GPU context.
// Every algorithm ships its kernels as one PTX text; the first call on a
// context has the driver compile it, looks the kernels up by name and keeps
// them, and later calls on that context get them from here at the cost of an
// atomic read: what they get is a view of the slot's own kernels, which stay
// for the life of the process.
//
// A module the driver refuses (bad text, a missing kernel) is an unrecoverable
// fault, and leaves the slot to be filled again by the next call. A context an
// earlier kernel broke fails the load too, but that says nothing about the
// module: it is the driver error every call on that context now returns.
#pragma once

#include <atomic>
#include <mutex>
#include <span>
#include <string_view>
#include <vector>

#include "driver/launch.hpp"

namespace vorlan::engine {

// The kernels of one module, in the order of the names they were looked up by.
using KernelSet = std::span<const driver::KernelFunction>;

class ModuleSlot {
 public:
  ModuleSlot() = default;
  ModuleSlot(const ModuleSlot&) = delete;
  ModuleSlot& operator=(const ModuleSlot&) = delete;

 private:
  friend driver::DriverResult<KernelSet> get_kernels(ModuleSlot&, const driver::SharedContext&,
                                                     std::string_view,
                                                     std::span<const std::string_view>);
  // One filled entry per driver context; entries are never removed, so
  // readers walk the list without a lock and views of them never dangle.
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
// Faults with "failed to load PTX module: ..." or "kernel NAME not found: ...";
// returns the driver's error only when it is one that breaks the context.
driver::DriverResult<KernelSet> get_kernels(ModuleSlot& slot, const driver::SharedContext& context,
                                            std::string_view ptx,
                                            std::span<const std::string_view> names);

}  // namespace vorlan::engine
