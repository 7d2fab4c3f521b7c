// PTX modules, kernel handles and launches. A KernelModule is PTX text loaded
// (and compiled by the driver) into one context; a KernelFunction is one entry
// of it; a KernelLaunch gathers one launch's arguments and issues it on a
// stream. Launches neither wait on nor record buffer events: the single stream
// already orders them after every earlier copy.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
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

struct LaunchDims {
  std::uint32_t grid_x = 1, grid_y = 1, grid_z = 1;
  std::uint32_t block_x = 1, block_y = 1, block_z = 1;
  std::uint32_t shared_bytes = 0;
};

// One-dimensional launch of `blocks` blocks of `threads` threads.
constexpr LaunchDims linear_launch(std::uint32_t blocks, std::uint32_t threads,
                                   std::uint32_t shared_bytes = 0) {
  return LaunchDims{blocks, 1, 1, threads, 1, 1, shared_bytes};
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
  template <class T>
  KernelLaunch& scalar(const T& value) {
    return pointer(&value);
  }

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
