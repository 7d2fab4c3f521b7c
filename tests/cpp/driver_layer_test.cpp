// The GPU driver layer against the software GPU: device contexts and their
// binding, deferred teardown errors, buffers and transfers, module loading
// and kernel launches. Driver calls are counted per entry point, so the tests
// pin down not only results but also which driver work each operation issues.
//
// Every test starts from a freshly reset software GPU with its default
// configuration (one device, 8 GiB, memory pools) and must give back every
// retain of the primary context it took.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "driver/context.hpp"
#include "driver/fault.hpp"
#include "driver/launch.hpp"
#include "driver/memory.hpp"
#include "software_gpu.hpp"

namespace vorlan::driver {
namespace {

using namespace vorlan::test;
using namespace vorlan::cuda;

// scalar() keeps its argument's address until launch(): a named value is
// taken, a temporary is not. (A type the driver cannot copy bytewise stops the
// build inside scalar() itself.)
template <class T>
concept TakenAsScalar =
    requires(KernelLaunch& launch, T&& value) { launch.scalar(std::forward<T>(value)); };
static_assert(TakenAsScalar<std::uint32_t&>);
static_assert(TakenAsScalar<const float&>);
static_assert(!TakenAsScalar<std::uint32_t>, "a temporary would be gone by launch()");
static_assert(!TakenAsScalar<const std::uint32_t>);

class DriverLayerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(use_default_emu_configuration());
    software_gpu().reset();
  }

  void TearDown() override {
    vemu_live_counts counts{};
    // -1: the test never got the driver initialised, so it retained nothing.
    if (software_gpu().live(0, &counts, sizeof counts) == int{sizeof counts}) {
      EXPECT_EQ(counts.context_refs, 0u) << "a DeviceContext outlived its last holder";
    }
  }

  static SharedContext open(std::uint64_t ordinal = 0) {
    return value_of(DeviceContext::create(ordinal), "DeviceContext::create");
  }

  static SharedStream stream_on(SharedContext context) {
    return std::make_shared<DeviceStream>(std::move(context));
  }

  template <class T>
  static DeviceBuffer<T> upload_ok(const SharedStream& stream, const std::vector<T>& host) {
    return value_of(upload<T>(stream, std::span<const T>(host)), "upload");
  }

  template <class T>
  static std::vector<T> download_ok(const SharedStream& stream, const DeviceBuffer<T>& buffer) {
    return value_of(download<T>(*stream, buffer), "download");
  }

  static KernelFunction test_kernel(const SharedContext& context, std::string_view name) {
    auto module = value_of(load_module(context, kTestPtx), "load_module");
    return value_of(get_function(module, name), "get_function");
  }

  // Launches double_index_kernel over out[0..n) in blocks of 256 threads.
  static DriverResult<> launch_double_index(const DeviceStream& stream,
                                            const KernelFunction& kernel,
                                            DeviceBuffer<std::uint32_t>& out, std::uint32_t n,
                                            std::uint32_t blocks) {
    return KernelLaunch(stream, kernel).write(out).scalar(n).launch(linear_launch(blocks, 256));
  }

  // Leaves `code` as the context's deferred error the way teardown does: a
  // buffer is released while `entry_point` fails.
  static void fail_teardown(const SharedStream& stream, const char* entry_point, CUresult code) {
    auto buffer = value_of(allocate<std::uint32_t>(stream, 4), "allocate");
    const auto before = call_count(entry_point);
    fail_call(entry_point, code);
    {
      [[maybe_unused]] auto released = std::move(buffer);
    }
    ASSERT_GT(call_count(entry_point), before) << entry_point << " was not part of the teardown";
  }
};

// ---------------------------------------------------------------------------
// Device context

TEST_F(DriverLayerTest, CreateRetainsThePrimaryContextAndMakesItCurrent) {
  init_driver();
  ASSERT_EQ(live().context_refs, 0u);
  CallCounter calls;
  auto context = open(0);
  // The device is initialised, found, retained and asked one attribute;
  // nothing else is queried.
  EXPECT_EQ(calls.made(), (CallMap{{"cuInit", 1},
                                   {"cuDeviceGet", 1},
                                   {"cuDevicePrimaryCtxRetain", 1},
                                   {"cuDeviceGetAttribute", 1},
                                   {"cuCtxGetCurrent", 1},
                                   {"cuCtxSetCurrent", 1}}));
  EXPECT_EQ(context->ordinal(), 0u);
  EXPECT_EQ(context->device(), 0);
  EXPECT_NE(context->handle(), nullptr);
  EXPECT_TRUE(context->pooled_alloc());
  EXPECT_EQ(current_context(), context->handle());
  EXPECT_EQ(live().context_refs, 1u);

  calls.restart();
  context.reset();
  EXPECT_EQ(calls.made("cuDevicePrimaryCtxRelease_v2"), 1u);
  EXPECT_EQ(live().context_refs, 0u);
}

TEST_F(DriverLayerTest, OrdinalBeyondTheLastDeviceIsInvalidAndRetainsNothing) {
  init_driver();
  const auto before = live().context_refs;
  CallCounter calls;
  auto context = DeviceContext::create(5);
  ASSERT_TRUE(fails_with(context, CUDA_ERROR_INVALID_DEVICE));
  EXPECT_EQ(to_string(context.error()),
            "DriverError(CUDA_ERROR_INVALID_DEVICE, \"invalid device ordinal\")");
  EXPECT_EQ(calls.made("cuDevicePrimaryCtxRetain"), 0u);
  EXPECT_EQ(live().context_refs, before);
}

TEST_F(DriverLayerTest, OrdinalsBeyondTheDriversIntNameNoDevice) {
  // Truncated to an int, each of these would be device 0 or 1.
  constexpr std::uint64_t two_to_32 = std::uint64_t{1} << 32;
  init_driver();
  for (std::uint64_t ordinal : {std::uint64_t{1} << 31, two_to_32, two_to_32 + 1,
                                std::uint64_t{1} << 63, ~std::uint64_t{0}}) {
    CallCounter calls;
    EXPECT_TRUE(fails_with(DeviceContext::create(ordinal), CUDA_ERROR_INVALID_DEVICE)) << ordinal;
    EXPECT_EQ(calls.made("cuDevicePrimaryCtxRetain"), 0u) << ordinal;
  }
  EXPECT_EQ(live().context_refs, 0u);
  // The largest ordinal the driver can be given still reaches it.
  CallCounter calls;
  EXPECT_TRUE(
      fails_with(DeviceContext::create(std::uint64_t{(1u << 31) - 1}), CUDA_ERROR_INVALID_DEVICE));
  EXPECT_EQ(calls.made("cuDeviceGet"), 1u);
  EXPECT_EQ(open(0)->ordinal(), 0u);
}

