// Kernel launches: the checks made before a launch is accepted, results
// written by a kernel, and faults that show at the next synchronisation and
// then stick to the context until it is released.
#include <cstdint>
#include <string>
#include <vector>

#include "emu_fixture.hpp"
#include "test_kernels.hpp"

namespace vorlan::emu::test {
namespace {

class LaunchTest : public EmuTest {
 protected:
  CUcontext context = nullptr;
  CUmodule module = nullptr;

  void load() {
    context = open_device();
    ASSERT_EQ(cu.cuModuleLoadData(&module, kTestModule), CUDA_SUCCESS);
  }
  CUfunction kernel(const char* name) {
    CUfunction function = nullptr;
    EXPECT_EQ(cu.cuModuleGetFunction(&function, module, name), CUDA_SUCCESS) << name;
    return function;
  }
  CUresult launch(CUfunction function, unsigned grid, unsigned block, std::vector<void*> params,
                  unsigned shared = 0) {
    return cu.cuLaunchKernel(function, grid, 1, 1, block, 1, 1, shared, nullptr,
                             params.empty() ? nullptr : params.data(), nullptr);
  }
  // Launches read_at_kernel on a 16-word buffer the host filled, reading word `index`.
  CUresult read_at(std::uint32_t index) {
    CUdeviceptr in = allocate(16 * 4), out = allocate(4);
    const std::vector<std::uint32_t> words(16, 1);
    EXPECT_EQ(cu.cuMemcpyHtoDAsync_v2(in, words.data(), 16 * 4, nullptr), CUDA_SUCCESS);
    return launch(kernel("read_at_kernel"), 1, 1, {&in, &out, &index});
  }
};

TEST_F(LaunchTest, KernelResultsAreReadBackWithoutASynchronize) {
  load();
  constexpr std::uint32_t n = 1000;
  CUdeviceptr out = allocate(n * 4);
  std::uint32_t count = n, add = 7;
  ASSERT_EQ(launch(kernel("write_indices_kernel"), (n + 255) / 256, 256, {&out, &count, &add}),
            CUDA_SUCCESS);
  std::vector<std::uint32_t> back(n, 0);
  ASSERT_EQ(cu.cuMemcpyDtoHAsync_v2(back.data(), out, n * 4, nullptr), CUDA_SUCCESS);
  for (std::uint32_t i = 0; i < n; ++i) ASSERT_EQ(back[i], 2 * i + 7) << "element " << i;
  EXPECT_EQ(cu.cuStreamSynchronize(nullptr), CUDA_SUCCESS);
}

TEST_F(LaunchTest, ParametersAreCopiedAtLaunch) {
  load();
  CUdeviceptr out = allocate(4 * 4);
  std::uint32_t count = 4, add = 1;
  std::vector<void*> params{&out, &count, &add};
  ASSERT_EQ(cu.cuLaunchKernel(kernel("write_indices_kernel"), 1, 1, 1, 4, 1, 1, 0, nullptr,
                              params.data(), nullptr),
            CUDA_SUCCESS);
  add = 100;  // after the launch: must not matter
  std::uint32_t back[4] = {};
  ASSERT_EQ(cu.cuMemcpyDtoHAsync_v2(back, out, sizeof back, nullptr), CUDA_SUCCESS);
  EXPECT_EQ(back[3], 7u);
}

TEST_F(LaunchTest, ShuffledSchedulingGivesTheSameResults) {
  setenv("VORLAN_EMU_SEED", "12345", 1);
  load();
  constexpr std::uint32_t n = 300;
  CUdeviceptr out = allocate(n * 4);
  std::uint32_t count = n, add = 0;
  ASSERT_EQ(launch(kernel("write_indices_kernel"), 3, 128, {&out, &count, &add}), CUDA_SUCCESS);
  std::vector<std::uint32_t> back(n, 0);
  ASSERT_EQ(cu.cuMemcpyDtoHAsync_v2(back.data(), out, n * 4, nullptr), CUDA_SUCCESS);
  for (std::uint32_t i = 0; i < n; ++i) ASSERT_EQ(back[i], 2 * i);
}

TEST_F(LaunchTest, TraceShowsExecutedInstructionsOnlyWhenAsked) {
  load();
  CUdeviceptr out = allocate(4);
  std::uint32_t count = 1, add = 0;
  testing::internal::CaptureStderr();
  ASSERT_EQ(launch(kernel("write_indices_kernel"), 1, 1, {&out, &count, &add}), CUDA_SUCCESS);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

  cu.reset();
  setenv("VORLAN_EMU_TRACE", "1", 1);
  load();
  out = allocate(4);
  testing::internal::CaptureStderr();
  ASSERT_EQ(launch(kernel("write_indices_kernel"), 1, 1, {&out, &count, &add}), CUDA_SUCCESS);
  std::string trace = testing::internal::GetCapturedStderr();
  EXPECT_NE(trace.find("st.global"), std::string::npos) << trace;
}

TEST_F(LaunchTest, ShapesTheDeviceCannotRunAreRefused) {
  load();
  CUfunction write = kernel("write_indices_kernel");
  CUdeviceptr out = allocate(4);
  std::uint32_t count = 1, add = 0;
  std::vector<void*> params{&out, &count, &add};
  auto launch_shape = [&](unsigned gx, unsigned gy, unsigned gz, unsigned bx, unsigned by,
                          unsigned bz) {
    return cu.cuLaunchKernel(write, gx, gy, gz, bx, by, bz, 0, nullptr, params.data(), nullptr);
  };
  EXPECT_EQ(launch_shape(0, 1, 1, 32, 1, 1), CUDA_ERROR_INVALID_VALUE) << "zero grid";
  EXPECT_EQ(launch_shape(1, 0, 1, 32, 1, 1), CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(launch_shape(1, 1, 0, 32, 1, 1), CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(launch_shape(1, 1, 1, 0, 1, 1), CUDA_ERROR_INVALID_VALUE) << "zero block";
  EXPECT_EQ(launch_shape(1, 1, 1, 32, 0, 1), CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(launch_shape(1, 1, 1, 32, 1, 0), CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(launch_shape(1, 1, 1, 1025, 1, 1), CUDA_ERROR_INVALID_VALUE) << "1025 threads";
  EXPECT_EQ(launch_shape(1, 1, 1, 512, 2, 2), CUDA_ERROR_INVALID_VALUE) << "2048 threads";
  EXPECT_EQ(launch_shape(1, 1, 1, 1, 1, 65), CUDA_ERROR_INVALID_VALUE) << "block z above 64";
  EXPECT_EQ(launch_shape(1, 1, 1, 1, 1025, 1), CUDA_ERROR_INVALID_VALUE) << "block y above 1024";
  EXPECT_EQ(launch_shape(1, 65536, 1, 1, 1, 1), CUDA_ERROR_INVALID_VALUE) << "grid y above 65535";
  EXPECT_EQ(launch_shape(1, 1, 65536, 1, 1, 1), CUDA_ERROR_INVALID_VALUE) << "grid z above 65535";
  EXPECT_EQ(launch_shape(2147483648u, 1, 1, 1, 1, 1), CUDA_ERROR_INVALID_VALUE)
      << "grid x above 2^31-1";
  EXPECT_EQ(launch_shape(1, 1, 1, 1024, 1, 1), CUDA_SUCCESS) << "1024 threads are fine";
  EXPECT_EQ(launch_shape(1, 1, 1, 16, 1, 64), CUDA_SUCCESS) << "block z of 64 is fine";
  EXPECT_EQ(cu.cuStreamSynchronize(nullptr), CUDA_SUCCESS) << "refusals are not faults";
}

TEST_F(LaunchTest, SharedMemoryIsLimitedTo48KiB) {
  load();
  CUfunction shared = kernel("shared_kernel");
  CUfunction write = kernel("write_indices_kernel");
  CUdeviceptr out = allocate(4);
  std::uint32_t count = 1, add = 0;
  EXPECT_EQ(launch(write, 1, 1, {&out, &count, &add}, 48 * 1024), CUDA_SUCCESS);
  EXPECT_EQ(launch(write, 1, 1, {&out, &count, &add}, 48 * 1024 + 1), CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(launch(shared, 1, 1, {&out}, 8 * 1024), CUDA_SUCCESS) << "40 KiB static + 8 KiB";
  EXPECT_EQ(launch(shared, 1, 1, {&out}, 8 * 1024 + 4), CUDA_ERROR_INVALID_VALUE);
  std::uint32_t back = 0;
  ASSERT_EQ(cu.cuMemcpyDtoHAsync_v2(&back, out, 4, nullptr), CUDA_SUCCESS);
  EXPECT_EQ(back, 5u);
}

TEST_F(LaunchTest, ParameterArraysAreChecked) {
  load();
  CUfunction write = kernel("write_indices_kernel");
  CUdeviceptr out = allocate(4);
  std::uint32_t count = 1, add = 0;
  std::vector<void*> params{&out, &count, &add};
  void* extra[] = {nullptr};
  EXPECT_EQ(cu.cuLaunchKernel(write, 1, 1, 1, 1, 1, 1, 0, nullptr, nullptr, nullptr),
            CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(cu.cuLaunchKernel(write, 1, 1, 1, 1, 1, 1, 0, nullptr, params.data(), extra),
            CUDA_ERROR_INVALID_VALUE);
  params[1] = nullptr;
  EXPECT_EQ(cu.cuLaunchKernel(write, 1, 1, 1, 1, 1, 1, 0, nullptr, params.data(), nullptr),
            CUDA_ERROR_INVALID_VALUE);
  auto bogus = reinterpret_cast<CUstream>(static_cast<std::uintptr_t>(0x77));
  params[1] = &count;
  EXPECT_EQ(cu.cuLaunchKernel(write, 1, 1, 1, 1, 1, 1, 0, bogus, params.data(), nullptr),
            CUDA_ERROR_INVALID_HANDLE);
  EXPECT_EQ(cu.cuLaunchKernel(nullptr, 1, 1, 1, 1, 1, 1, 0, nullptr, params.data(), nullptr),
            CUDA_ERROR_INVALID_HANDLE);
}

TEST_F(LaunchTest, KernelsOfAnotherContextAreRefused) {
  setenv("VORLAN_EMU_DEVICES", "2", 1);
  load();
  CUfunction write = kernel("write_indices_kernel");
  open_device(1);
  CUdeviceptr out = allocate(4);
  std::uint32_t count = 1, add = 0;
  EXPECT_EQ(launch(write, 1, 1, {&out, &count, &add}), CUDA_ERROR_INVALID_HANDLE);
}

TEST_F(LaunchTest, ReadJustPastTheEndIsAnIllegalAddress) {
  load();
  ASSERT_EQ(read_at(16), CUDA_SUCCESS) << "the launch itself is accepted";
  EXPECT_EQ(live().pending_fault, CUDA_ERROR_ILLEGAL_ADDRESS);
  EXPECT_EQ(cu.cuStreamSynchronize(nullptr), CUDA_ERROR_ILLEGAL_ADDRESS);
  EXPECT_EQ(live().sticky_error, CUDA_ERROR_ILLEGAL_ADDRESS);
}

TEST_F(LaunchTest, InBoundsReadIsFine) {
  load();
  ASSERT_EQ(read_at(15), CUDA_SUCCESS);
  EXPECT_EQ(cu.cuStreamSynchronize(nullptr), CUDA_SUCCESS);
}

TEST_F(LaunchTest, AFaultShowsAtTheNextCopy) {
  load();
  std::uint32_t word = 0;
  CUdeviceptr spare = allocate(4);
  ASSERT_EQ(read_at(1u << 24), CUDA_SUCCESS);
  EXPECT_EQ(cu.cuMemcpyDtoHAsync_v2(&word, spare, 4, nullptr), CUDA_ERROR_ILLEGAL_ADDRESS);
}

TEST_F(LaunchTest, AFaultShowsAtTheNextFill) {
  for (bool words : {false, true}) {
    cu.reset();
    load();
    CUdeviceptr spare = allocate(4);
    ASSERT_EQ(read_at(1u << 24), CUDA_SUCCESS);
    const CUresult filled = words ? cu.cuMemsetD32Async(spare, 0, 1, nullptr)
                                  : cu.cuMemsetD8Async(spare, 0, 4, nullptr);
    EXPECT_EQ(filled, CUDA_ERROR_ILLEGAL_ADDRESS) << (words ? "D32" : "D8");
    EXPECT_EQ(live().sticky_error, CUDA_ERROR_ILLEGAL_ADDRESS);
  }
}

TEST_F(LaunchTest, AFaultSticksToItsContextUntilReleased) {
  load();
  CUfunction write = kernel("write_indices_kernel");
  CUdeviceptr buffer = allocate(64);
  CUevent event = nullptr;
  ASSERT_EQ(cu.cuEventCreate(&event, 2), CUDA_SUCCESS);
  ASSERT_EQ(read_at(1000), CUDA_SUCCESS);
  ASSERT_EQ(cu.cuStreamSynchronize(nullptr), CUDA_ERROR_ILLEGAL_ADDRESS);

  constexpr CUresult fault = CUDA_ERROR_ILLEGAL_ADDRESS;
  CUdeviceptr address = 0;
  CUmodule other = nullptr;
  CUfunction function = nullptr;
  CUevent another = nullptr;
  std::uint32_t word = 0, count = 1, add = 0;
  std::size_t free = 0, total = 0;
  EXPECT_EQ(cu.cuMemAlloc_v2(&address, 64), fault);
  EXPECT_EQ(cu.cuMemAllocAsync(&address, 64, nullptr), fault);
  EXPECT_EQ(cu.cuMemcpyHtoDAsync_v2(buffer, &word, 4, nullptr), fault);
  EXPECT_EQ(cu.cuMemcpyDtoHAsync_v2(&word, buffer, 4, nullptr), fault);
  EXPECT_EQ(cu.cuMemsetD8Async(buffer, 0, 4, nullptr), fault);
  EXPECT_EQ(cu.cuMemsetD32Async(buffer, 0, 1, nullptr), fault);
  EXPECT_EQ(cu.cuMemGetInfo_v2(&free, &total), fault);
  EXPECT_EQ(cu.cuEventCreate(&another, 2), fault);
  EXPECT_EQ(cu.cuEventRecord(event, nullptr), fault);
  EXPECT_EQ(cu.cuStreamWaitEvent(nullptr, event, 0), fault);
  EXPECT_EQ(cu.cuModuleLoadData(&other, kTestModule), fault);
  EXPECT_EQ(cu.cuModuleGetFunction(&function, module, "read_at_kernel"), fault);
  EXPECT_EQ(launch(write, 1, 1, {&buffer, &count, &add}), fault);
  EXPECT_EQ(cu.cuStreamSynchronize(nullptr), fault);
  EXPECT_EQ(cu.cuCtxSynchronize(), fault);
  EXPECT_EQ(cu.cuEventDestroy_v2(event), fault);
  EXPECT_EQ(cu.cuModuleUnload(module), fault);
  EXPECT_EQ(cu.cuMemFreeAsync(buffer, nullptr), fault);
  EXPECT_EQ(cu.cuMemFree_v2(buffer), fault);

  // Queries that do not touch the context still work.
  CUcontext current = nullptr;
  EXPECT_EQ(cu.cuCtxGetCurrent(&current), CUDA_SUCCESS);
  EXPECT_EQ(current, context);
  EXPECT_EQ(cu.cuCtxSetCurrent(context), CUDA_SUCCESS);
  EXPECT_EQ(cu.cuDeviceTotalMem_v2(&total, 0), CUDA_SUCCESS);
  char name[64];
  EXPECT_EQ(cu.cuDeviceGetName(name, sizeof name, 0), CUDA_SUCCESS);
  const char* text = nullptr;
  EXPECT_EQ(cu.cuGetErrorString(fault, &text), CUDA_SUCCESS);

  // A second retain gets the same broken context; only the last release clears it.
  CUcontext again = nullptr;
  ASSERT_EQ(cu.cuDevicePrimaryCtxRetain(&again, 0), CUDA_SUCCESS);
  EXPECT_EQ(cu.cuMemAlloc_v2(&address, 64), fault);
  ASSERT_EQ(cu.cuDevicePrimaryCtxRelease_v2(0), CUDA_SUCCESS);
  EXPECT_EQ(cu.cuCtxSynchronize(), fault);
  ASSERT_EQ(cu.cuDevicePrimaryCtxRelease_v2(0), CUDA_SUCCESS);
  ASSERT_EQ(cu.cuDevicePrimaryCtxRetain(&again, 0), CUDA_SUCCESS);
  EXPECT_EQ(cu.cuCtxSynchronize(), CUDA_SUCCESS);
  EXPECT_EQ(cu.cuMemAlloc_v2(&address, 64), CUDA_SUCCESS);
  EXPECT_EQ(live().sticky_error, 0u);
}

TEST_F(LaunchTest, LaunchesBeforeTheFaultIsReportedAreAccepted) {
  load();
  CUfunction write = kernel("write_indices_kernel");
  CUdeviceptr out = allocate(4);
  std::uint32_t count = 1, add = 3;
  ASSERT_EQ(read_at(1u << 20), CUDA_SUCCESS);
  EXPECT_EQ(launch(write, 1, 1, {&out, &count, &add}), CUDA_SUCCESS)
      << "accepted: the fault has not been reported yet";
  EXPECT_EQ(live().pending_fault, CUDA_ERROR_ILLEGAL_ADDRESS);
  EXPECT_EQ(cu.cuStreamSynchronize(nullptr), CUDA_ERROR_ILLEGAL_ADDRESS)
      << "the first fault is the one reported";
}

TEST_F(LaunchTest, MisalignedLoadIsMisalignedAddress) {
  load();
  CUdeviceptr in = allocate(16), out = allocate(4);
  ASSERT_EQ(launch(kernel("load_misaligned_kernel"), 1, 1, {&in, &out}), CUDA_SUCCESS);
  EXPECT_EQ(cu.cuCtxSynchronize(), CUDA_ERROR_MISALIGNED_ADDRESS);
  EXPECT_EQ(cu.cuStreamSynchronize(nullptr), CUDA_ERROR_MISALIGNED_ADDRESS);
}

TEST_F(LaunchTest, RunawayKernelTimesOutOnItsBudget) {
  setenv("VORLAN_EMU_BUDGET", "100000", 1);
  load();
  ASSERT_EQ(launch(kernel("spin_kernel"), 1, 32, {}), CUDA_SUCCESS);
  EXPECT_EQ(cu.cuStreamSynchronize(nullptr), CUDA_ERROR_LAUNCH_TIMEOUT);
}

TEST_F(LaunchTest, AFaultOnOneDeviceLeavesTheOtherAlone) {
  setenv("VORLAN_EMU_DEVICES", "2", 1);
  load();
  ASSERT_EQ(read_at(1u << 20), CUDA_SUCCESS);
  ASSERT_EQ(cu.cuStreamSynchronize(nullptr), CUDA_ERROR_ILLEGAL_ADDRESS);
  open_device(1);
  EXPECT_EQ(cu.cuStreamSynchronize(nullptr), CUDA_SUCCESS);
  CUdeviceptr address = 0;
  EXPECT_EQ(cu.cuMemAlloc_v2(&address, 64), CUDA_SUCCESS);
  EXPECT_EQ(live(1).sticky_error, 0u);
  EXPECT_EQ(live(0).sticky_error, CUDA_ERROR_ILLEGAL_ADDRESS);
}

}  // namespace
}  // namespace vorlan::emu::test
