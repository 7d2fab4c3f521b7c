// A GPU made usable: the device's retained primary context, made current on
// whichever thread is about to issue driver work. Streams, buffers, events and
// modules each hold a share of the context they were made in, so it outlives
// all of them.
//
// Teardown cannot report failures where they happen; such a failure is kept as
// the context's deferred error and returned by the next fallible operation.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "driver/result.hpp"

namespace vorlan::driver {

class DeviceContext {
 public:
  // Initialises the driver and retains the primary context of device
  // `ordinal`; one beyond the driver's int range fails as an absent device
  // does. Faults if no driver library can be loaded.
  static DriverResult<std::shared_ptr<DeviceContext>> create(std::uint64_t ordinal);

  DeviceContext(const DeviceContext&) = delete;
  DeviceContext& operator=(const DeviceContext&) = delete;
  ~DeviceContext();

  // Makes the context current on the calling thread. A pending deferred error
  // fails it first (and is cleared by that).
  DriverResult<> bind_current();

  // The pending deferred error (0 for none), cleared.
  CUresult take_deferred() noexcept;
  // Keeps a failed teardown step's result for the next operation; 0 is ignored.
  void defer(CUresult result) noexcept;
  // What every teardown step does before its release call: bind, unless an
  // error is already pending (it stays pending); a failed bind is deferred.
  void bind_for_teardown() noexcept;

  DriverResult<std::string> device_name() const;
  // Total device memory; a pending deferred error counts as a failure.
  DriverResult<std::uint64_t> total_memory();

  std::uint64_t ordinal() const { return ordinal_; }
  CUcontext handle() const { return handle_; }
  CUdevice device() const { return device_; }
  bool pooled_alloc() const { return pooled_alloc_; }

 private:
  DeviceContext(CUcontext handle, std::uint64_t ordinal, CUdevice device, bool pooled_alloc);
  DriverResult<> make_current() const;

  CUcontext handle_;
  std::uint64_t ordinal_;
  CUdevice device_;
  std::atomic<CUresult> deferred_error_{0};
  bool pooled_alloc_;
};

using SharedContext = std::shared_ptr<DeviceContext>;

}  // namespace vorlan::driver