TEST_F(DriverLayerTest, TwoContextsOfOneOrdinalRetainTwiceAndReleaseTwice) {
  auto first = open(0);
  auto second = open(0);
  EXPECT_EQ(live().context_refs, 2u);
  EXPECT_EQ(first->handle(), second->handle());
  {
    auto stream = stream_on(first);
    auto buffer = upload_ok<std::uint32_t>(stream, {1, 2});
    EXPECT_EQ(download_ok(stream, buffer), (std::vector<std::uint32_t>{1, 2}));
  }
  {
    auto stream = stream_on(second);
    auto buffer = upload_ok<std::uint32_t>(stream, {3, 4});
    EXPECT_EQ(download_ok(stream, buffer), (std::vector<std::uint32_t>{3, 4}));
  }
  first.reset();
  EXPECT_EQ(live().context_refs, 1u);
  {
    // The primary context stays usable through the remaining retain.
    auto stream = stream_on(second);
    auto buffer = upload_ok<std::uint32_t>(stream, {5});
    EXPECT_EQ(download_ok(stream, buffer), (std::vector<std::uint32_t>{5}));
  }
  second.reset();
  EXPECT_EQ(live().context_refs, 0u);
}

TEST_F(DriverLayerTest, HoldersKeepTheContextAliveUntilTheLastGoes) {
  auto context = open();
  auto stream = stream_on(context);
  auto buffer = upload_ok<std::uint32_t>(stream, {1});
  auto module = value_of(load_module(context, kTestPtx), "load_module");
  context.reset();
  EXPECT_EQ(live().context_refs, 1u);
  stream.reset();
  EXPECT_EQ(live().context_refs, 1u);
  {
    [[maybe_unused]] auto released = std::move(buffer);
  }
  EXPECT_EQ(live().context_refs, 1u);
  EXPECT_EQ(live().allocations, 0u);
  EXPECT_EQ(live().modules, 1u);
  module.reset();
  EXPECT_EQ(live().context_refs, 0u);
}

TEST_F(DriverLayerTest, CreateFailsWithoutAnyDevice) {
  ASSERT_TRUE(set_emu_variable("VORLAN_EMU_DEVICES", "0"));
  CallCounter calls;
  EXPECT_TRUE(fails_with(DeviceContext::create(0), CUDA_ERROR_NO_DEVICE));
  EXPECT_EQ(calls.made(), (CallMap{{"cuInit", 1}}));
}

TEST_F(DriverLayerTest, CreateReturnsTheFailureOfEachStep) {
  init_driver();
  fail_call("cuDeviceGet", CUDA_ERROR_UNKNOWN);
  EXPECT_TRUE(fails_with(DeviceContext::create(0), CUDA_ERROR_UNKNOWN));
  fail_call("cuDevicePrimaryCtxRetain", CUDA_ERROR_OUT_OF_MEMORY);
  EXPECT_TRUE(fails_with(DeviceContext::create(0), CUDA_ERROR_OUT_OF_MEMORY));
  EXPECT_EQ(live().context_refs, 0u);
  fail_call("cuInit", CUDA_ERROR_NOT_INITIALIZED);
  EXPECT_TRUE(fails_with(DeviceContext::create(0), CUDA_ERROR_NOT_INITIALIZED));
  // Nothing of the failed attempts lingers.
  auto context = open();
  EXPECT_EQ(live().context_refs, 1u);
}

TEST_F(DriverLayerTest, CreateGivesTheRetainBackWhenThePoolQueryFails) {
  init_driver();
  fail_call("cuDeviceGetAttribute", CUDA_ERROR_INVALID_VALUE);
  CallCounter calls;
  EXPECT_TRUE(fails_with(DeviceContext::create(0), CUDA_ERROR_INVALID_VALUE));
  EXPECT_EQ(calls.made("cuDevicePrimaryCtxRetain"), 1u);
  EXPECT_EQ(calls.made("cuDevicePrimaryCtxRelease_v2"), 1u);
  EXPECT_EQ(live().context_refs, 0u);
}

TEST_F(DriverLayerTest, CreateGivesTheRetainBackWhenTheFirstBindFails) {
  init_driver();
  ASSERT_EQ(current_context(), nullptr);
  fail_call("cuCtxSetCurrent", CUDA_ERROR_INVALID_CONTEXT);
  CallCounter calls;
  EXPECT_TRUE(fails_with(DeviceContext::create(0), CUDA_ERROR_INVALID_CONTEXT));
  EXPECT_EQ(calls.made("cuDevicePrimaryCtxRetain"), 1u);
  EXPECT_EQ(calls.made("cuDevicePrimaryCtxRelease_v2"), 1u);
  EXPECT_EQ(live().context_refs, 0u);
}

TEST_F(DriverLayerTest, BindingAnAlreadyCurrentContextOnlyAsksTheDriver) {
  auto context = open();
  CallCounter calls;
  ASSERT_TRUE(succeeded(context->bind_current()));
  EXPECT_EQ(calls.made(), (CallMap{{"cuCtxGetCurrent", 1}}));
  EXPECT_EQ(current_context(), context->handle());
}

TEST_F(DriverLayerTest, BindingSetsTheContextWhenNoneIsCurrent) {
  auto context = open();
  clear_current_context();
  CallCounter calls;
  ASSERT_TRUE(succeeded(context->bind_current()));
  EXPECT_EQ(calls.made(), (CallMap{{"cuCtxGetCurrent", 1}, {"cuCtxSetCurrent", 1}}));
  EXPECT_EQ(current_context(), context->handle());

  // Every operation binds first, so work issued after the switch still lands
  // in this context.
  clear_current_context();
  auto stream = stream_on(context);
  auto buffer = upload_ok<std::uint32_t>(stream, {42});
  EXPECT_EQ(current_context(), context->handle());
  EXPECT_EQ(download_ok(stream, buffer), (std::vector<std::uint32_t>{42}));
}

TEST_F(DriverLayerTest, BindingReturnsTheDriversRefusal) {
  auto context = open();
  fail_call("cuCtxGetCurrent", CUDA_ERROR_UNKNOWN);
  EXPECT_TRUE(fails_with(context->bind_current(), CUDA_ERROR_UNKNOWN));
  clear_current_context();
  fail_call("cuCtxSetCurrent", CUDA_ERROR_INVALID_CONTEXT);
  EXPECT_TRUE(fails_with(context->bind_current(), CUDA_ERROR_INVALID_CONTEXT));
  EXPECT_EQ(current_context(), nullptr);
  EXPECT_TRUE(succeeded(context->bind_current()));
}

TEST_F(DriverLayerTest, AContextCreatedOnOneThreadWorksOnAnother) {
  auto context = open();
  auto stream = stream_on(context);
  auto kernel = test_kernel(context, "double_index_kernel");
  auto made_here = upload_ok<std::uint32_t>(stream, {1, 2, 3});

  CUcontext current_before = context->handle();
  std::vector<std::uint32_t> read_there;
  std::vector<std::uint32_t> launched_there;
  std::optional<DeviceBuffer<std::uint32_t>> made_there;
  std::thread worker([&] {
    try {
      current_before = current_context();
      read_there = download_ok(stream, made_here);
      auto out = value_of(allocate<std::uint32_t>(stream, 300), "allocate");
      EXPECT_TRUE(succeeded(launch_double_index(*stream, kernel, out, 300, 2)));
      EXPECT_TRUE(succeeded(synchronize(*stream)));
      launched_there = download_ok(stream, out);
      made_there.emplace(std::move(out));
    } catch (const std::exception& error) {
      ADD_FAILURE() << "on the worker thread: " << error.what();
    }
  });
  worker.join();

  EXPECT_EQ(current_before, nullptr) << "a new thread starts without a current context";
  EXPECT_EQ(read_there, (std::vector<std::uint32_t>{1, 2, 3}));
  EXPECT_EQ(launched_there, doubled_indices(300));
  // A buffer made on the worker is read and released here.
  ASSERT_TRUE(made_there.has_value());
  EXPECT_EQ(download_ok(stream, *made_there), doubled_indices(300));
  const auto events_before = live().events;
  made_there.reset();
  EXPECT_EQ(live().events, events_before - 2);
  EXPECT_EQ(live().allocations, 1u);
}

