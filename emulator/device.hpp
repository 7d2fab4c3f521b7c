// One device of the software GPU and the reference count of its primary
// context.
#pragma once

#include <cstdint>
#include <memory>

#include "context_state.hpp"
#include "handles.hpp"

namespace vorlan::emu {

class Device {
 public:
  Device(int ordinal, std::uint64_t memory_bytes, bool memory_pools);
  // The context state refers to the address space inside; the device stays put.
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  int ordinal() const { return ordinal_; }
  std::uint64_t memory_bytes() const { return memory_bytes_; }
  bool memory_pools() const { return memory_pools_; }
  // The primary context's handle; the same for every retain, as on hardware.
  HandleId context_handle() const;

  // Retains the primary context, creating its state on the first retain.
  void retain();
  // false when the primary context is not retained; the last release drops
  // all its state.
  bool release();
  unsigned retains() const { return retains_; }

  // The primary context's state, or nullptr while it is not retained.
  ContextState* context() { return context_.get(); }
  const ContextState* context() const { return context_.get(); }

 private:
  int ordinal_;
  std::uint64_t memory_bytes_;
  bool memory_pools_;
  AddressSpace addresses_;
  unsigned retains_ = 0;
  std::unique_ptr<ContextState> context_;
};

}  // namespace vorlan::emu
