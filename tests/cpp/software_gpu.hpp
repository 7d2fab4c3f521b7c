// Test access to the software GPU (the libcuda.so that runs PTX on the CPU)
// that driver_api() loaded: its control interface, driver-call counting, the
// objects it holds per device, and a small PTX module for launches.
//
// The control functions come from the very library the driver layer bound, so
// what they count is exactly what the code under test did.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <map>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "driver/context.hpp"
#include "driver/loader.hpp"
#include "driver/result.hpp"
#include "emulator/include/vorlan_emu.h"

namespace vorlan::driver {

// Lets GoogleTest print a DriverError with its name and text.
inline void PrintTo(const DriverError& error, std::ostream* out) { *out << to_string(error); }

}  // namespace vorlan::driver

namespace vorlan::test {

inline constexpr std::uint64_t kGiB = std::uint64_t{1} << 30;
// What a device of the software GPU has when VORLAN_EMU_MEMORY is not set.
inline constexpr std::uint64_t kDefaultDeviceMemory = 8 * kGiB;

// Every entry point the driver layer binds, by its exported name.
inline constexpr std::array kEntryPoints = {
#define VORLAN_TEST_ENTRY_NAME(name, params) std::string_view(#name),
    VORLAN_DRIVER_ENTRY_POINTS(VORLAN_TEST_ENTRY_NAME)
#undef VORLAN_TEST_ENTRY_NAME
};

struct SoftwareGpu {
  decltype(&vemu_fail_call) fail_call = nullptr;
  decltype(&vemu_call_count) call_count = nullptr;
  decltype(&vemu_live) live = nullptr;
  decltype(&vemu_reset_counters) reset_counters = nullptr;
  decltype(&vemu_reset) reset = nullptr;
  decltype(&vemu_kernel_stats) kernel_stats = nullptr;
  decltype(&vemu_reset_stats) reset_stats = nullptr;
};

// The control interface of the loaded driver library. Throws when the library
// that driver_api() found is not the software GPU, since nothing here could be
// measured then.
inline const SoftwareGpu& software_gpu() {
  static const SoftwareGpu gpu = [] {
    void* library = driver::driver_api().library;
    SoftwareGpu found;
    auto resolve = [library]<class Function>(Function& slot, const char* name) {
      slot = reinterpret_cast<Function>(dlsym(library, name));
      if (slot == nullptr) {
        throw std::runtime_error(std::string("the driver library has no ") + name +
                                 "; is the software GPU first on LD_LIBRARY_PATH?");
      }
    };
    resolve(found.fail_call, "vemu_fail_call");
    resolve(found.call_count, "vemu_call_count");
    resolve(found.live, "vemu_live");
    resolve(found.reset_counters, "vemu_reset_counters");
    resolve(found.reset, "vemu_reset");
    resolve(found.kernel_stats, "vemu_kernel_stats");
    resolve(found.reset_stats, "vemu_reset_stats");
    return found;
  }();
  return gpu;
}

// Makes the nth next call of `entry_point` return `result` without effect.
inline void fail_call(const char* entry_point, CUresult result, unsigned nth = 1) {
  if (software_gpu().fail_call(entry_point, nth, result) != 0) {
    throw std::runtime_error(std::string("vemu_fail_call refused ") + entry_point);
  }
}

inline unsigned long long call_count(std::string_view entry_point) {
  return software_gpu().call_count(std::string(entry_point).c_str());
}

// Initialises the driver (which vemu_live needs) without touching any context.
inline void init_driver() {
  if (driver::driver_api().cuInit(0) != cuda::CUDA_SUCCESS) {
    throw std::runtime_error("cuInit(0) failed on the software GPU");
  }
}

// What device `device` holds now. The driver must be initialised.
inline vemu_live_counts live(int device = 0) {
  vemu_live_counts counts{};
  if (software_gpu().live(device, &counts, sizeof counts) != int{sizeof counts}) {
    throw std::runtime_error("vemu_live refused device " + std::to_string(device));
  }
  return counts;
}

using CallMap = std::map<std::string, unsigned long long, std::less<>>;

// Counts the driver calls made from its construction (or the last restart()) on,
// by entry point. Counters are process-wide, so nothing else may call the driver
// while one is in use.
class CallCounter {
 public:
  CallCounter() { restart(); }