TEST_F(DriverLayerTest, DeviceNameIsReadWithoutBinding) {
  auto context = open();
  clear_current_context();
  CallCounter calls;
  auto name = context->device_name();
  ASSERT_TRUE(succeeded(name));
  EXPECT_EQ(*name, "vorlan software GPU");
  EXPECT_EQ(calls.made(), (CallMap{{"cuDeviceGetName", 1}}));

  fail_call("cuDeviceGetName", CUDA_ERROR_INVALID_DEVICE);
  EXPECT_TRUE(fails_with(context->device_name(), CUDA_ERROR_INVALID_DEVICE));
}

TEST_F(DriverLayerTest, DeviceNameLeavesAPendingDeferredErrorInPlace) {
  auto context = open();
  auto stream = stream_on(context);
  fail_teardown(stream, "cuEventDestroy_v2", CUDA_ERROR_INVALID_HANDLE);
  EXPECT_TRUE(succeeded(context->device_name()));
  EXPECT_TRUE(fails_with(synchronize(*stream), CUDA_ERROR_INVALID_HANDLE));
}

TEST_F(DriverLayerTest, TotalMemoryIsTheDevicesMemory) {
  auto context = open();
  clear_current_context();
  CallCounter calls;
  auto total = context->total_memory();
  ASSERT_TRUE(succeeded(total));
  EXPECT_EQ(*total, kDefaultDeviceMemory);
  EXPECT_EQ(calls.made(), (CallMap{{"cuDeviceTotalMem_v2", 1}}));

  fail_call("cuDeviceTotalMem_v2", CUDA_ERROR_UNKNOWN);
  EXPECT_TRUE(fails_with(context->total_memory(), CUDA_ERROR_UNKNOWN));
}

TEST_F(DriverLayerTest, TotalMemoryFollowsTheConfiguredSize) {
  ASSERT_TRUE(set_emu_variable("VORLAN_EMU_MEMORY", "3G"));
  auto context = open();
  auto total = context->total_memory();
  ASSERT_TRUE(succeeded(total));
  EXPECT_EQ(*total, 3 * kGiB);
}

TEST_F(DriverLayerTest, TotalMemoryReportsAndClearsAPendingDeferredError) {
  auto context = open();
  auto stream = stream_on(context);
  fail_teardown(stream, "cuMemFreeAsync", CUDA_ERROR_UNKNOWN);
  CallCounter calls;
  EXPECT_TRUE(fails_with(context->total_memory(), CUDA_ERROR_UNKNOWN));
  EXPECT_EQ(calls.made(), CallMap{});
  auto total = context->total_memory();
  ASSERT_TRUE(succeeded(total));
  EXPECT_EQ(*total, kDefaultDeviceMemory);
  // Cleared for every operation, not only for the next query.
  EXPECT_TRUE(succeeded(allocate<std::uint32_t>(stream, 1)));
}

// ---------------------------------------------------------------------------
// Deferred errors: a teardown failure is reported once, by the next fallible
// operation, which then issues no driver work.

TEST_F(DriverLayerTest, DeferredErrorFailsTheNextAllocationOnly) {
  auto context = open();
  auto stream = stream_on(context);
  fail_teardown(stream, "cuEventDestroy_v2", CUDA_ERROR_INVALID_HANDLE);
  const auto allocations = live().allocations;
  CallCounter calls;
  EXPECT_TRUE(fails_with(allocate<std::uint32_t>(stream, 8), CUDA_ERROR_INVALID_HANDLE));
  EXPECT_EQ(calls.made(), CallMap{});
  EXPECT_EQ(live().allocations, allocations);
  auto buffer = allocate<std::uint32_t>(stream, 8);
  EXPECT_TRUE(succeeded(buffer));
  EXPECT_EQ(live().allocations, allocations + 1);
}

TEST_F(DriverLayerTest, DeferredErrorFailsTheNextUploadOnly) {
  auto context = open();
  auto stream = stream_on(context);
  fail_teardown(stream, "cuMemFreeAsync", CUDA_ERROR_INVALID_VALUE);
  const std::vector<std::uint32_t> host{4, 5, 6};
  CallCounter calls;
  EXPECT_TRUE(fails_with(upload<std::uint32_t>(stream, host), CUDA_ERROR_INVALID_VALUE));
  EXPECT_EQ(calls.made(), CallMap{});
  auto buffer = upload_ok(stream, host);
  EXPECT_EQ(download_ok(stream, buffer), host);
}

TEST_F(DriverLayerTest, DeferredErrorFailsTheNextCopyToDeviceOnly) {
  auto context = open();
  auto stream = stream_on(context);
  auto buffer = upload_ok<std::uint32_t>(stream, {1, 2, 3});
  fail_teardown(stream, "cuMemFreeAsync", CUDA_ERROR_ILLEGAL_ADDRESS);
  const std::vector<std::uint32_t> host{7, 8, 9};
  CallCounter calls;
  EXPECT_TRUE(
      fails_with(copy_to_device<std::uint32_t>(*stream, host, buffer), CUDA_ERROR_ILLEGAL_ADDRESS));
  EXPECT_EQ(calls.made(), CallMap{});
  EXPECT_EQ(download_ok(stream, buffer), (std::vector<std::uint32_t>{1, 2, 3}));
  EXPECT_TRUE(succeeded(copy_to_device<std::uint32_t>(*stream, host, buffer)));
  EXPECT_EQ(download_ok(stream, buffer), host);
}

TEST_F(DriverLayerTest, DeferredErrorFailsTheNextDownloadOnly) {
  auto context = open();
  auto stream = stream_on(context);
  auto buffer = upload_ok<std::uint32_t>(stream, {1, 2, 3});
  fail_teardown(stream, "cuEventDestroy_v2", CUDA_ERROR_UNKNOWN);
  CallCounter calls;
  EXPECT_TRUE(fails_with(download<std::uint32_t>(*stream, buffer), CUDA_ERROR_UNKNOWN));
  EXPECT_EQ(calls.made(), CallMap{});
  EXPECT_EQ(download_ok(stream, buffer), (std::vector<std::uint32_t>{1, 2, 3}));
}

