// Primary contexts: reference counting, state that lives and dies with them,
// and the current context of each thread.
#include <thread>

#include "emu_fixture.hpp"

namespace vorlan::emu::test {
namespace {

using ContextTest = EmuTest;

TEST_F(ContextTest, RetainsAreCountedPerDevice) {
  setenv("VORLAN_EMU_DEVICES", "2", 1);
  ASSERT_EQ(cu.cuInit(0), CUDA_SUCCESS);
  CUcontext first = nullptr, second = nullptr, other = nullptr;
  ASSERT_EQ(cu.cuDevicePrimaryCtxRetain(&first, 0), CUDA_SUCCESS);
  ASSERT_EQ(cu.cuDevicePrimaryCtxRetain(&second, 0), CUDA_SUCCESS);
  ASSERT_EQ(cu.cuDevicePrimaryCtxRetain(&other, 1), CUDA_SUCCESS);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(first, second) << "one primary context per device";
  EXPECT_NE(first, other);
  EXPECT_EQ(live(0).context_refs, 2u);
  EXPECT_EQ(live(1).context_refs, 1u);

  EXPECT_EQ(cu.cuDevicePrimaryCtxRelease_v2(0), CUDA_SUCCESS);
  EXPECT_EQ(live(0).context_refs, 1u);
  EXPECT_EQ(cu.cuDevicePrimaryCtxRelease_v2(0), CUDA_SUCCESS);
  EXPECT_EQ(live(0).context_refs, 0u);
  EXPECT_EQ(cu.cuDevicePrimaryCtxRelease_v2(0), CUDA_ERROR_INVALID_CONTEXT);
  EXPECT_EQ(live(1).context_refs, 1u) << "device 1 untouched";
}

TEST_F(ContextTest, RetainAndReleaseCheckTheirArguments) {
  ASSERT_EQ(cu.cuInit(0), CUDA_SUCCESS);
  CUcontext context = nullptr;
  EXPECT_EQ(cu.cuDevicePrimaryCtxRetain(&context, 1), CUDA_ERROR_INVALID_DEVICE);
  EXPECT_EQ(cu.cuDevicePrimaryCtxRetain(&context, -1), CUDA_ERROR_INVALID_DEVICE);
  EXPECT_EQ(cu.cuDevicePrimaryCtxRetain(nullptr, 0), CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(cu.cuDevicePrimaryCtxRelease_v2(1), CUDA_ERROR_INVALID_DEVICE);
  EXPECT_EQ(cu.cuDevicePrimaryCtxRelease_v2(0), CUDA_ERROR_INVALID_CONTEXT);
  EXPECT_EQ(live(0).context_refs, 0u);
}

TEST_F(ContextTest, LastReleaseDestroysEverythingTheContextHeld) {
  CUcontext context = open_device();
  CUdeviceptr address = allocate(1000);
  CUevent event = nullptr;
  ASSERT_EQ(cu.cuEventCreate(&event, 2), CUDA_SUCCESS);
  vemu_live_counts before = live();
  EXPECT_EQ(before.allocations, 1u);
  EXPECT_EQ(before.allocated_bytes, 1024u);
  EXPECT_EQ(before.events, 1u);

  ASSERT_EQ(cu.cuDevicePrimaryCtxRelease_v2(0), CUDA_SUCCESS);
  vemu_live_counts after = live();
  EXPECT_EQ(after.allocations, 0u);
  EXPECT_EQ(after.allocated_bytes, 0u);
  EXPECT_EQ(after.events, 0u);

  CUcontext again = nullptr;
  ASSERT_EQ(cu.cuDevicePrimaryCtxRetain(&again, 0), CUDA_SUCCESS);
  EXPECT_EQ(again, context) << "the handle of a primary context does not change";
  EXPECT_EQ(cu.cuMemFree_v2(address), CUDA_ERROR_INVALID_VALUE) << "memory of the old context";
  EXPECT_EQ(cu.cuEventDestroy_v2(event), CUDA_ERROR_INVALID_HANDLE) << "event of the old context";
  CUdeviceptr fresh = allocate(1000);
  EXPECT_NE(fresh, address) << "addresses of a destroyed context are not handed out again";
}

TEST_F(ContextTest, CurrentContextIsPerThread) {
  CUcontext context = open_device();
  CUcontext seen = nullptr;
  ASSERT_EQ(cu.cuCtxGetCurrent(&seen), CUDA_SUCCESS);
  EXPECT_EQ(seen, context);

  std::thread([&] {
    CUcontext on_thread = context;
    EXPECT_EQ(cu.cuCtxGetCurrent(&on_thread), CUDA_SUCCESS);
    EXPECT_EQ(on_thread, nullptr) << "a new thread starts without a current context";
    CUdeviceptr address = 0;
    EXPECT_EQ(cu.cuMemAlloc_v2(&address, 64), CUDA_ERROR_INVALID_CONTEXT);
    EXPECT_EQ(cu.cuCtxSetCurrent(context), CUDA_SUCCESS);
    EXPECT_EQ(cu.cuMemAlloc_v2(&address, 64), CUDA_SUCCESS);
    EXPECT_EQ(cu.cuMemFree_v2(address), CUDA_SUCCESS);
    EXPECT_EQ(cu.cuCtxSetCurrent(nullptr), CUDA_SUCCESS);
  }).join();

  ASSERT_EQ(cu.cuCtxGetCurrent(&seen), CUDA_SUCCESS);
  EXPECT_EQ(seen, context) << "the other thread's changes stay on that thread";
  EXPECT_EQ(cu.cuCtxGetCurrent(nullptr), CUDA_ERROR_INVALID_VALUE);
}

TEST_F(ContextTest, SettingContexts) {
  CUcontext context = open_device();
  EXPECT_EQ(cu.cuCtxSetCurrent(nullptr), CUDA_SUCCESS);
  CUcontext seen = context;
  ASSERT_EQ(cu.cuCtxGetCurrent(&seen), CUDA_SUCCESS);
  EXPECT_EQ(seen, nullptr);
  auto bogus = reinterpret_cast<CUcontext>(static_cast<std::uintptr_t>(0x1234));
  EXPECT_EQ(cu.cuCtxSetCurrent(bogus), CUDA_ERROR_INVALID_CONTEXT);
  ASSERT_EQ(cu.cuCtxGetCurrent(&seen), CUDA_SUCCESS);
  EXPECT_EQ(seen, nullptr) << "a refused handle does not become current";
}

TEST_F(ContextTest, CallsWithoutACurrentContextAreRefused) {
  CUcontext context = open_device();
  CUevent event = nullptr;
  ASSERT_EQ(cu.cuEventCreate(&event, 2), CUDA_SUCCESS);
  ASSERT_EQ(cu.cuCtxSetCurrent(nullptr), CUDA_SUCCESS);
  CUdeviceptr address = 0;
  CUmodule module = nullptr;
  std::size_t free = 0, total = 0;
  unsigned char host[4] = {};
  EXPECT_EQ(cu.cuMemAlloc_v2(&address, 16), CUDA_ERROR_INVALID_CONTEXT);
  EXPECT_EQ(cu.cuMemAllocAsync(&address, 16, nullptr), CUDA_ERROR_INVALID_CONTEXT);
  EXPECT_EQ(cu.cuMemGetInfo_v2(&free, &total), CUDA_ERROR_INVALID_CONTEXT);
  EXPECT_EQ(cu.cuMemcpyHtoDAsync_v2(address, host, 4, nullptr), CUDA_ERROR_INVALID_CONTEXT);
  EXPECT_EQ(cu.cuMemcpyDtoHAsync_v2(host, address, 4, nullptr), CUDA_ERROR_INVALID_CONTEXT);
  EXPECT_EQ(cu.cuStreamSynchronize(nullptr), CUDA_ERROR_INVALID_CONTEXT);
  EXPECT_EQ(cu.cuCtxSynchronize(), CUDA_ERROR_INVALID_CONTEXT);
  EXPECT_EQ(cu.cuEventCreate(&event, 2), CUDA_ERROR_INVALID_CONTEXT);
  EXPECT_EQ(cu.cuEventRecord(event, nullptr), CUDA_ERROR_INVALID_CONTEXT);
  EXPECT_EQ(cu.cuStreamWaitEvent(nullptr, event, 0), CUDA_ERROR_INVALID_CONTEXT);
  EXPECT_EQ(cu.cuModuleLoadData(&module, ".version 8.5\n"), CUDA_ERROR_INVALID_CONTEXT);
  EXPECT_EQ(cu.cuLaunchKernel(nullptr, 1, 1, 1, 1, 1, 1, 0, nullptr, nullptr, nullptr),
            CUDA_ERROR_INVALID_CONTEXT);
  // Objects that name their context are released without a current one.
  EXPECT_EQ(cu.cuEventDestroy_v2(event), CUDA_SUCCESS);
  ASSERT_EQ(cu.cuCtxSetCurrent(context), CUDA_SUCCESS);
  EXPECT_EQ(cu.cuCtxSynchronize(), CUDA_SUCCESS);
}

TEST_F(ContextTest, AReleasedContextStaysCurrentButRefusesWork) {
  CUcontext context = open_device();
  ASSERT_EQ(cu.cuDevicePrimaryCtxRelease_v2(0), CUDA_SUCCESS);
  CUcontext seen = nullptr;
  ASSERT_EQ(cu.cuCtxGetCurrent(&seen), CUDA_SUCCESS);
  EXPECT_EQ(seen, context);
  CUdeviceptr address = 0;
  EXPECT_EQ(cu.cuMemAlloc_v2(&address, 16), CUDA_ERROR_INVALID_CONTEXT);
  EXPECT_EQ(cu.cuStreamSynchronize(nullptr), CUDA_ERROR_INVALID_CONTEXT);
  ASSERT_EQ(cu.cuDevicePrimaryCtxRetain(&seen, 0), CUDA_SUCCESS);
  EXPECT_EQ(cu.cuMemAlloc_v2(&address, 16), CUDA_SUCCESS) << "retained again, it works again";
}

TEST_F(ContextTest, ResetForgetsEveryThreadsCurrentContext) {
  CUcontext context = open_device();
  std::thread([&] { EXPECT_EQ(cu.cuCtxSetCurrent(context), CUDA_SUCCESS); }).join();
  cu.reset();
  ASSERT_EQ(cu.cuInit(0), CUDA_SUCCESS);
  CUcontext seen = context;
  ASSERT_EQ(cu.cuCtxGetCurrent(&seen), CUDA_SUCCESS);
  EXPECT_EQ(seen, nullptr);
  EXPECT_EQ(live().context_refs, 0u);
}

TEST_F(ContextTest, ContextsOfTwoDevicesKeepTheirMemoryApart) {
  setenv("VORLAN_EMU_DEVICES", "2", 1);
  setenv("VORLAN_EMU_MEMORY", "4K", 1);
  CUcontext first = open_device(0);
  CUdeviceptr on_first = allocate(4096);
  CUcontext second = open_device(1);
  CUdeviceptr on_second = allocate(4096);
  EXPECT_NE(first, second);
  EXPECT_EQ(live(0).allocated_bytes, 4096u);
  EXPECT_EQ(live(1).allocated_bytes, 4096u) << "each device has its own capacity";
  unsigned char host[4] = {1, 2, 3, 4};
  EXPECT_EQ(cu.cuMemcpyHtoDAsync_v2(on_first, host, 4, nullptr), CUDA_ERROR_INVALID_VALUE)
      << "device 0 memory is not reachable from device 1's context";
  EXPECT_EQ(cu.cuMemcpyHtoDAsync_v2(on_second, host, 4, nullptr), CUDA_SUCCESS);
  EXPECT_EQ(cu.cuMemFree_v2(on_first), CUDA_SUCCESS) << "memory is freed by its address alone";
  EXPECT_EQ(live(0).allocations, 0u);
}

}  // namespace
}  // namespace vorlan::emu::test
