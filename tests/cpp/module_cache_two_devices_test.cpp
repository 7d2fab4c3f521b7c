// The kernel module cache, and context binding, on a software GPU with two
// devices. Modules belong to the context they were loaded into, so one slot
// must hold a separate entry per device; kernels of device 0 are of no use on
// device 1.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "driver/context.hpp"
#include "driver/fault.hpp"
#include "driver/launch.hpp"
#include "driver/memory.hpp"
#include "engine/module_cache.hpp"
#include "module_cache_support.hpp"
#include "software_gpu.hpp"

namespace vorlan::engine {
namespace {

using namespace vorlan::test;
using namespace vorlan::cuda;
using driver::DeviceContext;
using driver::DeviceStream;
using driver::KernelFunction;
using driver::KernelLaunch;
using driver::SharedContext;

// Before anything loads the driver: the first cuInit reads it.
const bool two_devices =
    use_default_emu_configuration() && set_emu_variable("VORLAN_EMU_DEVICES", "2");

constexpr std::array<std::string_view, 2> kNames{"double_index_kernel", "scale_add_kernel"};

class TwoDevices : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(two_devices); }

  static SharedContext open(std::uint64_t ordinal) {
    return value_of(DeviceContext::create(ordinal), "DeviceContext::create");
  }
};

TEST_F(TwoDevices, EachDeviceGetsItsOwnModule) {
  auto first = open(0);
  auto second = open(1);
  ASSERT_NE(first->handle(), second->handle());
  ModuleSlot slot;
  const auto modules0 = live(0).modules;
  const auto modules1 = live(1).modules;

  CallCounter calls;
  const auto kernels0 = kernels_of(get_kernels(slot, first, kTestPtx, kNames));
  EXPECT_EQ(calls.made("cuModuleLoadData"), 1u);
  EXPECT_EQ(live(0).modules, modules0 + 1);
  EXPECT_EQ(live(1).modules, modules1);

  calls.restart();
  const auto kernels1 = kernels_of(get_kernels(slot, second, kTestPtx, kNames));
  EXPECT_EQ(calls.made_besides_probe(),
            (CallMap{{"cuCtxSetCurrent", 1}, {"cuModuleLoadData", 1}, {"cuModuleGetFunction", 2}}));
  EXPECT_EQ(live(0).modules, modules0 + 1);
  EXPECT_EQ(live(1).modules, modules1 + 1);

  ASSERT_EQ(kernels0.size(), kNames.size());
  ASSERT_EQ(kernels1.size(), kNames.size());
  for (std::size_t i = 0; i < kNames.size(); ++i) {
    EXPECT_NE(kernels1[i].handle, kernels0[i].handle) << kNames[i];
    EXPECT_EQ(kernels0[i].module->context(), first) << kNames[i];
    EXPECT_EQ(kernels1[i].module->context(), second) << kNames[i];
  }

  // Both entries stay: asking again, in either order, loads nothing.
  calls.restart();
  const auto again1 = kernels_of(get_kernels(slot, second, kTestPtx, kNames));
  const auto again0 = kernels_of(get_kernels(slot, first, kTestPtx, kNames));
  EXPECT_EQ(calls.made(), CallMap{});
  EXPECT_EQ(again0[0].handle, kernels0[0].handle);
  EXPECT_EQ(again1[0].handle, kernels1[0].handle);
}

TEST_F(TwoDevices, KernelsOfDeviceOneRunOnDeviceOne) {
  auto first = open(0);
  auto second = open(1);
  ModuleSlot slot;
  // Device 0 fills the slot first, as when an algorithm ran there earlier.
  const auto kernels0 = kernels_of(get_kernels(slot, first, kTestPtx, kNames));
  const auto kernels1 = kernels_of(get_kernels(slot, second, kTestPtx, kNames));

  auto stream = std::make_shared<DeviceStream>(second);
  const auto allocations0 = live(0).allocations;
  const auto allocations1 = live(1).allocations;
  auto out = value_of(driver::allocate<std::uint32_t>(stream, 300), "allocate");
  EXPECT_EQ(live(1).allocations, allocations1 + 1);
  EXPECT_EQ(live(0).allocations, allocations0);
  const std::uint32_t n = 300;
  ASSERT_TRUE(succeeded(KernelLaunch(*stream, kernels1[0])
                            .write(out)
                            .scalar(n)
                            .launch(driver::linear_launch(2, 256))));
  ASSERT_TRUE(succeeded(driver::synchronize(*stream)));
  EXPECT_EQ(value_of(driver::download<std::uint32_t>(*stream, out), "download"),
            doubled_indices(300));

  // What a cache bound to its first context would hand out: the driver
  // refuses device 0's kernel on device 1.
  EXPECT_TRUE(fails_with(
      KernelLaunch(*stream, kernels0[0]).write(out).scalar(n).launch(driver::linear_launch(2, 256)),
      CUDA_ERROR_INVALID_HANDLE));
}

