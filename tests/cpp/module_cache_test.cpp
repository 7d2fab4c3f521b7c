// The kernel module cache on a one-device software GPU. A filled slot keeps
// its module (and with it the device's primary context) for the life of the
// process, so these tests never reset the software GPU: each uses slots of its
// own and measures driver calls and live objects as differences.
#include "engine/module_cache.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <latch>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "driver/context.hpp"
#include "driver/fault.hpp"
#include "driver/launch.hpp"
#include "driver/memory.hpp"
#include "module_cache_support.hpp"
#include "software_gpu.hpp"

namespace vorlan::engine {
namespace {

using namespace vorlan::test;
using namespace vorlan::cuda;
using driver::DeviceBuffer;
using driver::DeviceContext;
using driver::DeviceStream;
using driver::KernelFunction;
using driver::KernelLaunch;
using driver::SharedContext;
using driver::SharedStream;

// One device with the default configuration; set before anything loads the
// driver, which reads it once.
const bool default_configuration = use_default_emu_configuration();

constexpr std::array<std::string_view, 2> kNames{"double_index_kernel", "scale_add_kernel"};

SharedContext open(std::uint64_t ordinal = 0) {
  if (!default_configuration)
    throw std::runtime_error("could not clear the VORLAN_EMU_* variables");
  return value_of(DeviceContext::create(ordinal), "DeviceContext::create");
}

// Runs kernels[0] (double_index_kernel) over n elements on a stream of
// `context` and returns what it wrote.
std::vector<std::uint32_t> run_double_index(const SharedContext& context, KernelSet kernels,
                                            std::uint32_t n) {
  auto stream = std::make_shared<DeviceStream>(context);
  auto out = value_of(driver::allocate<std::uint32_t>(stream, n), "allocate");
  value_of(KernelLaunch(*stream, kernels.front())
               .write(out)
               .scalar(n)
               .launch(driver::linear_launch(1, 256)),
           "launch");
  return value_of(driver::download<std::uint32_t>(*stream, out), "download");
}

// Leaves `code` as the context's deferred error, as a failed teardown does.
void fail_teardown(const SharedContext& context, CUresult code) {
  auto stream = std::make_shared<DeviceStream>(context);
  auto buffer = value_of(driver::allocate<std::uint32_t>(stream, 1), "allocate");
  fail_call("cuEventDestroy_v2", code);
  {
    [[maybe_unused]] auto released = std::move(buffer);
  }
}

TEST(ModuleCache, TwoCallsOnOneContextLoadTheModuleOnce) {
  auto context = open();
  ModuleSlot slot;
  const auto modules = live().modules;
  CallCounter calls;
  const auto first = kernels_of(get_kernels(slot, context, kTestPtx, kNames));
  EXPECT_EQ(calls.made_besides_probe(),
            (CallMap{{"cuModuleLoadData", 1}, {"cuModuleGetFunction", 2}}));
  EXPECT_EQ(live().modules, modules + 1);
  ASSERT_EQ(first.size(), kNames.size());

  calls.restart();
  const auto second = kernels_of(get_kernels(slot, context, kTestPtx, kNames));
  EXPECT_EQ(calls.made(), CallMap{}) << "a filled slot needs no driver call";
  EXPECT_EQ(live().modules, modules + 1);
  ASSERT_EQ(second.size(), kNames.size());
  for (std::size_t i = 0; i < kNames.size(); ++i) {
    EXPECT_EQ(second[i].handle, first[i].handle) << kNames[i];
    EXPECT_EQ(second[i].module, first[i].module) << kNames[i];
  }
  EXPECT_EQ(run_double_index(context, second, 200), doubled_indices(200));
}

TEST(ModuleCache, FunctionsComeInTheOrderOfTheNames) {
  auto context = open();
  ModuleSlot slot;
  constexpr std::array<std::string_view, 3> names{"scale_add_kernel", "read_far_kernel",
                                                  "double_index_kernel"};
  const auto kernels = kernels_of(get_kernels(slot, context, kTestPtx, names));
  ASSERT_EQ(kernels.size(), names.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    ASSERT_NE(kernels[i].module, nullptr);
    EXPECT_EQ(kernels[i].module, kernels[0].module) << "one module holds them all";
    auto looked_up = value_of(driver::get_function(kernels[i].module, names[i]), "get_function");
    EXPECT_EQ(kernels[i].handle, looked_up.handle) << names[i] << " is not at position " << i;
  }
  EXPECT_NE(kernels[0].handle, kernels[1].handle);
  EXPECT_NE(kernels[1].handle, kernels[2].handle);

  // Position 0 computes 3 * in + add, position 2 writes 2 * i.
  auto stream = std::make_shared<DeviceStream>(context);
  const std::vector<std::uint32_t> host{1, 2};
  auto in = value_of(driver::upload<std::uint32_t>(stream, host), "upload");
  auto out = value_of(driver::allocate<std::uint32_t>(stream, 2), "allocate");
  const std::uint32_t n = 2;
  const std::uint32_t add = 10;
  value_of(KernelLaunch(*stream, kernels[0])
               .read(in)
               .write(out)
               .scalar(n)
               .scalar(add)
               .launch(driver::linear_launch(1, 32)),
           "launch");
  EXPECT_EQ(value_of(driver::download<std::uint32_t>(*stream, out), "download"),
            (std::vector<std::uint32_t>{13, 16}));
  value_of(
      KernelLaunch(*stream, kernels[2]).write(out).scalar(n).launch(driver::linear_launch(1, 32)),
      "launch");
  EXPECT_EQ(value_of(driver::download<std::uint32_t>(*stream, out), "download"),
            (std::vector<std::uint32_t>{0, 2}));
}

TEST(ModuleCache, AFailedLoadFaultsAndTheNextCallLoadsAgain) {
  auto context = open();
  ModuleSlot slot;
  const auto modules = live().modules;
  fail_call("cuModuleLoadData", CUDA_ERROR_INVALID_PTX);
  CallCounter calls;
  EXPECT_EQ(
      fault_of([&] { (void)get_kernels(slot, context, kTestPtx, kNames); }),
      "failed to load PTX module: DriverError(CUDA_ERROR_INVALID_PTX, \"a PTX JIT compilation "
      "failed\")");
  EXPECT_EQ(calls.device_work(), (CallMap{{"cuModuleLoadData", 1}}));
  EXPECT_EQ(live().modules, modules);

  calls.restart();
  const auto kernels = kernels_of(get_kernels(slot, context, kTestPtx, kNames));
  EXPECT_EQ(calls.made_besides_probe(),
            (CallMap{{"cuModuleLoadData", 1}, {"cuModuleGetFunction", 2}}));
  EXPECT_EQ(live().modules, modules + 1);
  EXPECT_EQ(run_double_index(context, kernels, 5), doubled_indices(5));

  calls.restart();
  (void)get_kernels(slot, context, kTestPtx, kNames);
  EXPECT_EQ(calls.made(), CallMap{});
}

TEST(ModuleCache, ARefusedModuleTextFaultsWithTheDriversCode) {
  auto context = open();
  ModuleSlot slot;
  const auto modules = live().modules;
  EXPECT_EQ(
      fault_of([&] { (void)get_kernels(slot, context, "not a module", kNames); }),
      "failed to load PTX module: DriverError(CUDA_ERROR_INVALID_PTX, \"a PTX JIT compilation "
      "failed\")");
  EXPECT_EQ(live().modules, modules);
}

TEST(ModuleCache, AMissingKernelFaultsAndLeavesNoModuleLoaded) {
  auto context = open();
  ModuleSlot slot;
  const auto modules = live().modules;
  constexpr std::array<std::string_view, 3> names{"double_index_kernel", "missing_kernel",
                                                  "scale_add_kernel"};
  CallCounter calls;
  EXPECT_EQ(fault_of([&] { (void)get_kernels(slot, context, kTestPtx, names); }),
            "kernel missing_kernel not found: DriverError(CUDA_ERROR_NOT_FOUND, \"named symbol not "
            "found\")");
  // The lookup stops at the missing name and the module goes again.
  EXPECT_EQ(calls.device_work(),
            (CallMap{{"cuModuleLoadData", 1}, {"cuModuleGetFunction", 2}, {"cuModuleUnload", 1}}));
  EXPECT_EQ(live().modules, modules);
}

TEST(ModuleCache, AFailedLookupLeavesTheSlotToBeFilledAgain) {
  auto context = open();
  ModuleSlot slot;
  const auto modules = live().modules;
  fail_call("cuModuleGetFunction", CUDA_ERROR_NOT_FOUND, 2);
  EXPECT_EQ(
      fault_of([&] { (void)get_kernels(slot, context, kTestPtx, kNames); }),
      "kernel scale_add_kernel not found: DriverError(CUDA_ERROR_NOT_FOUND, \"named symbol not "
      "found\")");
  EXPECT_EQ(live().modules, modules);

  CallCounter calls;
  const auto kernels = kernels_of(get_kernels(slot, context, kTestPtx, kNames));
  EXPECT_EQ(calls.made_besides_probe(),
            (CallMap{{"cuModuleLoadData", 1}, {"cuModuleGetFunction", 2}}));
  ASSERT_EQ(kernels.size(), kNames.size());
  EXPECT_EQ(live().modules, modules + 1);
  EXPECT_EQ(run_double_index(context, kernels, 3), doubled_indices(3));
}

TEST(ModuleCache, APendingDeferredErrorFailsTheLoad) {
  auto context = open();
  ModuleSlot slot;
  fail_teardown(context, CUDA_ERROR_INVALID_HANDLE);
  CallCounter calls;
  EXPECT_EQ(fault_of([&] { (void)get_kernels(slot, context, kTestPtx, kNames); }),
            "failed to load PTX module: DriverError(CUDA_ERROR_INVALID_HANDLE, \"invalid resource "
            "handle\")");
  EXPECT_EQ(calls.made_besides({"cuGetErrorString"}), CallMap{});
  const auto kernels = kernels_of(get_kernels(slot, context, kTestPtx, kNames));
  EXPECT_EQ(run_double_index(context, kernels, 4), doubled_indices(4));
}

// A context an earlier kernel broke returns its error from every call, the
// load and the lookups included: that is the caller's driver error, while
// a refusal of the module itself stays a fault (the tests above).
struct BrokenContextCase {
  const char* entry_point;
  CUresult code;
};

class BrokenContext : public ::testing::TestWithParam<BrokenContextCase> {};

TEST_P(BrokenContext, FailsTheLoadAsADriverErrorAndTheNextCallLoadsAgain) {
  const auto [entry_point, code] = GetParam();
  auto context = open();
  ModuleSlot slot;
  const auto modules = live().modules;
  fail_call(entry_point, code);
  driver::DriverResult<KernelSet> broken = std::unexpected(driver::DriverError(0));
  EXPECT_EQ(fault_of([&] { broken = get_kernels(slot, context, kTestPtx, kNames); }), "<no fault>");
  EXPECT_TRUE(fails_with(broken, code));
  EXPECT_EQ(live().modules, modules) << "nothing stays loaded";

  const auto kernels = kernels_of(get_kernels(slot, context, kTestPtx, kNames));
  EXPECT_EQ(run_double_index(context, kernels, 5), doubled_indices(5));
}

// The same with a real fault: a kernel that reads outside every allocation
// breaks the context for good, and the next load reports that as its driver
// error, loading nothing. Says what it found on stderr; runs in a child
// process, since the context stays broken.
void break_the_context_then_load() {
  auto context = open();
  auto stream = std::make_shared<DeviceStream>(context);
  ModuleSlot far_slot;
  constexpr std::array<std::string_view, 1> far_name{"read_far_kernel"};
  const auto far = kernels_of(get_kernels(far_slot, context, kTestPtx, far_name));
  auto in =
      value_of(driver::upload<std::uint32_t>(stream, std::vector<std::uint32_t>{1}), "upload");
  auto out = value_of(driver::allocate<std::uint32_t>(stream, 1), "allocate");
  value_of(KernelLaunch(*stream, far[0]).read(in).write(out).launch(driver::linear_launch(1, 1)),
           "launch");
  const bool faulted =
      static_cast<bool>(fails_with(driver::synchronize(*stream), CUDA_ERROR_ILLEGAL_ADDRESS));
  const auto modules = live().modules;
  ModuleSlot slot;
  driver::DriverResult<KernelSet> broken = std::unexpected(driver::DriverError(0));
  const std::string fault =
      fault_of([&] { broken = get_kernels(slot, context, kTestPtx, kNames); });
  std::fprintf(stderr, "kernel fault %d, load %s, driver error %d, modules %+lld\n", faulted,
               fault.c_str(), static_cast<bool>(fails_with(broken, CUDA_ERROR_ILLEGAL_ADDRESS)),
               static_cast<long long>(live().modules) - static_cast<long long>(modules));
  std::exit(0);
}

TEST(BrokenContextByAKernel, FailsTheLoadAsADriverError) {
  EXPECT_EXIT(break_the_context_then_load(), ::testing::ExitedWithCode(0),
              "kernel fault 1, load <no fault>, driver error 1, modules \\+0");
}

std::vector<BrokenContextCase> broken_context_cases() {
  std::vector<BrokenContextCase> cases;
  for (const char* entry_point : {"cuModuleLoadData", "cuModuleGetFunction"}) {
    for (CUresult code :
         {CUDA_ERROR_ECC_UNCORRECTABLE, CUDA_ERROR_ILLEGAL_ADDRESS, CUDA_ERROR_LAUNCH_TIMEOUT,
          CUDA_ERROR_ASSERT, CUDA_ERROR_HARDWARE_STACK_ERROR, CUDA_ERROR_ILLEGAL_INSTRUCTION,
          CUDA_ERROR_MISALIGNED_ADDRESS, CUDA_ERROR_INVALID_ADDRESS_SPACE, CUDA_ERROR_INVALID_PC,
          CUDA_ERROR_LAUNCH_FAILED, CUDA_ERROR_EXTERNAL_DEVICE}) {
      cases.push_back({entry_point, code});
    }
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(StickyCodes, BrokenContext, ::testing::ValuesIn(broken_context_cases()),
                         [](const auto& param_info) {
                           return std::string(param_info.param.entry_point) + "_" +
                                  std::to_string(param_info.param.code);
                         });

// Codes that say nothing about the context are the module's: faults.
class ModuleRefusal : public ::testing::TestWithParam<CUresult> {};

TEST_P(ModuleRefusal, FaultsWithTheDriversCode) {
  auto context = open();
  ModuleSlot slot;
  fail_call("cuModuleLoadData", GetParam());
  EXPECT_EQ(fault_of([&] { (void)get_kernels(slot, context, kTestPtx, kNames); })
                .rfind("failed to load PTX module: DriverError(" +
                           std::string(driver::result_name(GetParam())) + ",",
                       0),
            0u);
}

INSTANTIATE_TEST_SUITE_P(ModuleCodes, ModuleRefusal,
                         ::testing::Values(CUDA_ERROR_INVALID_PTX,
                                           CUDA_ERROR_UNSUPPORTED_PTX_VERSION,
                                           CUDA_ERROR_OUT_OF_MEMORY, CUDA_ERROR_INVALID_VALUE,
                                           CUDA_ERROR_LAUNCH_OUT_OF_RESOURCES, CUDA_ERROR_UNKNOWN));

TEST(ModuleCache, TwoContextsOfOneDeviceShareOneEntry) {
  auto first = open(0);
  auto second = open(0);
  ASSERT_EQ(first->handle(), second->handle());
  ModuleSlot slot;
  const auto modules = live().modules;
  const auto from_first = kernels_of(get_kernels(slot, first, kTestPtx, kNames));
  CallCounter calls;
  const auto from_second = kernels_of(get_kernels(slot, second, kTestPtx, kNames));
  EXPECT_EQ(calls.made(), CallMap{});
  EXPECT_EQ(live().modules, modules + 1);
  ASSERT_EQ(from_second.size(), kNames.size());
  for (std::size_t i = 0; i < kNames.size(); ++i) {
    EXPECT_EQ(from_second[i].handle, from_first[i].handle) << kNames[i];
  }
  // They are the device's kernels, whichever record launches them.
  first.reset();
  EXPECT_EQ(run_double_index(second, from_second, 9), doubled_indices(9));
}

TEST(ModuleCache, DroppedFunctionsLeaveTheModuleLoaded) {
  auto context = open();
  ModuleSlot slot;
  const auto modules = live().modules;
  const auto view = kernels_of(get_kernels(slot, context, kTestPtx, kNames));
  std::vector<KernelFunction> kernels(view.begin(), view.end());
  CallCounter calls;
  kernels.clear();
  EXPECT_EQ(calls.made("cuModuleUnload"), 0u);
  EXPECT_EQ(live().modules, modules + 1);

  calls.restart();
  const auto again = kernels_of(get_kernels(slot, context, kTestPtx, kNames));
  EXPECT_EQ(calls.made(), CallMap{});
  EXPECT_EQ(again.data(), view.data()) << "a filled slot hands out its own kernels";
  EXPECT_EQ(run_double_index(context, again, 7), doubled_indices(7));
}

TEST(ModuleCache, EachSlotIsFilledOnItsOwn) {
  auto context = open();
  ModuleSlot one;
  ModuleSlot other;
  const auto modules = live().modules;
  const auto from_one = kernels_of(get_kernels(one, context, kTestPtx, kNames));
  CallCounter calls;
  const auto from_other = kernels_of(get_kernels(other, context, kTestPtx, kNames));
  EXPECT_EQ(calls.made("cuModuleLoadData"), 1u);
  EXPECT_EQ(live().modules, modules + 2);
  EXPECT_NE(from_one[0].module, from_other[0].module);
}

TEST(ModuleCache, TheCacheKeepsItsContextAlive) {
  auto context = open();
  const auto retains = live().context_refs;
  const CUcontext handle = context->handle();
  ModuleSlot slot;
  const auto kernels = kernels_of(get_kernels(slot, context, kTestPtx, kNames));
  CallCounter calls;
  context.reset();
  EXPECT_EQ(calls.made("cuDevicePrimaryCtxRelease_v2"), 0u);
  EXPECT_EQ(live().context_refs, retains);

  // A later record of the same device finds the entry still filled.
  auto again = open();
  ASSERT_EQ(again->handle(), handle);
  calls.restart();
  const auto cached = kernels_of(get_kernels(slot, again, kTestPtx, kNames));
  EXPECT_EQ(calls.made(), CallMap{});
  EXPECT_EQ(cached[0].handle, kernels[0].handle);
  EXPECT_EQ(run_double_index(again, cached, 6), doubled_indices(6));
}

TEST(ModuleCache, ConcurrentFirstCallersLoadTheModuleOnce) {
  auto context = open();
  ModuleSlot slot;
  constexpr int kThreads = 4;
  std::latch start(kThreads);
  std::array<KernelSet, kThreads> results;
  CallCounter calls;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      try {
        results[static_cast<std::size_t>(t)] =
            kernels_of(get_kernels(slot, context, kTestPtx, kNames));
      } catch (const std::exception& error) {
        ADD_FAILURE() << "thread " << t << ": " << error.what();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(calls.made("cuModuleLoadData"), 1u);
  EXPECT_EQ(calls.made("cuModuleGetFunction"), kNames.size());
  for (const auto& result : results) {
    ASSERT_EQ(result.size(), kNames.size());
    EXPECT_EQ(result[0].handle, results[0][0].handle);
    EXPECT_EQ(result[1].handle, results[0][1].handle);
  }
}

}  // namespace
}  // namespace vorlan::engine
