// Buffers on a device without memory-pool support. Allocation and release are
// then not stream-ordered: a buffer is freed only after its stream has drained,
// so that no work still using the memory can see it handed back.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "driver/context.hpp"
#include "driver/launch.hpp"
#include "driver/memory.hpp"
#include "software_gpu.hpp"

namespace vorlan::driver {
namespace {

using namespace vorlan::test;
using namespace vorlan::cuda;

// Read by every cuInit after a reset; set before anything loads the driver.
const bool no_pools = use_default_emu_configuration() && set_emu_variable("VORLAN_EMU_POOLS", "0");

class NoPools : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(no_pools);
    software_gpu().reset();
    context = value_of(DeviceContext::create(0), "DeviceContext::create");
    stream = std::make_shared<DeviceStream>(context);
  }

  void TearDown() override {
    stream.reset();
    context.reset();
    EXPECT_EQ(live().context_refs, 0u) << "a DeviceContext outlived its last holder";
  }

  // Leaves `code` as the context's deferred error: a buffer is released while
  // `entry_point` fails.
  void fail_teardown(const char* entry_point, CUresult code) {
    auto buffer = value_of(allocate<std::uint32_t>(stream, 4), "allocate");
    fail_call(entry_point, code);
    {
      [[maybe_unused]] auto released = std::move(buffer);
    }
  }

  KernelFunction test_kernel(std::string_view name) {
    auto module = value_of(load_module(context, kTestPtx), "load_module");
    return value_of(get_function(module, name), "get_function");
  }

  SharedContext context;
  SharedStream stream;
};

TEST_F(NoPools, TheContextUsesPlainAllocation) { EXPECT_FALSE(context->pooled_alloc()); }

TEST_F(NoPools, ABufferLifeWithoutMemoryPools) {
  const auto before = live();
  CallCounter calls;
  auto buffer = value_of(allocate<std::uint32_t>(stream, 3), "allocate");
  EXPECT_EQ(calls.made_besides_probe(), (CallMap{{"cuMemAlloc_v2", 1}, {"cuEventCreate", 2}}));
  EXPECT_EQ(live().allocations, before.allocations + 1);

  const std::vector<std::uint32_t> host{4, 5, 6};
  calls.restart();
  ASSERT_TRUE(succeeded(copy_to_device<std::uint32_t>(*stream, host, buffer)));
  EXPECT_EQ(calls.made_besides_probe(),
            (CallMap{{"cuMemcpyHtoDAsync_v2", 1}, {"cuEventRecord", 1}}));
  calls.restart();
  EXPECT_EQ(value_of(download<std::uint32_t>(*stream, buffer), "download"), host);
  EXPECT_EQ(calls.made_besides_probe(),
            (CallMap{{"cuMemcpyDtoHAsync_v2", 1}, {"cuEventRecord", 1}}));

  calls.restart();
  {
    [[maybe_unused]] auto released = std::move(buffer);
  }
  EXPECT_EQ(calls.made_besides_probe(), (CallMap{{"cuStreamWaitEvent", 2},
                                                 {"cuStreamSynchronize", 1},
                                                 {"cuMemFree_v2", 1},
                                                 {"cuEventDestroy_v2", 2}}));
  EXPECT_EQ(live().allocations, before.allocations);
  EXPECT_EQ(live().events, before.events);
}

TEST_F(NoPools, TheStreamDrainsBeforeTheMemoryIsFreed) {
  auto kernel = test_kernel("read_far_kernel");
  auto in = value_of(allocate<std::uint32_t>(stream, 1), "allocate");
  auto out = value_of(allocate<std::uint32_t>(stream, 1), "allocate");
  auto victim = value_of(allocate<std::uint32_t>(stream, 1), "allocate");
  // The kernel faults; the fault shows at the next wait for the stream.
  ASSERT_TRUE(
      succeeded(KernelLaunch(*stream, kernel).read(in).write(out).launch(linear_launch(1, 1))));
  const auto allocations = live().allocations;
  CallCounter calls;
  {
    [[maybe_unused]] auto released = std::move(victim);
  }
  EXPECT_EQ(calls.made("cuStreamSynchronize"), 1u);
  EXPECT_EQ(calls.made("cuMemFree_v2"), 1u);
  // Had the free come first, it would have gone through before the fault
  // was reported; drained first, the lost context refuses it.
  EXPECT_EQ(live().allocations, allocations);
  EXPECT_TRUE(fails_with(synchronize(*stream), CUDA_ERROR_ILLEGAL_ADDRESS));
}

