// PTX modules, kernel handles and launches. A KernelModule is PTX text loaded
// (and compiled by the driver) into one context; a KernelFunction is one entry
// of it; a KernelLaunch gathers one launch's arguments and issues it on a
// stream. Launches neither wait on nor record buffer events: the single stream
// already orders them after every earlier copy.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <type_traits>
#include <vector>

#include "driver/context.hpp"
#include "driver/memory.hpp"

namespace vorlan::driver {

class KernelModule {
 public:
  KernelModule(SharedContext context, CUmodule handle)
      : context_(std::move(context)), handle_(handle) {}
  KernelModule(const KernelModule&) = delete;
  KernelModule& operator=(const KernelModule&) = delete;
  ~KernelModule();

  CUmodule handle() const { return handle_; }
  const SharedContext& context() const { return context_; }

 private:
  SharedContext context_;
  CUmodule handle_;
};

using SharedModule = std::shared_ptr<const KernelModule>;

struct KernelFunction {
  SharedModule module;  // keeps the module loaded while the function exists
  CUfunction handle = nullptr;
};

// Loads `ptx` (no NUL bytes inside) into `context`; the driver compiles it.
DriverResult<SharedModule> load_module(const SharedContext& context, std::string_view ptx);
DriverResult<KernelFunction> get_function(const SharedModule& module, std::string_view name);

// Extents along x, y and z: of a grid in blocks, or of a block in threads.
struct Dim3 {
  std::uint32_t x = 1;
  std::uint32_t y = 1;
  std::uint32_t z = 1;
};

struct LaunchDims {
  Dim3 grid;
  Dim3 block;
  std::uint32_t shared_bytes = 0;  // dynamic shared memory per block
};

// One-dimensional launch of `blocks` blocks of `threads` threads.
constexpr LaunchDims linear_launch(std::uint32_t blocks, std::uint32_t threads,
                                   std::uint32_t shared_bytes = 0) {
  return LaunchDims{.grid = {.x = blocks}, .block = {.x = threads}, .shared_bytes = shared_bytes};
}

class KernelLaunch {
 public:
  KernelLaunch(const DeviceStream& stream, const KernelFunction& function)
      : stream_(stream), function_(function) {}

  // Parameters, in the kernel's order. Everything added must stay alive and
  // unchanged until launch() returns; the driver copies the values then.
  template <class T>
  KernelLaunch& read(const DeviceBuffer<T>& buffer) {
    return pointer(buffer.raw().address());
  }
  template <class T>
  KernelLaunch& write(DeviceBuffer<T>& buffer) {
    return pointer(buffer.raw().address());
  }
  // The driver reads a scalar through its address at launch(), so a
  // temporary (`.scalar(k - 2)`) would be gone by then: only named values.
  template <class T>
  KernelLaunch& scalar(const T& value) {
    static_assert(std::is_trivially_copyable_v<T>, "the driver copies a kernel parameter bytewise");
    return pointer(&value);
  }
  template <class T>
  KernelLaunch& scalar(const T&& value) = delete;

  DriverResult<> launch(const LaunchDims& dims);

 private:
  KernelLaunch& pointer(const void* value) {
    parameters_.push_back(const_cast<void*>(value));
    return *this;
  }

  const DeviceStream& stream_;
  const KernelFunction& function_;
  std::vector<void*> parameters_;
};

}  // namespace vorlan::driver