TEST_F(DriverLayerTest, DeferredErrorFailsTheNextLaunchBeforeTheDriverSeesIt) {
  auto context = open();
  auto stream = stream_on(context);
  auto kernel = test_kernel(context, "double_index_kernel");
  auto out = upload_ok<std::uint32_t>(stream, {9, 9, 9});
  fail_teardown(stream, "cuEventDestroy_v2", CUDA_ERROR_INVALID_HANDLE);
  CallCounter calls;
  EXPECT_TRUE(
      fails_with(launch_double_index(*stream, kernel, out, 3, 1), CUDA_ERROR_INVALID_HANDLE));
  EXPECT_EQ(calls.made(), CallMap{});
  EXPECT_EQ(download_ok(stream, out), (std::vector<std::uint32_t>{9, 9, 9}));

  calls.restart();
  EXPECT_TRUE(succeeded(launch_double_index(*stream, kernel, out, 3, 1)));
  EXPECT_EQ(calls.made("cuLaunchKernel"), 1u);
  EXPECT_EQ(download_ok(stream, out), doubled_indices(3));
}

TEST_F(DriverLayerTest, DeferredErrorFailsTheNextSynchronizeOnly) {
  auto context = open();
  auto stream = stream_on(context);
  fail_teardown(stream, "cuMemFreeAsync", CUDA_ERROR_LAUNCH_TIMEOUT);
  CallCounter calls;
  EXPECT_TRUE(fails_with(synchronize(*stream), CUDA_ERROR_LAUNCH_TIMEOUT));
  EXPECT_EQ(calls.made(), CallMap{});
  calls.restart();
  EXPECT_TRUE(succeeded(synchronize(*stream)));
  EXPECT_EQ(calls.made("cuStreamSynchronize"), 1u);
}

TEST_F(DriverLayerTest, DeferredErrorFailsTheNextModuleLoadOnly) {
  auto context = open();
  auto stream = stream_on(context);
  fail_teardown(stream, "cuEventDestroy_v2", CUDA_ERROR_INVALID_HANDLE);
  const auto modules = live().modules;
  CallCounter calls;
  EXPECT_TRUE(fails_with(load_module(context, kTestPtx), CUDA_ERROR_INVALID_HANDLE));
  EXPECT_EQ(calls.made(), CallMap{});
  EXPECT_EQ(live().modules, modules);
  EXPECT_TRUE(succeeded(load_module(context, kTestPtx)));
}

TEST_F(DriverLayerTest, AFailedModuleUnloadIsDeferred) {
  auto context = open();
  auto stream = stream_on(context);
  auto module = value_of(load_module(context, kTestPtx), "load_module");
  fail_call("cuModuleUnload", CUDA_ERROR_INVALID_HANDLE);
  module.reset();
  EXPECT_TRUE(fails_with(synchronize(*stream), CUDA_ERROR_INVALID_HANDLE));
  EXPECT_TRUE(succeeded(synchronize(*stream)));
}

TEST_F(DriverLayerTest, OnlyTheLatestTeardownFailureIsKept) {
  auto context = open();
  auto stream = stream_on(context);
  auto buffer = value_of(allocate<std::uint32_t>(stream, 4), "allocate");
  // The read event's destruction fails first, then the write event's.
  fail_call("cuEventDestroy_v2", CUDA_ERROR_INVALID_HANDLE, 1);
  fail_call("cuEventDestroy_v2", CUDA_ERROR_UNKNOWN, 2);
  {
    [[maybe_unused]] auto released = std::move(buffer);
  }
  EXPECT_TRUE(fails_with(synchronize(*stream), CUDA_ERROR_UNKNOWN));
  EXPECT_TRUE(succeeded(synchronize(*stream)));
}

TEST_F(DriverLayerTest, TeardownWithAPendingErrorSkipsBindingButStillReleases) {
  auto context = open();
  auto stream = stream_on(context);
  auto buffer = upload_ok<std::uint32_t>(stream, {1, 2});
  fail_teardown(stream, "cuEventDestroy_v2", CUDA_ERROR_INVALID_HANDLE);
  const auto before = live();
  clear_current_context();
  CallCounter calls;
  {
    [[maybe_unused]] auto released = std::move(buffer);
  }
  EXPECT_EQ(calls.made(), (CallMap{{"cuMemFreeAsync", 1}, {"cuEventDestroy_v2", 2}}));
  EXPECT_EQ(live().allocations, before.allocations - 1);
  EXPECT_EQ(live().events, before.events - 2);
  EXPECT_TRUE(fails_with(synchronize(*stream), CUDA_ERROR_INVALID_HANDLE));
}

TEST_F(DriverLayerTest, StreamTeardownKeepsAPendingError) {
  auto context = open();
  auto stream = stream_on(context);
  fail_teardown(stream, "cuMemFreeAsync", CUDA_ERROR_UNKNOWN);
  CallCounter calls;
  stream.reset();
  EXPECT_EQ(calls.made(), CallMap{}) << "the null stream is never destroyed";
  EXPECT_TRUE(fails_with(context->bind_current(), CUDA_ERROR_UNKNOWN));
}

TEST_F(DriverLayerTest, DeferredErrorsBelongToTheirContextRecord) {
  auto failing = open();
  auto healthy = open();
  auto failing_stream = stream_on(failing);
  auto healthy_stream = stream_on(healthy);
  fail_teardown(failing_stream, "cuEventDestroy_v2", CUDA_ERROR_INVALID_HANDLE);
  EXPECT_TRUE(succeeded(synchronize(*healthy_stream)));
  failing_stream.reset();
  CallCounter calls;
  // Its teardown does not bind past the pending error but still releases.
  failing.reset();
  EXPECT_EQ(calls.made(), (CallMap{{"cuDevicePrimaryCtxRelease_v2", 1}}));
  EXPECT_EQ(live().context_refs, 1u);
  EXPECT_TRUE(succeeded(synchronize(*healthy_stream)));
}

// ---------------------------------------------------------------------------
// Buffers and transfers

TEST_F(DriverLayerTest, UploadOfOneZeroDownloadsOneZero) {
  auto context = open();
  auto stream = stream_on(context);
  auto buffer = upload_ok<std::uint64_t>(stream, {0});
  EXPECT_EQ(buffer.length(), 1u);
  EXPECT_EQ(download_ok(stream, buffer), (std::vector<std::uint64_t>{0}));
}

TEST_F(DriverLayerTest, EveryElementTypeRoundTripsBitForBit) {
  auto context = open();
  auto stream = stream_on(context);
  const std::vector<std::uint64_t> wide{0xDEADBEEFCAFEF00Dull, 0, ~std::uint64_t{0}};
  const std::vector<std::uint8_t> bytes{0, 1, 0x7f, 0x80, 0xff};
  const std::vector<float> floats{0.0f, -0.0f, 1.5f, -3.25e-20f, 6.0e30f};
  const std::vector<std::uint32_t> words{0x01020304u, 0xffffffffu};
  auto wide_buffer = upload_ok(stream, wide);
  auto byte_buffer = upload_ok(stream, bytes);
  auto float_buffer = upload_ok(stream, floats);
  auto word_buffer = upload_ok(stream, words);
  EXPECT_EQ(download_ok(stream, wide_buffer), wide);
  EXPECT_EQ(download_ok(stream, byte_buffer), bytes);
  const auto floats_back = download_ok(stream, float_buffer);
  ASSERT_EQ(floats_back.size(), floats.size());
  for (std::size_t i = 0; i < floats.size(); ++i) {
    EXPECT_EQ(std::bit_cast<std::uint32_t>(floats_back[i]), std::bit_cast<std::uint32_t>(floats[i]))
        << "element " << i;
  }
  EXPECT_EQ(download_ok(stream, word_buffer), words);
  // Each allocation holds exactly its elements (rounded to the driver's
  // granularity of 256 bytes).
  EXPECT_EQ(live().allocations, 4u);
  EXPECT_EQ(live().allocated_bytes, 4u * 256u);
}

