// The process-wide state of the software GPU: initialisation, devices, the
// current context of each thread, handle numbering and the test controls. One
// mutex guards all of it; every entry point holds it for its whole call.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "call_control.hpp"
#include "device.hpp"
#include "emu_config.hpp"
#include "handles.hpp"

namespace vorlan::emu {

// A device whose primary context is retained, with that context's state.
struct LiveContext {
  Device& device;
  ContextState& state;
};

class Driver {
 public:
  static Driver& instance();

  std::mutex& mutex() { return mutex_; }
  CallControl& control() { return control_; }
  HandleSource& handles() { return handles_; }

  bool initialized() const { return initialized_; }
  // cuInit(0): reads the configuration on the first successful call.
  CUresult initialize();
  const EmuConfig& config() const { return config_; }

  int device_count() const { return static_cast<int>(devices_.size()); }
  Device* device(int ordinal);
  // The device whose primary context `context` is, or nullptr.
  Device* device_of(HandleId context);

  // The calling thread's current context handle (0: none).
  HandleId current() const;
  void make_current(HandleId context);
  // The calling thread's current context when it is retained.
  std::optional<LiveContext> current_context();

  // The retained context that owns a handle or a device address.
  std::optional<LiveContext> owner_of_module(HandleId module);
  std::optional<LiveContext> owner_of_function(HandleId function);
  std::optional<LiveContext> owner_of_event(HandleId event);
  std::optional<LiveContext> owner_of_address(std::uint64_t address);

  // Tells a VORLAN_EMU_VERBOSE user why a call is refused; returns `code`.
  CUresult refuse(CUresult code, std::string_view why) const;

  void reset();

 private:
  template <class Owns>
  std::optional<LiveContext> find_owner(Owns owns);

  std::mutex mutex_;
  CallControl control_;
  HandleSource handles_;  // survives reset: old handles stay invalid
  bool initialized_ = false;
  EmuConfig config_;
  std::vector<std::unique_ptr<Device>> devices_;
  std::uint64_t epoch_ = 1;  // bumped by reset, which voids every thread's current context
};

}  // namespace vorlan::emu