TEST_F(TwoDevices, TwoContextsOfDeviceOneShareItsEntry) {
  auto first = open(1);
  auto second = open(1);
  ModuleSlot slot;
  const auto kernels = kernels_of(get_kernels(slot, first, kTestPtx, kNames));
  CallCounter calls;
  const auto shared = kernels_of(get_kernels(slot, second, kTestPtx, kNames));
  EXPECT_EQ(calls.made(), CallMap{});
  EXPECT_EQ(shared[0].handle, kernels[0].handle);
  EXPECT_EQ(shared[1].handle, kernels[1].handle);
}

TEST_F(TwoDevices, AFailedLoadOnOneDeviceLeavesTheOtherEntryAlone) {
  auto first = open(0);
  auto second = open(1);
  ModuleSlot slot;
  const auto kernels0 = kernels_of(get_kernels(slot, first, kTestPtx, kNames));
  const auto modules1 = live(1).modules;
  fail_call("cuModuleLoadData", CUDA_ERROR_OUT_OF_MEMORY);
  EXPECT_EQ(fault_of([&] { (void)get_kernels(slot, second, kTestPtx, kNames); }),
            "failed to load PTX module: DriverError(CUDA_ERROR_OUT_OF_MEMORY, \"out of memory\")");
  EXPECT_EQ(live(1).modules, modules1);

  CallCounter calls;
  const auto cached0 = kernels_of(get_kernels(slot, first, kTestPtx, kNames));
  EXPECT_EQ(calls.made(), CallMap{});
  EXPECT_EQ(cached0[0].handle, kernels0[0].handle);
  const auto kernels1 = kernels_of(get_kernels(slot, second, kTestPtx, kNames));
  EXPECT_EQ(calls.made("cuModuleLoadData"), 1u);
  EXPECT_EQ(live(1).modules, modules1 + 1);
  EXPECT_EQ(kernels1[0].module->context(), second);
}

TEST_F(TwoDevices, BindingSwitchesFromAnotherDevicesContext) {
  auto first = open(0);
  auto second = open(1);
  // Creating device 1's record left it current.
  ASSERT_EQ(current_context(), second->handle());
  CallCounter calls;
  ASSERT_TRUE(succeeded(first->bind_current()));
  EXPECT_EQ(calls.made(), (CallMap{{"cuCtxGetCurrent", 1}, {"cuCtxSetCurrent", 1}}));
  EXPECT_EQ(current_context(), first->handle());
  calls.restart();
  ASSERT_TRUE(succeeded(first->bind_current()));
  EXPECT_EQ(calls.made(), (CallMap{{"cuCtxGetCurrent", 1}}));

  // Work on device 1 after that lands on device 1.
  auto stream = std::make_shared<DeviceStream>(second);
  const auto allocations1 = live(1).allocations;
  const std::vector<std::uint32_t> host{5, 6};
  auto buffer = value_of(driver::upload<std::uint32_t>(stream, host), "upload");
  EXPECT_EQ(live(1).allocations, allocations1 + 1);
  EXPECT_EQ(current_context(), second->handle());
  EXPECT_EQ(value_of(driver::download<std::uint32_t>(*stream, buffer), "download"), host);
}

TEST_F(TwoDevices, AnOrdinalWithHighBitsNamesNoDevice) {
  // Its low 32 bits would be device 1.
  constexpr std::uint64_t ordinal = (std::uint64_t{1} << 32) | 1;
  EXPECT_TRUE(fails_with(DeviceContext::create(ordinal), CUDA_ERROR_INVALID_DEVICE));
  EXPECT_EQ(open(1)->device(), 1);
}

}  // namespace
}  // namespace vorlan::engine