TEST_F(DriverLayerTest, CopyToDeviceChangesOnlyTheLeadingElements) {
  auto context = open();
  auto stream = stream_on(context);
  auto buffer = upload_ok<std::uint32_t>(stream, {10, 11, 12, 13, 14});
  const std::vector<std::uint32_t> prefix{1, 2, 3};
  CallCounter calls;
  ASSERT_TRUE(succeeded(copy_to_device<std::uint32_t>(*stream, prefix, buffer)));
  EXPECT_EQ(calls.made_besides_probe(),
            (CallMap{{"cuMemcpyHtoDAsync_v2", 1}, {"cuEventRecord", 1}}));
  EXPECT_EQ(download_ok(stream, buffer), (std::vector<std::uint32_t>{1, 2, 3, 13, 14}));

  const std::vector<std::uint32_t> single{77};
  ASSERT_TRUE(succeeded(copy_to_device<std::uint32_t>(*stream, single, buffer)));
  EXPECT_EQ(download_ok(stream, buffer), (std::vector<std::uint32_t>{77, 2, 3, 13, 14}));
}

// Each element size fills through the entry point of its width; an 8-byte
// value whose halves agree fills as twice as many words.
TEST_F(DriverLayerTest, FillsSetEveryElementWithOneCallAndARecord) {
  auto context = open();
  auto stream = stream_on(context);
  auto bytes = upload_ok<std::uint8_t>(stream, {1, 2, 3, 4, 5, 6, 7});
  auto words = upload_ok<std::uint32_t>(stream, {1, 2, 3});
  auto floats = upload_ok<float>(stream, {1.0f, 2.0f});
  auto wide = upload_ok<std::uint64_t>(stream, {1, 2, 3});
  struct Case {
    std::function<DriverResult<>()> fill;
    const char* entry;
  };
  const Case cases[] = {
      {[&] { return fill<std::uint8_t>(*stream, bytes, 0xAB); }, "cuMemsetD8Async"},
      {[&] { return fill<std::uint32_t>(*stream, words, 0xDEADBEEF); }, "cuMemsetD32Async"},
      {[&] { return fill<float>(*stream, floats, -0.5f); }, "cuMemsetD32Async"},
      {[&] { return fill<std::uint64_t>(*stream, wide, ~std::uint64_t{0}); }, "cuMemsetD32Async"},
  };
  for (const Case& c : cases) {
    CallCounter calls;
    ASSERT_TRUE(succeeded(c.fill())) << c.entry;
    EXPECT_EQ(calls.made_besides_probe(), (CallMap{{c.entry, 1}, {"cuEventRecord", 1}}));
  }
  EXPECT_EQ(download_ok(stream, bytes), std::vector<std::uint8_t>(7, 0xAB));
  EXPECT_EQ(download_ok(stream, words), std::vector<std::uint32_t>(3, 0xDEADBEEF));
  EXPECT_EQ(download_ok(stream, floats), std::vector<float>(2, -0.5f));
  EXPECT_EQ(download_ok(stream, wide), std::vector<std::uint64_t>(3, ~std::uint64_t{0}));

  // A value the word fill cannot make is a fault, before any call.
  CallCounter calls;
  EXPECT_THROW((void)fill<std::uint64_t>(*stream, wide, 1), Fault);
  EXPECT_EQ(calls.made(), CallMap{});
  EXPECT_EQ(download_ok(stream, wide), std::vector<std::uint64_t>(3, ~std::uint64_t{0}));
}

