// Loads the software GPU the way the extension module does (dlopen, then one
// dlsym per entry point of the shared X-macro list) and gives every test a
// freshly reset driver with no VORLAN_EMU_* variable set.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "driver/cuda_api.hpp"
#include "include/vorlan_emu.h"

namespace vorlan::emu::test {

using namespace vorlan::cuda;

inline constexpr CUresult CUDA_ERROR_INVALID_IMAGE = 200;
inline constexpr CUresult CUDA_ERROR_NOT_SUPPORTED = 801;

struct DriverLibrary {
  void* handle = nullptr;
#define VORLAN_EMU_TEST_FIELD(name, params) CUresult(*name) params = nullptr;
  VORLAN_DRIVER_ENTRY_POINTS(VORLAN_EMU_TEST_FIELD)
  VORLAN_DRIVER_EXTRA_ENTRY_POINTS(VORLAN_EMU_TEST_FIELD)
#undef VORLAN_EMU_TEST_FIELD
  decltype(&vemu_fail_call) fail_call = nullptr;
  decltype(&vemu_call_count) call_count = nullptr;
  decltype(&vemu_live) live = nullptr;
  decltype(&vemu_reset_counters) reset_counters = nullptr;
  decltype(&vemu_reset) reset = nullptr;
  decltype(&vemu_last_check) last_check = nullptr;
  decltype(&vemu_kernel_stats) kernel_stats = nullptr;
  decltype(&vemu_reset_stats) reset_stats = nullptr;
  std::vector<std::string> missing;  // names dlsym did not find
};

template <class Function>
void resolve(DriverLibrary& library, Function& slot, const char* name) {
  slot = reinterpret_cast<Function>(dlsym(library.handle, name));
  if (slot == nullptr) library.missing.emplace_back(name);
}

inline DriverLibrary load_driver_library(const char* path) {
  DriverLibrary library;
  library.handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (library.handle == nullptr) return library;
#define VORLAN_EMU_TEST_RESOLVE(name, params) resolve(library, library.name, #name);
  VORLAN_DRIVER_ENTRY_POINTS(VORLAN_EMU_TEST_RESOLVE)
  VORLAN_DRIVER_EXTRA_ENTRY_POINTS(VORLAN_EMU_TEST_RESOLVE)
#undef VORLAN_EMU_TEST_RESOLVE
  resolve(library, library.fail_call, "vemu_fail_call");
  resolve(library, library.call_count, "vemu_call_count");
  resolve(library, library.live, "vemu_live");
  resolve(library, library.reset_counters, "vemu_reset_counters");
  resolve(library, library.reset, "vemu_reset");
  resolve(library, library.last_check, "vemu_last_check");
  resolve(library, library.kernel_stats, "vemu_kernel_stats");
  resolve(library, library.reset_stats, "vemu_reset_stats");
  return library;
}

// The library under test, loaded once per process and never unloaded.
inline const DriverLibrary& driver_library() {
  static const DriverLibrary library = load_driver_library(VORLAN_EMU_LIBRARY);
  return library;
}

inline constexpr const char* kEnvironment[] = {
    "VORLAN_EMU_DEVICES", "VORLAN_EMU_MEMORY", "VORLAN_EMU_POOLS",
    "VORLAN_EMU_BUDGET",  "VORLAN_EMU_SEED",   "VORLAN_EMU_TRACE",
    "VORLAN_EMU_VERBOSE", "VORLAN_EMU_CHECK",  "VORLAN_EMU_PROFILE"};

class EmuTest : public ::testing::Test {
 protected:
  const DriverLibrary& cu = driver_library();

  void SetUp() override {
    ASSERT_NE(cu.handle, nullptr) << dlerror();
    ASSERT_TRUE(cu.missing.empty()) << "first missing symbol: " << cu.missing.front();
    for (const char* name : kEnvironment) unsetenv(name);
    cu.reset();
  }
  void TearDown() override {
    if (cu.reset != nullptr) cu.reset();
  }

  // cuInit(0), then the primary context of `device` retained and current.
  CUcontext open_device(int device = 0) {
    CUcontext context = nullptr;
    EXPECT_EQ(cu.cuInit(0), CUDA_SUCCESS);
    EXPECT_EQ(cu.cuDevicePrimaryCtxRetain(&context, device), CUDA_SUCCESS);
    EXPECT_EQ(cu.cuCtxSetCurrent(context), CUDA_SUCCESS);
    return context;
  }

  CUdeviceptr allocate(std::size_t bytes) {
    CUdeviceptr address = 0;
    EXPECT_EQ(cu.cuMemAlloc_v2(&address, bytes), CUDA_SUCCESS);
    return address;
  }

  vemu_live_counts live(int device = 0) {
    vemu_live_counts counts{};
    EXPECT_EQ(cu.live(device, &counts, sizeof counts), int{sizeof counts});
    return counts;
  }
};

// How a KernelTest launches: `grid` blocks of `block` threads, on a buffer
// of 128 words whose first `host_bytes` bytes the host wrote.
struct RunShape {
  unsigned grid = 1;
  unsigned block = 32;
  std::size_t host_bytes = 16;
};

// Tests of kernels of a module of their own, each taking (buffer, value):
// loading the module, buffers the host wrote, launches and their counters.
class KernelTest : public EmuTest {
 protected:
  CUmodule module = nullptr;

  void load_module(const char* ptx) {
    open_device();
    ASSERT_EQ(cu.cuModuleLoadData(&module, ptx), CUDA_SUCCESS);
  }
  // `room` bytes of device memory whose first `bytes` the host wrote, so
  // that the hazard checks let kernels read them.
  CUdeviceptr written(std::size_t room, std::size_t bytes) {
    const CUdeviceptr buf = allocate(room);
    const std::vector<std::uint8_t> data(bytes, 3);
    if (bytes != 0) {
      EXPECT_EQ(cu.cuMemcpyHtoDAsync_v2(buf, data.data(), bytes, nullptr), CUDA_SUCCESS);
    }
    return buf;
  }
  // Launches name(buf, value); the result of the next synchronisation.
  CUresult launch(const char* name, CUdeviceptr buf, std::uint32_t value, unsigned grid,
                  unsigned block) {
    CUfunction function = nullptr;
    EXPECT_EQ(cu.cuModuleGetFunction(&function, module, name), CUDA_SUCCESS) << name;
    void* params[] = {&buf, &value};
    EXPECT_EQ(cu.cuLaunchKernel(function, grid, 1, 1, block, 1, 1, 0, nullptr, params, nullptr),
              CUDA_SUCCESS);
    return cu.cuCtxSynchronize();
  }
  // Launches name(a fresh buffer, value) in `shape`.
  CUresult run(const char* name, std::uint32_t value, RunShape shape = {}) {
    return launch(name, written(128 * 4, shape.host_bytes), value, shape.grid, shape.block);
  }
  // The counters of `name`, which a launch since the last reset must have made.
  struct vemu_kernel_stats stats(const char* name) {
    struct vemu_kernel_stats out{};
    EXPECT_EQ(cu.kernel_stats(name, &out, sizeof out), int{sizeof out}) << name;
    return out;
  }
};

}  // namespace vorlan::emu::test