  void restart() {
    for (std::size_t i = 0; i < kEntryPoints.size(); ++i) start_[i] = call_count(kEntryPoints[i]);
  }

  // Entry points called since the start, with their call counts; those not
  // called are left out, so an empty map means no driver call at all.
  CallMap made() const {
    CallMap calls;
    for (std::size_t i = 0; i < kEntryPoints.size(); ++i) {
      const auto now = call_count(kEntryPoints[i]);
      if (now != start_[i]) calls.emplace(kEntryPoints[i], now - start_[i]);
    }
    return calls;
  }

  // As made(), without the entry points named in `ignored`.
  CallMap made_besides(std::initializer_list<std::string_view> ignored) const {
    CallMap calls = made();
    for (std::string_view name : ignored) {
      if (auto found = calls.find(name); found != calls.end()) calls.erase(found);
    }
    return calls;
  }

  // As made(), without the binding probe cuCtxGetCurrent, for sequences whose
  // binding is tested elsewhere.
  CallMap made_besides_probe() const { return made_besides({"cuCtxGetCurrent"}); }

  // The device work alone: neither the binding probe nor the error-text
  // lookups that writing a DriverError makes.
  CallMap device_work() const { return made_besides({"cuCtxGetCurrent", "cuGetErrorString"}); }

  unsigned long long made(std::string_view entry_point) const {
    for (std::size_t i = 0; i < kEntryPoints.size(); ++i) {
      if (kEntryPoints[i] == entry_point) return call_count(entry_point) - start_[i];
    }
    throw std::invalid_argument("not an entry point: " + std::string(entry_point));
  }