TEST_F(DriverLayerTest, AFailedFillIsReturnedAndStillRecordsTheWrite) {
  auto context = open();
  auto stream = stream_on(context);
  auto words = upload_ok<std::uint32_t>(stream, {4, 5});
  software_gpu().fail_call("cuMemsetD32Async", 1, CUDA_ERROR_INVALID_VALUE);
  CallCounter calls;
  const auto filled = fill<std::uint32_t>(*stream, words, 0);
  ASSERT_FALSE(filled.has_value());
  EXPECT_EQ(filled.error().code(), CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(calls.made_besides_probe(), (CallMap{{"cuMemsetD32Async", 1}, {"cuEventRecord", 1}}));
  EXPECT_EQ(download_ok(stream, words), (std::vector<std::uint32_t>{4, 5}));
}

TEST_F(DriverLayerTest, CopyIntoAShorterBufferIsAFaultAndTouchesNothing) {
  auto context = open();
  auto stream = stream_on(context);
  auto buffer = upload_ok<std::uint32_t>(stream, {5, 6});
  const std::vector<std::uint32_t> longer{1, 2, 3};
  CallCounter calls;
  try {
    (void)copy_to_device<std::uint32_t>(*stream, longer, buffer);
    ADD_FAILURE() << "no fault";
  } catch (const Fault& fault) {
    EXPECT_STREQ(fault.what(), "assertion failed: dst.len() >= src.len()");
  }
  EXPECT_EQ(calls.made(), CallMap{});
  EXPECT_EQ(download_ok(stream, buffer), (std::vector<std::uint32_t>{5, 6}));

  // Into an empty buffer even one element is too many.
  auto empty = value_of(allocate<std::uint32_t>(stream, 0), "allocate");
  EXPECT_THROW((void)copy_to_device<std::uint32_t>(*stream, std::span(longer).first(1), empty),
               Fault);
}

TEST_F(DriverLayerTest, DownloadRightAfterALaunchSeesTheKernelsResults) {
  auto context = open();
  auto stream = stream_on(context);
  auto kernel = test_kernel(context, "double_index_kernel");
  auto out = value_of(allocate<std::uint32_t>(stream, 600), "allocate");
  CallCounter calls;
  ASSERT_TRUE(succeeded(launch_double_index(*stream, kernel, out, 600, 3)));
  EXPECT_EQ(download_ok(stream, out), doubled_indices(600));
  EXPECT_EQ(calls.made("cuStreamSynchronize"), 0u);
}

TEST_F(DriverLayerTest, ABufferLifeWithMemoryPools) {
  auto context = open();
  ASSERT_TRUE(context->pooled_alloc());
  auto stream = stream_on(context);
  const auto before = live();

  CallCounter calls;
  auto buffer = value_of(allocate<std::uint32_t>(stream, 3), "allocate");
  EXPECT_EQ(calls.made_besides_probe(), (CallMap{{"cuMemAllocAsync", 1}, {"cuEventCreate", 2}}));
  EXPECT_EQ(live().allocations, before.allocations + 1);
  EXPECT_EQ(live().events, before.events + 2);

  const std::vector<std::uint32_t> host{1, 2, 3};
  calls.restart();
  ASSERT_TRUE(succeeded(copy_to_device<std::uint32_t>(*stream, host, buffer)));
  EXPECT_EQ(calls.made_besides_probe(),
            (CallMap{{"cuMemcpyHtoDAsync_v2", 1}, {"cuEventRecord", 1}}));

  calls.restart();
  EXPECT_EQ(download_ok(stream, buffer), host);
  EXPECT_EQ(calls.made_besides_probe(),
            (CallMap{{"cuMemcpyDtoHAsync_v2", 1}, {"cuEventRecord", 1}}));

  calls.restart();
  {
    [[maybe_unused]] auto released = std::move(buffer);
  }
  EXPECT_EQ(calls.made_besides_probe(),
            (CallMap{{"cuStreamWaitEvent", 2}, {"cuMemFreeAsync", 1}, {"cuEventDestroy_v2", 2}}));
  EXPECT_EQ(live().allocations, before.allocations);
  EXPECT_EQ(live().allocated_bytes, before.allocated_bytes);
  EXPECT_EQ(live().events, before.events);
}

TEST_F(DriverLayerTest, ReleaseDestroysTheReadEventBeforeTheWriteEvent) {
  auto context = open();
  auto stream = stream_on(context);
  auto buffer = upload_ok<std::uint32_t>(stream, {1, 2});
  const CUevent read = buffer.raw().read_event();
  const CUevent write = buffer.raw().write_event();
  ASSERT_NE(read, write);
  // The first destroy fails and leaves its event alive: that must be the
  // read event, the write event having gone second.
  software_gpu().fail_call("cuEventDestroy_v2", 1, CUDA_ERROR_UNKNOWN);
  {
    [[maybe_unused]] auto released = std::move(buffer);
  }
  EXPECT_EQ(live().events, 1u);
  const DriverApi& api = driver_api();
  EXPECT_NE(api.cuEventDestroy_v2(write), CUDA_SUCCESS);
  EXPECT_EQ(api.cuEventDestroy_v2(read), CUDA_SUCCESS);
  EXPECT_EQ(context->take_deferred(), CUDA_ERROR_UNKNOWN);
}

TEST_F(DriverLayerTest, UploadIsOneAllocationAndOneCopy) {
  auto context = open();
  auto stream = stream_on(context);
  const std::vector<std::uint32_t> host{3, 1, 4, 1, 5};
  CallCounter calls;
  auto buffer = upload_ok(stream, host);
  EXPECT_EQ(calls.made_besides_probe(), (CallMap{{"cuMemAllocAsync", 1},
                                                 {"cuEventCreate", 2},
                                                 {"cuMemcpyHtoDAsync_v2", 1},
                                                 {"cuEventRecord", 1}}));
  EXPECT_EQ(buffer.length(), host.size());
  EXPECT_EQ(download_ok(stream, buffer), host);
}

TEST_F(DriverLayerTest, ZeroElementBuffersMakeNoDriverCall) {
  auto context = open();
  auto stream = stream_on(context);
  const auto before = live();
  // Binding is skipped too, so not even the current context is looked at.
  clear_current_context();
  CallCounter calls;
  {
    auto allocated = value_of(allocate<std::uint32_t>(stream, 0), "allocate");
    auto uploaded = upload_ok<std::uint32_t>(stream, {});
    auto bytes = upload_ok<std::uint8_t>(stream, {});
    auto wide = value_of(allocate<std::uint64_t>(stream, 0), "allocate");
    EXPECT_EQ(allocated.length(), 0u);
    EXPECT_EQ(uploaded.length(), 0u);
    const std::vector<std::uint32_t> nothing;
    EXPECT_TRUE(succeeded(copy_to_device<std::uint32_t>(*stream, nothing, allocated)));
    EXPECT_TRUE(succeeded(fill<std::uint32_t>(*stream, allocated, 0)));
    EXPECT_TRUE(succeeded(fill<std::uint64_t>(*stream, wide, 0)));
    EXPECT_TRUE(succeeded(fill<std::uint8_t>(*stream, bytes, 0)));
    EXPECT_TRUE(download_ok(stream, allocated).empty());
    EXPECT_TRUE(download_ok(stream, uploaded).empty());
    EXPECT_TRUE(download_ok(stream, bytes).empty());
    EXPECT_TRUE(download_ok(stream, wide).empty());
    auto moved = std::move(allocated);
    EXPECT_EQ(moved.length(), 0u);
  }
  EXPECT_EQ(calls.made(), CallMap{});
  EXPECT_EQ(live().allocations, before.allocations);
  EXPECT_EQ(live().events, before.events);
  EXPECT_EQ(current_context(), nullptr);
}

TEST_F(DriverLayerTest, AFailedEventRecordDoesNotFailItsCopy) {
  auto context = open();
  auto stream = stream_on(context);
  auto buffer = upload_ok<std::uint32_t>(stream, {0, 0});
  const std::vector<std::uint32_t> host{21, 22};
  fail_call("cuEventRecord", CUDA_ERROR_INVALID_HANDLE);
  CallCounter calls;
  EXPECT_TRUE(succeeded(copy_to_device<std::uint32_t>(*stream, host, buffer)));
  EXPECT_EQ(calls.made("cuEventRecord"), 1u);
  calls.restart();
  EXPECT_TRUE(fails_with(allocate<std::uint32_t>(stream, 2), CUDA_ERROR_INVALID_HANDLE));
  EXPECT_EQ(calls.made(), CallMap{});
  // The copy itself went through.
  EXPECT_EQ(download_ok(stream, buffer), host);
  EXPECT_TRUE(succeeded(allocate<std::uint32_t>(stream, 2)));
}

TEST_F(DriverLayerTest, AFailedEventRecordDoesNotFailItsDownload) {
  auto context = open();
  auto stream = stream_on(context);
  auto buffer = upload_ok<std::uint32_t>(stream, {31, 32, 33});
  fail_call("cuEventRecord", CUDA_ERROR_UNKNOWN);
  EXPECT_EQ(download_ok(stream, buffer), (std::vector<std::uint32_t>{31, 32, 33}));
  const std::vector<std::uint32_t> host{1};
  EXPECT_TRUE(fails_with(copy_to_device<std::uint32_t>(*stream, host, buffer), CUDA_ERROR_UNKNOWN));
  EXPECT_TRUE(succeeded(copy_to_device<std::uint32_t>(*stream, host, buffer)));
}

TEST_F(DriverLayerTest, OutOfMemoryLeavesNothingAllocated) {
  auto context = open();
  auto stream = stream_on(context);
  const auto before = live();
  CallCounter calls;
  // 3 Gi elements of 4 bytes are 12 GiB, more than the device's 8 GiB.
  EXPECT_TRUE(fails_with(allocate<std::uint32_t>(stream, 3 * kGiB), CUDA_ERROR_OUT_OF_MEMORY));
  EXPECT_EQ(calls.made_besides_probe(), (CallMap{{"cuMemAllocAsync", 1}}));
  EXPECT_EQ(live().allocations, before.allocations);
  EXPECT_EQ(live().allocated_bytes, before.allocated_bytes);
  EXPECT_EQ(live().events, before.events);
  // An out-of-memory refusal is the allocation's own result, not a deferred one.
  EXPECT_TRUE(succeeded(synchronize(*stream)));
}

TEST_F(DriverLayerTest, OutOfMemoryOnceTheDeviceIsFull) {
  ASSERT_TRUE(set_emu_variable("VORLAN_EMU_MEMORY", "1M"));
  auto context = open();
  auto stream = stream_on(context);
  auto whole = value_of(allocate<std::uint8_t>(stream, std::uint64_t{1} << 20), "allocate");
  const auto full = live();
  const std::vector<std::uint8_t> one{1};
  CallCounter calls;
  EXPECT_TRUE(fails_with(upload<std::uint8_t>(stream, one), CUDA_ERROR_OUT_OF_MEMORY));
  EXPECT_EQ(calls.made_besides_probe(), (CallMap{{"cuMemAllocAsync", 1}}));
  EXPECT_EQ(live().allocations, full.allocations);
  EXPECT_EQ(live().events, full.events);
  {
    [[maybe_unused]] auto released = std::move(whole);
  }
  auto small = upload_ok(stream, one);
  EXPECT_EQ(download_ok(stream, small), one);
}

TEST_F(DriverLayerTest, AFailedUploadCopyReleasesTheNewBuffer) {
  auto context = open();
  auto stream = stream_on(context);
  const auto before = live();
  const std::vector<std::uint32_t> host{1, 2, 3};
  fail_call("cuMemcpyHtoDAsync_v2", CUDA_ERROR_INVALID_VALUE);
  CallCounter calls;
  EXPECT_TRUE(fails_with(upload<std::uint32_t>(stream, host), CUDA_ERROR_INVALID_VALUE));
  // The write event is recorded even for the refused copy; then the buffer
  // goes as every buffer does.
  EXPECT_EQ(calls.made_besides_probe(), (CallMap{{"cuMemAllocAsync", 1},
                                                 {"cuEventCreate", 2},
                                                 {"cuMemcpyHtoDAsync_v2", 1},
                                                 {"cuEventRecord", 1},
                                                 {"cuStreamWaitEvent", 2},
                                                 {"cuMemFreeAsync", 1},
                                                 {"cuEventDestroy_v2", 2}}));
  EXPECT_EQ(live().allocations, before.allocations);
  EXPECT_EQ(live().events, before.events);
  EXPECT_TRUE(succeeded(synchronize(*stream)));
}

TEST_F(DriverLayerTest, AFailedDownloadCopyIsReturned) {
  auto context = open();
  auto stream = stream_on(context);
  auto buffer = upload_ok<std::uint32_t>(stream, {1, 2, 3});
  fail_call("cuMemcpyDtoHAsync_v2", CUDA_ERROR_ILLEGAL_ADDRESS);
  CallCounter calls;
  EXPECT_TRUE(fails_with(download<std::uint32_t>(*stream, buffer), CUDA_ERROR_ILLEGAL_ADDRESS));
  EXPECT_EQ(calls.made_besides_probe(),
            (CallMap{{"cuMemcpyDtoHAsync_v2", 1}, {"cuEventRecord", 1}}));
  EXPECT_EQ(download_ok(stream, buffer), (std::vector<std::uint32_t>{1, 2, 3}));
}

TEST_F(DriverLayerTest, AFailedEventCreationGivesBackTheFirstEventAndTheMemory) {
  auto context = open();
  auto stream = stream_on(context);
  const auto before = live();
  fail_call("cuEventCreate", CUDA_ERROR_OUT_OF_MEMORY, 2);
  CallCounter calls;
  EXPECT_TRUE(fails_with(allocate<std::uint32_t>(stream, 4), CUDA_ERROR_OUT_OF_MEMORY));
  EXPECT_EQ(calls.made("cuEventCreate"), 2u);
  EXPECT_EQ(calls.made("cuEventDestroy_v2"), 1u);
  EXPECT_EQ(calls.made("cuMemFreeAsync"), 1u);
  EXPECT_EQ(live().events, before.events);
  EXPECT_EQ(live().allocations, before.allocations);

  fail_call("cuEventCreate", CUDA_ERROR_UNKNOWN, 1);
  calls.restart();
  EXPECT_TRUE(fails_with(allocate<std::uint32_t>(stream, 4), CUDA_ERROR_UNKNOWN));
  EXPECT_EQ(calls.made("cuEventCreate"), 1u);
  EXPECT_EQ(calls.made("cuEventDestroy_v2"), 0u);
  EXPECT_EQ(calls.made("cuMemFreeAsync"), 1u);
  EXPECT_EQ(live().events, before.events);
  EXPECT_EQ(live().allocations, before.allocations);
  // The frees went through: nothing is left for the next operation to report.
  EXPECT_TRUE(succeeded(synchronize(*stream)));
}

TEST_F(DriverLayerTest, MovingABufferMovesItsOwnership) {
  auto context = open();
  auto stream = stream_on(context);
  auto target = upload_ok<std::uint32_t>(stream, {1});
  auto source = upload_ok<std::uint32_t>(stream, {2, 3});
  ASSERT_EQ(live().allocations, 2u);
  // Assigning over a buffer releases what it held.
  target = std::move(source);
  EXPECT_EQ(live().allocations, 1u);
  EXPECT_EQ(live().events, 2u);
  EXPECT_EQ(download_ok(stream, target), (std::vector<std::uint32_t>{2, 3}));
  CallCounter calls;
  {
    [[maybe_unused]] auto moved_from = std::move(source);
  }
  EXPECT_EQ(calls.made(), CallMap{});
  EXPECT_EQ(live().allocations, 1u);
}

// ---------------------------------------------------------------------------
// Modules and launches

TEST_F(DriverLayerTest, ALaunchIsOneDriverCallBesidesTheBind) {
  auto context = open();
  auto stream = stream_on(context);
  auto kernel = test_kernel(context, "double_index_kernel");
  auto out = value_of(allocate<std::uint32_t>(stream, 256), "allocate");
  CallCounter calls;
  ASSERT_TRUE(succeeded(launch_double_index(*stream, kernel, out, 256, 1)));
  EXPECT_EQ(calls.made(), (CallMap{{"cuCtxGetCurrent", 1}, {"cuLaunchKernel", 1}}));

  clear_current_context();
  calls.restart();
  ASSERT_TRUE(succeeded(launch_double_index(*stream, kernel, out, 256, 1)));
  EXPECT_EQ(calls.made(),
            (CallMap{{"cuCtxGetCurrent", 1}, {"cuCtxSetCurrent", 1}, {"cuLaunchKernel", 1}}));
  EXPECT_TRUE(succeeded(synchronize(*stream)));
  EXPECT_EQ(download_ok(stream, out), doubled_indices(256));
}

TEST_F(DriverLayerTest, ParametersReachTheKernelInOrder) {
  auto context = open();
  auto stream = stream_on(context);
  auto kernel = test_kernel(context, "scale_add_kernel");
  auto in = upload_ok<std::uint32_t>(stream, {5, 6, 7, 8});
  auto out = upload_ok<std::uint32_t>(stream, {0, 0, 0, 99});
  const std::uint32_t n = 3;
  std::uint32_t add = 100;
  KernelLaunch launch(*stream, kernel);
  launch.read(in).write(out).scalar(n).scalar(add);
  ASSERT_TRUE(succeeded(launch.launch(linear_launch(1, 256))));
  // The driver took the values when it accepted the launch.
  add = 1000;
  EXPECT_EQ(download_ok(stream, out), (std::vector<std::uint32_t>{115, 118, 121, 99}));
  // The parameters point at the caller's values, so a relaunch sees the change.
  ASSERT_TRUE(succeeded(launch.launch(linear_launch(1, 256))));
  EXPECT_EQ(download_ok(stream, out), (std::vector<std::uint32_t>{1015, 1018, 1021, 99}));
}

TEST_F(DriverLayerTest, AZeroBlockGridGoesToTheDriverAndItsRefusalComesBack) {
  auto context = open();
  auto stream = stream_on(context);
  auto kernel = test_kernel(context, "double_index_kernel");
  auto out = upload_ok<std::uint32_t>(stream, {9, 9});
  CallCounter calls;
  EXPECT_TRUE(
      fails_with(launch_double_index(*stream, kernel, out, 2, 0), CUDA_ERROR_INVALID_VALUE));
  EXPECT_EQ(calls.made(), (CallMap{{"cuCtxGetCurrent", 1}, {"cuLaunchKernel", 1}}));
  // A refused launch is no fault of the context.
  EXPECT_TRUE(succeeded(synchronize(*stream)));
  EXPECT_EQ(download_ok(stream, out), (std::vector<std::uint32_t>{9, 9}));
}

TEST_F(DriverLayerTest, AFaultingKernelFailsTheNextSynchronize) {
  auto context = open();
  auto stream = stream_on(context);
  auto kernel = test_kernel(context, "read_far_kernel");
  auto in = upload_ok<std::uint32_t>(stream, {1});
  auto out = upload_ok<std::uint32_t>(stream, {2});
  // Accepted: the fault happens while the kernel runs.
  ASSERT_TRUE(
      succeeded(KernelLaunch(*stream, kernel).read(in).write(out).launch(linear_launch(1, 1))));
  auto synchronized = synchronize(*stream);
  ASSERT_TRUE(fails_with(synchronized, CUDA_ERROR_ILLEGAL_ADDRESS));
  EXPECT_EQ(
      to_string(synchronized.error()),
      "DriverError(CUDA_ERROR_ILLEGAL_ADDRESS, \"an illegal memory access was encountered\")");
  // The context is lost for good, as on a GPU; tearing everything down still
  // gives the primary context back (checked after the test).
}

TEST_F(DriverLayerTest, InvalidPtxIsRefusedWithItsCode) {
  auto context = open();
  const auto modules = live().modules;
  auto refused = load_module(context, "this is not PTX");
  ASSERT_TRUE(fails_with(refused, CUDA_ERROR_INVALID_PTX));
  EXPECT_EQ(to_string(refused.error()),
            "DriverError(CUDA_ERROR_INVALID_PTX, \"a PTX JIT compilation failed\")");
  constexpr std::string_view future = R"(
.version 99.0
.target sm_70
.address_size 64
.visible .entry nothing_kernel()
{
    ret;
}
)";
  EXPECT_TRUE(fails_with(load_module(context, future), CUDA_ERROR_UNSUPPORTED_PTX_VERSION));
  EXPECT_EQ(live().modules, modules);
  // A refused module leaves the context usable.
  EXPECT_TRUE(succeeded(load_module(context, kTestPtx)));
}

