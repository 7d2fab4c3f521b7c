// Events, stream waits and modules.
#include <cstdint>
#include <string>

#include "emu_fixture.hpp"
#include "test_kernels.hpp"

namespace vorlan::emu::test {
namespace {

using EventTest = EmuTest;
using ModuleTest = EmuTest;

CUevent bogus_event() { return reinterpret_cast<CUevent>(static_cast<std::uintptr_t>(0x4242)); }

TEST_F(EventTest, CreateRecordWaitDestroy) {
  open_device();
  CUevent first = nullptr, second = nullptr;
  ASSERT_EQ(cu.cuEventCreate(&first, 2), CUDA_SUCCESS);
  ASSERT_EQ(cu.cuEventCreate(&second, 0), CUDA_SUCCESS);
  EXPECT_NE(first, nullptr);
  EXPECT_NE(first, second);
  EXPECT_EQ(live().events, 2u);
  EXPECT_EQ(cu.cuEventRecord(first, nullptr), CUDA_SUCCESS);
  EXPECT_EQ(cu.cuStreamWaitEvent(nullptr, first, 0), CUDA_SUCCESS);
  EXPECT_EQ(cu.cuStreamWaitEvent(nullptr, second, 0), CUDA_SUCCESS) << "a never-recorded event";
  EXPECT_EQ(cu.cuStreamSynchronize(nullptr), CUDA_SUCCESS);
  EXPECT_EQ(cu.cuEventDestroy_v2(first), CUDA_SUCCESS);
  EXPECT_EQ(live().events, 1u);
  EXPECT_EQ(cu.cuEventDestroy_v2(second), CUDA_SUCCESS);
  EXPECT_EQ(live().events, 0u);
}

TEST_F(EventTest, UnknownEventsAreInvalidHandles) {
  open_device();
  CUevent event = nullptr;
  ASSERT_EQ(cu.cuEventCreate(&event, 2), CUDA_SUCCESS);
  ASSERT_EQ(cu.cuEventDestroy_v2(event), CUDA_SUCCESS);
  for (CUevent stale : {event, bogus_event(), static_cast<CUevent>(nullptr)}) {
    EXPECT_EQ(cu.cuEventDestroy_v2(stale), CUDA_ERROR_INVALID_HANDLE);
    EXPECT_EQ(cu.cuEventRecord(stale, nullptr), CUDA_ERROR_INVALID_HANDLE);
    EXPECT_EQ(cu.cuStreamWaitEvent(nullptr, stale, 0), CUDA_ERROR_INVALID_HANDLE);
  }
}

TEST_F(EventTest, FlagsAreChecked) {
  open_device();
  CUevent event = nullptr;
  EXPECT_EQ(cu.cuEventCreate(&event, 0x8), CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(cu.cuEventCreate(&event, 0x4), CUDA_ERROR_INVALID_VALUE)
      << "interprocess events must disable timing";
  EXPECT_EQ(cu.cuEventCreate(nullptr, 2), CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(live().events, 0u);
  ASSERT_EQ(cu.cuEventCreate(&event, 0x6), CUDA_SUCCESS);
  EXPECT_EQ(cu.cuStreamWaitEvent(nullptr, event, 0x2), CUDA_ERROR_INVALID_VALUE);
}

TEST_F(EventTest, EventsOfAnotherContext) {
  setenv("VORLAN_EMU_DEVICES", "2", 1);
  open_device(0);
  CUevent event = nullptr;
  ASSERT_EQ(cu.cuEventCreate(&event, 2), CUDA_SUCCESS);
  open_device(1);
  EXPECT_EQ(cu.cuEventRecord(event, nullptr), CUDA_ERROR_INVALID_HANDLE)
      << "recorded on device 1's stream";
  EXPECT_EQ(cu.cuStreamWaitEvent(nullptr, event, 0), CUDA_SUCCESS) << "waits may cross contexts";
  EXPECT_EQ(cu.cuEventDestroy_v2(event), CUDA_SUCCESS);
  EXPECT_EQ(live(0).events, 0u);
}

TEST_F(ModuleTest, MalformedPtxIsInvalidPtx) {
  open_device();
  CUmodule module = nullptr;
  EXPECT_EQ(cu.cuModuleLoadData(&module, "this is not PTX"), CUDA_ERROR_INVALID_PTX);
  EXPECT_EQ(cu.cuModuleLoadData(&module, ""), CUDA_ERROR_INVALID_PTX);
  EXPECT_EQ(cu.cuModuleLoadData(nullptr, kTestModule), CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(cu.cuModuleLoadData(&module, nullptr), CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(live().modules, 0u);
}

TEST_F(ModuleTest, VerboseModeSaysWhyAModuleWasRefused) {
  open_device();
  CUmodule module = nullptr;
  testing::internal::CaptureStderr();
  EXPECT_EQ(cu.cuModuleLoadData(&module, "this is not PTX"), CUDA_ERROR_INVALID_PTX);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "quiet unless asked";

  cu.reset();
  setenv("VORLAN_EMU_VERBOSE", "1", 1);
  open_device();
  testing::internal::CaptureStderr();
  EXPECT_EQ(cu.cuModuleLoadData(&module, "this is not PTX"), CUDA_ERROR_INVALID_PTX);
  std::string said = testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("vorlan emu"), std::string::npos) << said;
  EXPECT_NE(said.find("line 1"), std::string::npos) << said;

  CUdeviceptr address = 0;
  testing::internal::CaptureStderr();
  EXPECT_EQ(cu.cuMemAlloc_v2(&address, 0), CUDA_ERROR_INVALID_VALUE);
  said = testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("cuMemAlloc_v2: 0 bytes"), std::string::npos) << said;
}

TEST_F(ModuleTest, CompiledImagesAreRefused) {
  open_device();
  CUmodule module = nullptr;
  EXPECT_EQ(cu.cuModuleLoadData(&module,
                                "\x7f"
                                "ELF\x02\x01\x01"),
            CUDA_ERROR_INVALID_IMAGE);
  EXPECT_EQ(live().modules, 0u);
}

TEST_F(ModuleTest, UnsupportedPtxVersion) {
  open_device();
  CUmodule module = nullptr;
  EXPECT_EQ(cu.cuModuleLoadData(&module, kFutureVersionModule), CUDA_ERROR_UNSUPPORTED_PTX_VERSION);
  EXPECT_EQ(live().modules, 0u);
}

TEST_F(ModuleTest, LoadLookUpUnload) {
  open_device();
  CUmodule module = nullptr;
  ASSERT_EQ(cu.cuModuleLoadData(&module, kTestModule), CUDA_SUCCESS);
  EXPECT_EQ(live().modules, 1u);
  CUfunction write = nullptr, again = nullptr, read = nullptr;
  EXPECT_EQ(cu.cuModuleGetFunction(&write, module, "write_indices_kernel"), CUDA_SUCCESS);
  EXPECT_EQ(cu.cuModuleGetFunction(&again, module, "write_indices_kernel"), CUDA_SUCCESS);
  EXPECT_EQ(cu.cuModuleGetFunction(&read, module, "read_at_kernel"), CUDA_SUCCESS);
  EXPECT_NE(write, nullptr);
  EXPECT_EQ(write, again) << "one handle per kernel";
  EXPECT_NE(write, read);
  CUfunction missing = nullptr;
  EXPECT_EQ(cu.cuModuleGetFunction(&missing, module, "no_such_kernel"), CUDA_ERROR_NOT_FOUND);
  EXPECT_EQ(cu.cuModuleGetFunction(&missing, module, "write_indices"), CUDA_ERROR_NOT_FOUND);
  EXPECT_EQ(cu.cuModuleGetFunction(&missing, module, nullptr), CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(cu.cuModuleGetFunction(nullptr, module, "read_at_kernel"), CUDA_ERROR_INVALID_VALUE);

  ASSERT_EQ(cu.cuModuleUnload(module), CUDA_SUCCESS);
  EXPECT_EQ(live().modules, 0u);
  EXPECT_EQ(cu.cuModuleUnload(module), CUDA_ERROR_INVALID_HANDLE);
  EXPECT_EQ(cu.cuModuleGetFunction(&missing, module, "read_at_kernel"), CUDA_ERROR_INVALID_HANDLE);
  EXPECT_EQ(cu.cuLaunchKernel(write, 1, 1, 1, 1, 1, 1, 0, nullptr, nullptr, nullptr),
            CUDA_ERROR_INVALID_HANDLE)
      << "kernels go with their module";
}

TEST_F(ModuleTest, HandlesOfOneKindAreNotAnother) {
  open_device();
  CUevent event = nullptr;
  ASSERT_EQ(cu.cuEventCreate(&event, 2), CUDA_SUCCESS);
  auto as_module = reinterpret_cast<CUmodule>(event);
  CUfunction function = nullptr;
  EXPECT_EQ(cu.cuModuleGetFunction(&function, as_module, "read_at_kernel"),
            CUDA_ERROR_INVALID_HANDLE);
  EXPECT_EQ(cu.cuModuleUnload(as_module), CUDA_ERROR_INVALID_HANDLE);
  EXPECT_EQ(cu.cuLaunchKernel(reinterpret_cast<CUfunction>(event), 1, 1, 1, 1, 1, 1, 0, nullptr,
                              nullptr, nullptr),
            CUDA_ERROR_INVALID_HANDLE);
  EXPECT_EQ(live().events, 1u);
}

}  // namespace
}  // namespace vorlan::emu::test