TEST_F(NoPools, TeardownWithAPendingErrorSkipsTheDrainButStillFrees) {
  auto buffer = value_of(allocate<std::uint32_t>(stream, 2), "allocate");
  fail_teardown("cuEventDestroy_v2", CUDA_ERROR_INVALID_HANDLE);
  const auto before = live();
  CallCounter calls;
  {
    [[maybe_unused]] auto released = std::move(buffer);
  }
  EXPECT_EQ(calls.made(), (CallMap{{"cuMemFree_v2", 1}, {"cuEventDestroy_v2", 2}}));
  EXPECT_EQ(live().allocations, before.allocations - 1);
  EXPECT_EQ(live().events, before.events - 2);
  EXPECT_TRUE(fails_with(allocate<std::uint32_t>(stream, 1), CUDA_ERROR_INVALID_HANDLE));
  EXPECT_TRUE(succeeded(allocate<std::uint32_t>(stream, 1)));
}

TEST_F(NoPools, AFailedFreeIsDeferred) {
  fail_teardown("cuMemFree_v2", CUDA_ERROR_INVALID_VALUE);
  CallCounter calls;
  EXPECT_TRUE(fails_with(allocate<std::uint32_t>(stream, 1), CUDA_ERROR_INVALID_VALUE));
  EXPECT_EQ(calls.made(), CallMap{});
  EXPECT_TRUE(succeeded(allocate<std::uint32_t>(stream, 1)));
}

TEST_F(NoPools, AFailedDrainIsDeferredAndTheMemoryStillFreed) {
  auto buffer = value_of(allocate<std::uint32_t>(stream, 2), "allocate");
  const auto before = live();
  fail_call("cuStreamSynchronize", CUDA_ERROR_LAUNCH_TIMEOUT);
  CallCounter calls;
  {
    [[maybe_unused]] auto released = std::move(buffer);
  }
  EXPECT_EQ(calls.made("cuMemFree_v2"), 1u);
  EXPECT_EQ(live().allocations, before.allocations - 1);
  EXPECT_EQ(live().events, before.events - 2);
  EXPECT_TRUE(fails_with(synchronize(*stream), CUDA_ERROR_LAUNCH_TIMEOUT));
  EXPECT_TRUE(succeeded(synchronize(*stream)));
}

TEST_F(NoPools, TransfersAndLaunchesWork) {
  auto kernel = test_kernel("scale_add_kernel");
  const std::vector<std::uint32_t> host{1, 2, 3, 4};
  auto in = value_of(upload<std::uint32_t>(stream, host), "upload");
  auto out = value_of(allocate<std::uint32_t>(stream, 4), "allocate");
  const std::uint32_t n = 4;
  const std::uint32_t add = 1;
  ASSERT_TRUE(succeeded(KernelLaunch(*stream, kernel)
                            .read(in)
                            .write(out)
                            .scalar(n)
                            .scalar(add)
                            .launch(linear_launch(1, 64))));
  EXPECT_EQ(value_of(download<std::uint32_t>(*stream, out), "download"),
            (std::vector<std::uint32_t>{4, 7, 10, 13}));
}

TEST_F(NoPools, OutOfMemoryLeavesNothingAllocated) {
  const auto before = live();
  CallCounter calls;
  EXPECT_TRUE(fails_with(allocate<std::uint32_t>(stream, 3 * kGiB), CUDA_ERROR_OUT_OF_MEMORY));
  EXPECT_EQ(calls.made_besides_probe(), (CallMap{{"cuMemAlloc_v2", 1}}));
  EXPECT_EQ(live().allocations, before.allocations);
  EXPECT_EQ(live().events, before.events);
}

TEST_F(NoPools, ZeroElementBuffersMakeNoDriverCall) {
  CallCounter calls;
  {
    auto empty = value_of(allocate<std::uint32_t>(stream, 0), "allocate");
    auto uploaded =
        value_of(upload<std::uint32_t>(stream, std::span<const std::uint32_t>{}), "upload");
    EXPECT_TRUE(value_of(download<std::uint32_t>(*stream, empty), "download").empty());
    EXPECT_EQ(uploaded.length(), 0u);
  }
  EXPECT_EQ(calls.made(), CallMap{});
}

TEST_F(NoPools, AFailedEventCreationGivesTheMemoryBackAfterADrain) {
  const auto before = live();
  fail_call("cuEventCreate", CUDA_ERROR_OUT_OF_MEMORY, 2);
  CallCounter calls;
  EXPECT_TRUE(fails_with(allocate<std::uint32_t>(stream, 4), CUDA_ERROR_OUT_OF_MEMORY));
  EXPECT_EQ(calls.made("cuStreamSynchronize"), 1u);
  EXPECT_EQ(calls.made("cuMemFree_v2"), 1u);
  EXPECT_EQ(live().allocations, before.allocations);
  EXPECT_EQ(live().events, before.events);
}

}  // namespace
}  // namespace vorlan::driver