TEST_F(DriverLayerTest, TextWithANulByteIsAFault) {
  auto context = open();
  using namespace std::string_view_literals;
  CallCounter calls;
  EXPECT_THROW((void)load_module(context, "\n.version 8.5\0garbage"sv), Fault);
  EXPECT_EQ(calls.made("cuModuleLoadData"), 0u);
  auto module = value_of(load_module(context, kTestPtx), "load_module");
  EXPECT_THROW((void)get_function(module, "double_index_kernel\0"sv), Fault);
}

TEST_F(DriverLayerTest, AMissingKernelIsNotFound) {
  auto context = open();
  auto module = value_of(load_module(context, kTestPtx), "load_module");
  clear_current_context();
  CallCounter calls;
  auto missing = get_function(module, "absent_kernel");
  // Lookups neither bind nor look at the deferred error.
  EXPECT_EQ(calls.made(), (CallMap{{"cuModuleGetFunction", 1}}));
  ASSERT_TRUE(fails_with(missing, CUDA_ERROR_NOT_FOUND));
  EXPECT_EQ(to_string(missing.error()),
            "DriverError(CUDA_ERROR_NOT_FOUND, \"named symbol not found\")");
  // A name must match exactly.
  EXPECT_TRUE(fails_with(get_function(module, "double_index"), CUDA_ERROR_NOT_FOUND));
  EXPECT_TRUE(fails_with(get_function(module, "DOUBLE_INDEX_KERNEL"), CUDA_ERROR_NOT_FOUND));
}

