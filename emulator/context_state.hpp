// Everything a device's primary context holds while it is retained: memory,
// modules, events, and the fault state that a failed kernel leaves behind.
// Dropped as a whole when the last retain is released, so that the next retain
// starts clean, as on the hardware.
#pragma once

#include "allocation_table.hpp"
#include "event_registry.hpp"
#include "module_registry.hpp"

namespace vorlan::emu {

class ContextState {
 public:
  ContextState(AddressSpace& addresses, std::uint64_t capacity) : memory_(addresses, capacity) {}

  AllocationTable& memory() { return memory_; }
  const AllocationTable& memory() const { return memory_; }
  ModuleRegistry& modules() { return modules_; }
  const ModuleRegistry& modules() const { return modules_; }
  EventRegistry& events() { return events_; }
  const EventRegistry& events() const { return events_; }

  // A kernel fault is not seen by its launch: it is kept pending and becomes
  // the context's sticky error at the next synchronising call.
  void kernel_faulted(CUresult fault) {
    if (pending_fault_ == 0) pending_fault_ = fault;
  }
  // For calls that do not wait for the device: the sticky error, or 0.
  CUresult error() const { return sticky_error_; }
  // For calls that wait for the device (synchronisation, copies): surfaces a
  // pending fault first.
  CUresult synchronize() {
    if (sticky_error_ == 0 && pending_fault_ != 0) sticky_error_ = pending_fault_;
    pending_fault_ = 0;
    return sticky_error_;
  }
  // Whether launches still run: after a fault the device stops executing work.
  bool healthy() const { return pending_fault_ == 0 && sticky_error_ == 0; }

  CUresult pending_fault() const { return pending_fault_; }

 private:
  AllocationTable memory_;
  ModuleRegistry modules_;
  EventRegistry events_;
  CUresult pending_fault_ = 0;
  CUresult sticky_error_ = 0;
};

}  // namespace vorlan::emu