 private:
  std::array<unsigned long long, kEntryPoints.size()> start_{};
};

// The value of a driver-layer result, or an exception naming the error (which
// GoogleTest reports as the test's failure).
template <class T>
T value_of(driver::DriverResult<T> result, std::string_view what) {
  if (!result)
    throw std::runtime_error(std::string(what) + " failed: " + driver::to_string(result.error()));
  if constexpr (std::is_void_v<T>) {
    return;
  } else {
    return std::move(*result);
  }
}

// Whether `result` is the DriverError with `code`.
template <class T>
::testing::AssertionResult fails_with(const driver::DriverResult<T>& result, CUresult code) {
  if (result) return ::testing::AssertionFailure() << "succeeded, expected code " << code;
  if (result.error().code() != code) {
    return ::testing::AssertionFailure()
           << "failed with " << driver::to_string(result.error()) << ", expected code " << code;
  }
  return ::testing::AssertionSuccess();
}

// Whether `result` succeeded, naming the error when it did not.
template <class T>
::testing::AssertionResult succeeded(const driver::DriverResult<T>& result) {
  if (result) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "failed with " << driver::to_string(result.error());
}

// The calling thread's current context, read through the driver table.
inline CUcontext current_context() {
  CUcontext current = nullptr;
  if (driver::driver_api().cuCtxGetCurrent(&current) != cuda::CUDA_SUCCESS) {
    throw std::runtime_error("cuCtxGetCurrent failed");
  }
  return current;
}

// Leaves the calling thread without a current context, as a thread that never
// touched the device (or one whose context was switched away) would be.
inline void clear_current_context() {
  if (driver::driver_api().cuCtxSetCurrent(nullptr) != cuda::CUDA_SUCCESS) {
    throw std::runtime_error("cuCtxSetCurrent(nullptr) failed");
  }
}

// The software GPU reads its VORLAN_EMU_* variables at the first cuInit after
// it is loaded or reset, so these must come before either.

// Every variable the software GPU reads.
inline constexpr const char* kEmuVariables[] = {
    "VORLAN_EMU_DEVICES", "VORLAN_EMU_MEMORY", "VORLAN_EMU_POOLS",  "VORLAN_EMU_BUDGET",
    "VORLAN_EMU_SEED",    "VORLAN_EMU_TRACE",  "VORLAN_EMU_VERBOSE"};

// Unsets them all, so that the tests see the documented defaults whatever the
// calling environment holds.
inline bool use_default_emu_configuration() {
  bool done = true;
  for (const char* name : kEmuVariables) done = unsetenv(name) == 0 && done;
  return done;
}

inline bool set_emu_variable(const char* name, const char* value) {
  return setenv(name, value, 1) == 0;
}

// Kernels of the tests, one thread per element, any block size:
//   double_index_kernel(u32* out, u32 n):            out[i] = 2 * i for i < n
//   scale_add_kernel(const u32* in, u32* out, u32 n, u32 add):
//                                                    out[i] = 3 * in[i] + add for i < n
//   read_far_kernel(const u32* in, u32* out):        out[0] = the word 1 GiB past in,
//                                                    which no allocation covers
inline constexpr std::string_view kTestPtx = R"(
.version 8.5
.target sm_70
.address_size 64

.visible .entry double_index_kernel(
    .param .u64 double_index_out,
    .param .u32 double_index_n
)
{
    .reg .pred %p<2>;
    .reg .b32 %r<7>;
    .reg .b64 %rd<5>;

    ld.param.u64 %rd1, [double_index_out];
    ld.param.u32 %r1, [double_index_n];
    mov.u32 %r2, %ctaid.x;
    mov.u32 %r3, %ntid.x;
    mov.u32 %r4, %tid.x;
    mad.lo.s32 %r5, %r2, %r3, %r4;
    setp.ge.u32 %p1, %r5, %r1;
    @%p1 bra DOUBLE_INDEX_DONE;
    shl.b32 %r6, %r5, 1;
    cvta.to.global.u64 %rd2, %rd1;
    mul.wide.u32 %rd3, %r5, 4;
    add.s64 %rd4, %rd2, %rd3;
    st.global.u32 [%rd4], %r6;
DOUBLE_INDEX_DONE:
    ret;
}

.visible .entry scale_add_kernel(
    .param .u64 scale_add_in,
    .param .u64 scale_add_out,
    .param .u32 scale_add_n,
    .param .u32 scale_add_add
)
{
    .reg .pred %p<2>;
    .reg .b32 %r<10>;
    .reg .b64 %rd<8>;

    ld.param.u64 %rd1, [scale_add_in];
    ld.param.u64 %rd2, [scale_add_out];
    ld.param.u32 %r1, [scale_add_n];
    ld.param.u32 %r2, [scale_add_add];
    mov.u32 %r3, %ctaid.x;
    mov.u32 %r4, %ntid.x;
    mov.u32 %r5, %tid.x;
    mad.lo.s32 %r6, %r3, %r4, %r5;
    setp.ge.u32 %p1, %r6, %r1;
    @%p1 bra SCALE_ADD_DONE;
    cvta.to.global.u64 %rd3, %rd1;
    cvta.to.global.u64 %rd4, %rd2;
    mul.wide.u32 %rd5, %r6, 4;
    add.s64 %rd6, %rd3, %rd5;
    ld.global.u32 %r7, [%rd6];
    mul.lo.s32 %r8, %r7, 3;
    add.s32 %r9, %r8, %r2;
    add.s64 %rd7, %rd4, %rd5;
    st.global.u32 [%rd7], %r9;
SCALE_ADD_DONE:
    ret;
}

.visible .entry read_far_kernel(
    .param .u64 read_far_in,
    .param .u64 read_far_out
)
{
    .reg .b32 %r<2>;
    .reg .b64 %rd<6>;

    ld.param.u64 %rd1, [read_far_in];
    ld.param.u64 %rd2, [read_far_out];
    cvta.to.global.u64 %rd3, %rd1;
    cvta.to.global.u64 %rd4, %rd2;
    add.s64 %rd5, %rd3, 1073741824;
    ld.global.u32 %r1, [%rd5];
    st.global.u32 [%rd4], %r1;
    ret;
}
)";

// What double_index_kernel writes for n elements.
inline std::vector<std::uint32_t> doubled_indices(std::uint32_t n) {
  std::vector<std::uint32_t> values(n);
  for (std::uint32_t i = 0; i < n; ++i) values[i] = 2 * i;
  return values;
}

}  // namespace vorlan::test