TEST_F(DriverLayerTest, FunctionLookupLeavesAPendingDeferredErrorInPlace) {
  auto context = open();
  auto stream = stream_on(context);
  auto module = value_of(load_module(context, kTestPtx), "load_module");
  fail_teardown(stream, "cuEventDestroy_v2", CUDA_ERROR_INVALID_HANDLE);
  auto kernel = get_function(module, "double_index_kernel");
  ASSERT_TRUE(succeeded(kernel));
  EXPECT_NE(kernel->handle, nullptr);
  EXPECT_EQ(kernel->module, module);
  EXPECT_TRUE(fails_with(synchronize(*stream), CUDA_ERROR_INVALID_HANDLE));
}

TEST_F(DriverLayerTest, AModuleIsUnloadedWithItsLastFunction) {
  auto context = open();
  auto stream = stream_on(context);
  const auto modules = live().modules;
  auto module = value_of(load_module(context, kTestPtx), "load_module");
  EXPECT_EQ(live().modules, modules + 1);
  auto kernel = value_of(get_function(module, "double_index_kernel"), "get_function");
  auto copy = kernel;
  CallCounter calls;
  module.reset();
  kernel = KernelFunction{};
  EXPECT_EQ(calls.made("cuModuleUnload"), 0u);
  EXPECT_EQ(live().modules, modules + 1);

  // The remaining copy still launches.
  auto out = value_of(allocate<std::uint32_t>(stream, 4), "allocate");
  ASSERT_TRUE(succeeded(launch_double_index(*stream, copy, out, 4, 1)));
  EXPECT_EQ(download_ok(stream, out), doubled_indices(4));

  calls.restart();
  copy = KernelFunction{};
  EXPECT_EQ(calls.made_besides_probe(), (CallMap{{"cuModuleUnload", 1}}));
  EXPECT_EQ(live().modules, modules);
}

}  // namespace
}  // namespace vorlan::driver
