// The vemu_ control interface: injected failures, call counters, the report
// of live objects and the two resets.
#include <cstdint>

#include "emu_fixture.hpp"

namespace vorlan::emu::test {
namespace {

using ControlTest = EmuTest;

TEST_F(ControlTest, InjectedFailureReplacesTheNextCall) {
  open_device();
  ASSERT_EQ(cu.fail_call("cuMemAlloc_v2", 1, CUDA_ERROR_OUT_OF_MEMORY), 0);
  CUdeviceptr address = 0x55;
  EXPECT_EQ(cu.cuMemAlloc_v2(&address, 64), CUDA_ERROR_OUT_OF_MEMORY);
  EXPECT_EQ(address, 0x55u) << "the failed call did nothing";
  EXPECT_EQ(live().allocations, 0u);
  EXPECT_EQ(cu.cuMemAlloc_v2(&address, 64), CUDA_SUCCESS) << "only one call fails";
  EXPECT_EQ(live().allocations, 1u);
}

TEST_F(ControlTest, InjectedFailureHitsTheNthCall) {
  open_device();
  CUevent events[4] = {};
  ASSERT_EQ(cu.fail_call("cuEventCreate", 3, 999), 0);
  EXPECT_EQ(cu.cuEventCreate(&events[0], 2), CUDA_SUCCESS);
  EXPECT_EQ(cu.cuEventCreate(&events[1], 2), CUDA_SUCCESS);
  EXPECT_EQ(cu.cuEventCreate(&events[2], 2), 999u);
  EXPECT_EQ(cu.cuEventCreate(&events[3], 2), CUDA_SUCCESS);
  EXPECT_EQ(events[2], nullptr);
  EXPECT_EQ(live().events, 3u);
}

TEST_F(ControlTest, FailuresOfDifferentCallsAndEntriesAreIndependent) {
  open_device();
  ASSERT_EQ(cu.fail_call("cuStreamSynchronize", 2, 700), 0);
  ASSERT_EQ(cu.fail_call("cuStreamSynchronize", 1, 702), 0);
  ASSERT_EQ(cu.fail_call("cuCtxSynchronize", 1, 716), 0);
  EXPECT_EQ(cu.cuStreamSynchronize(nullptr), 702u);
  EXPECT_EQ(cu.cuStreamSynchronize(nullptr), 700u);
  EXPECT_EQ(cu.cuStreamSynchronize(nullptr), CUDA_SUCCESS);
  EXPECT_EQ(cu.cuCtxSynchronize(), 716u);
  EXPECT_EQ(cu.cuCtxSynchronize(), CUDA_SUCCESS);
  EXPECT_EQ(live().sticky_error, 0u) << "an injected failure leaves no fault behind";
}

TEST_F(ControlTest, InjectionWorksBeforeInitAndOnErrorText) {
  ASSERT_EQ(cu.fail_call("cuInit", 1, CUDA_ERROR_NO_DEVICE), 0);
  EXPECT_EQ(cu.cuInit(0), CUDA_ERROR_NO_DEVICE);
  int count = 0;
  EXPECT_EQ(cu.cuDeviceGetCount(&count), CUDA_ERROR_NOT_INITIALIZED)
      << "the failed cuInit did nothing";
  EXPECT_EQ(cu.cuInit(0), CUDA_SUCCESS);
  ASSERT_EQ(cu.fail_call("cuGetErrorString", 1, CUDA_ERROR_INVALID_VALUE), 0);
  const char* text = "untouched";
  EXPECT_EQ(cu.cuGetErrorString(0, &text), CUDA_ERROR_INVALID_VALUE);
  EXPECT_STREQ(text, "untouched");
}

TEST_F(ControlTest, BadInjectionsAreRefused) {
  EXPECT_EQ(cu.fail_call("cuMemAlloc", 1, 2), -1) << "unversioned name";
  EXPECT_EQ(cu.fail_call("vemu_reset", 1, 2), -1);
  EXPECT_EQ(cu.fail_call(nullptr, 1, 2), -1);
  EXPECT_EQ(cu.fail_call("cuMemAlloc_v2", 0, 2), -1);
  EXPECT_EQ(cu.fail_call("cuMemAlloc_v2", 1, 0), -1);
  EXPECT_EQ(cu.fail_call("cuCtxSynchronize", 1, 2), 0) << "extra entry points take injections";
}

TEST_F(ControlTest, EveryCallIsCounted) {
  EXPECT_EQ(cu.call_count("cuInit"), 0u);
  int count = 0;
  EXPECT_EQ(cu.cuDeviceGetCount(&count), CUDA_ERROR_NOT_INITIALIZED);
  EXPECT_EQ(cu.call_count("cuDeviceGetCount"), 1u) << "refused calls count";
  ASSERT_EQ(cu.fail_call("cuInit", 1, 999), 0);
  EXPECT_EQ(cu.cuInit(0), 999u);
  EXPECT_EQ(cu.cuInit(0), CUDA_SUCCESS);
  EXPECT_EQ(cu.call_count("cuInit"), 2u) << "injected failures count";
  const char* text = nullptr;
  cu.cuGetErrorString(1, &text);
  cu.cuGetErrorString(12345, &text);
  EXPECT_EQ(cu.call_count("cuGetErrorString"), 2u);
  EXPECT_EQ(cu.call_count("cuMemAlloc_v2"), 0u);
  EXPECT_EQ(cu.call_count("no_such_entry"), 0u);
  EXPECT_EQ(cu.call_count(nullptr), 0u);
}

TEST_F(ControlTest, ResetCountersDropsCountsAndPendingFailures) {
  open_device();
  ASSERT_EQ(cu.fail_call("cuCtxSynchronize", 2, 999), 0);
  EXPECT_EQ(cu.cuCtxSynchronize(), CUDA_SUCCESS);
  cu.reset_counters();
  EXPECT_EQ(cu.call_count("cuCtxSynchronize"), 0u);
  EXPECT_EQ(cu.call_count("cuInit"), 0u);
  EXPECT_EQ(cu.cuCtxSynchronize(), CUDA_SUCCESS);
  EXPECT_EQ(cu.cuCtxSynchronize(), CUDA_SUCCESS) << "the pending failure is gone";
  EXPECT_EQ(live().context_refs, 1u) << "driver state is kept";
}

TEST_F(ControlTest, ResetForgetsEverything) {
  open_device();
  allocate(64);
  ASSERT_EQ(cu.fail_call("cuInit", 1, 999), 0);
  cu.reset();
  vemu_live_counts counts{};
  EXPECT_EQ(cu.live(0, &counts, sizeof counts), -1) << "not initialised any more";
  int count = 0;
  EXPECT_EQ(cu.cuDeviceGetCount(&count), CUDA_ERROR_NOT_INITIALIZED);
  EXPECT_EQ(cu.call_count("cuDeviceGetCount"), 1u);
  EXPECT_EQ(cu.cuInit(0), CUDA_SUCCESS) << "the pending failure is gone";
  vemu_live_counts fresh = live();
  EXPECT_EQ(fresh.context_refs, 0u);
  EXPECT_EQ(fresh.allocations, 0u);
}

TEST_F(ControlTest, LiveReportCountsEachKindOfObject) {
  setenv("VORLAN_EMU_DEVICES", "2", 1);
  vemu_live_counts counts{};
  EXPECT_EQ(cu.live(0, &counts, sizeof counts), -1) << "before cuInit";
  open_device();
  allocate(100);
  allocate(300);
  CUevent event = nullptr;
  ASSERT_EQ(cu.cuEventCreate(&event, 2), CUDA_SUCCESS);
  vemu_live_counts now = live();
  EXPECT_EQ(now.allocations, 2u);
  EXPECT_EQ(now.allocated_bytes, 256u + 512u);
  EXPECT_EQ(now.events, 1u);
  EXPECT_EQ(now.modules, 0u);
  EXPECT_EQ(now.context_refs, 1u);
  EXPECT_EQ(now.pending_fault, 0u);
  EXPECT_EQ(now.sticky_error, 0u);
  vemu_live_counts other = live(1);
  EXPECT_EQ(other.allocations + other.events + other.context_refs, 0u);
  EXPECT_EQ(cu.live(2, &counts, sizeof counts), -1);
  EXPECT_EQ(cu.live(-1, &counts, sizeof counts), -1);
  EXPECT_EQ(cu.live(0, nullptr, sizeof(vemu_live_counts)), -1);
}

}  // namespace
}  // namespace vorlan::emu::test
