// Initialisation, configuration from the environment and device queries.
#include <cstring>
#include <string>

#include "emu_fixture.hpp"

namespace vorlan::emu::test {
namespace {

using DeviceTest = EmuTest;

TEST_F(DeviceTest, EveryCallBeforeInitIsRefused) {
  CUdeviceptr address = 0;
  CUcontext context = nullptr;
  CUevent event = nullptr;
  CUmodule module = nullptr;
  CUfunction function = nullptr;
  int value = 0;
  std::size_t bytes = 0, free = 0;
  char name[32];
  unsigned char host[4] = {};
  EXPECT_EQ(cu.cuDeviceGet(&value, 0), CUDA_ERROR_NOT_INITIALIZED);
  EXPECT_EQ(cu.cuDeviceGetCount(&value), CUDA_ERROR_NOT_INITIALIZED);
  EXPECT_EQ(cu.cuDriverGetVersion(&value), CUDA_ERROR_NOT_INITIALIZED);
  EXPECT_EQ(cu.cuDeviceGetAttribute(&value, CU_DEVICE_ATTRIBUTE_MEMORY_POOLS_SUPPORTED, 0),
            CUDA_ERROR_NOT_INITIALIZED);
  EXPECT_EQ(cu.cuDeviceGetName(name, sizeof name, 0), CUDA_ERROR_NOT_INITIALIZED);
  EXPECT_EQ(cu.cuDeviceTotalMem_v2(&bytes, 0), CUDA_ERROR_NOT_INITIALIZED);
  EXPECT_EQ(cu.cuDevicePrimaryCtxRetain(&context, 0), CUDA_ERROR_NOT_INITIALIZED);
  EXPECT_EQ(cu.cuDevicePrimaryCtxRelease_v2(0), CUDA_ERROR_NOT_INITIALIZED);
  EXPECT_EQ(cu.cuCtxGetCurrent(&context), CUDA_ERROR_NOT_INITIALIZED);
  EXPECT_EQ(cu.cuCtxSetCurrent(nullptr), CUDA_ERROR_NOT_INITIALIZED);
  EXPECT_EQ(cu.cuCtxSynchronize(), CUDA_ERROR_NOT_INITIALIZED);
  EXPECT_EQ(cu.cuMemAlloc_v2(&address, 16), CUDA_ERROR_NOT_INITIALIZED);
  EXPECT_EQ(cu.cuMemAllocAsync(&address, 16, nullptr), CUDA_ERROR_NOT_INITIALIZED);
  EXPECT_EQ(cu.cuMemFree_v2(address), CUDA_ERROR_NOT_INITIALIZED);
  EXPECT_EQ(cu.cuMemFreeAsync(address, nullptr), CUDA_ERROR_NOT_INITIALIZED);
  EXPECT_EQ(cu.cuMemGetInfo_v2(&free, &bytes), CUDA_ERROR_NOT_INITIALIZED);
  EXPECT_EQ(cu.cuMemcpyHtoDAsync_v2(address, host, 4, nullptr), CUDA_ERROR_NOT_INITIALIZED);
  EXPECT_EQ(cu.cuMemcpyDtoHAsync_v2(host, address, 4, nullptr), CUDA_ERROR_NOT_INITIALIZED);
  EXPECT_EQ(cu.cuStreamSynchronize(nullptr), CUDA_ERROR_NOT_INITIALIZED);
  EXPECT_EQ(cu.cuStreamWaitEvent(nullptr, event, 0), CUDA_ERROR_NOT_INITIALIZED);
  EXPECT_EQ(cu.cuEventCreate(&event, 2), CUDA_ERROR_NOT_INITIALIZED);
  EXPECT_EQ(cu.cuEventRecord(event, nullptr), CUDA_ERROR_NOT_INITIALIZED);
  EXPECT_EQ(cu.cuEventDestroy_v2(event), CUDA_ERROR_NOT_INITIALIZED);
  EXPECT_EQ(cu.cuModuleLoadData(&module, ".version 8.5\n"), CUDA_ERROR_NOT_INITIALIZED);
  EXPECT_EQ(cu.cuModuleGetFunction(&function, module, "k"), CUDA_ERROR_NOT_INITIALIZED);
  EXPECT_EQ(cu.cuModuleUnload(module), CUDA_ERROR_NOT_INITIALIZED);
  EXPECT_EQ(cu.cuLaunchKernel(function, 1, 1, 1, 1, 1, 1, 0, nullptr, nullptr, nullptr),
            CUDA_ERROR_NOT_INITIALIZED);
  const char* text = nullptr;
  EXPECT_EQ(cu.cuGetErrorString(CUDA_ERROR_NOT_INITIALIZED, &text), CUDA_SUCCESS);
  EXPECT_STREQ(text, "initialization error");
}

TEST_F(DeviceTest, InitRefusesFlagsAndStaysUninitialised) {
  int count = 0;
  EXPECT_EQ(cu.cuInit(1), CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(cu.cuDeviceGetCount(&count), CUDA_ERROR_NOT_INITIALIZED);
  EXPECT_EQ(cu.cuInit(0), CUDA_SUCCESS);
  EXPECT_EQ(cu.cuInit(0), CUDA_SUCCESS) << "a second cuInit(0) is harmless";
  EXPECT_EQ(cu.cuDeviceGetCount(&count), CUDA_SUCCESS);
  EXPECT_EQ(count, 1);
}

TEST_F(DeviceTest, DeviceCountComesFromTheEnvironment) {
  setenv("VORLAN_EMU_DEVICES", "3", 1);
  ASSERT_EQ(cu.cuInit(0), CUDA_SUCCESS);
  int count = 0;
  ASSERT_EQ(cu.cuDeviceGetCount(&count), CUDA_SUCCESS);
  EXPECT_EQ(count, 3);
  CUdevice device = -1;
  EXPECT_EQ(cu.cuDeviceGet(&device, 2), CUDA_SUCCESS);
  EXPECT_EQ(device, 2);
  EXPECT_EQ(cu.cuDeviceGet(&device, 3), CUDA_ERROR_INVALID_DEVICE);
  EXPECT_EQ(cu.cuDeviceGet(&device, -1), CUDA_ERROR_INVALID_DEVICE);
  EXPECT_EQ(cu.cuDeviceGet(nullptr, 0), CUDA_ERROR_INVALID_VALUE);
}

TEST_F(DeviceTest, NoDevicesMeansNoDriver) {
  setenv("VORLAN_EMU_DEVICES", "0", 1);
  EXPECT_EQ(cu.cuInit(0), CUDA_ERROR_NO_DEVICE);
  int count = 0;
  EXPECT_EQ(cu.cuDeviceGetCount(&count), CUDA_ERROR_NOT_INITIALIZED);
}

TEST_F(DeviceTest, UnreadableConfigurationFailsInit) {
  for (const char* name : {"VORLAN_EMU_DEVICES", "VORLAN_EMU_MEMORY", "VORLAN_EMU_POOLS",
                           "VORLAN_EMU_BUDGET", "VORLAN_EMU_SEED"}) {
    SCOPED_TRACE(name);
    setenv(name, "lots", 1);
    EXPECT_EQ(cu.cuInit(0), CUDA_ERROR_INVALID_VALUE);
    unsetenv(name);
  }
  setenv("VORLAN_EMU_MEMORY", "0", 1);
  EXPECT_EQ(cu.cuInit(0), CUDA_ERROR_INVALID_VALUE) << "a device without memory";
  setenv("VORLAN_EMU_MEMORY", "99999999999G", 1);
  EXPECT_EQ(cu.cuInit(0), CUDA_ERROR_INVALID_VALUE) << "more bytes than 64 bits hold";
  setenv("VORLAN_EMU_MEMORY", "12M", 1);
  setenv("VORLAN_EMU_SEED", "", 1);
  setenv("VORLAN_EMU_VERBOSE", "yes", 1);
  EXPECT_EQ(cu.cuInit(0), CUDA_SUCCESS) << "empty means unset; diagnostics switches take any value";
  std::size_t bytes = 0;
  EXPECT_EQ(cu.cuDeviceTotalMem_v2(&bytes, 0), CUDA_SUCCESS);
  EXPECT_EQ(bytes, std::size_t{12} << 20);
}

TEST_F(DeviceTest, TotalMemoryDefaultsToEightGiB) {
  ASSERT_EQ(cu.cuInit(0), CUDA_SUCCESS);
  std::size_t bytes = 0;
  EXPECT_EQ(cu.cuDeviceTotalMem_v2(&bytes, 0), CUDA_SUCCESS);
  EXPECT_EQ(bytes, std::size_t{8} << 30);
  EXPECT_EQ(cu.cuDeviceTotalMem_v2(&bytes, 1), CUDA_ERROR_INVALID_DEVICE);
  EXPECT_EQ(cu.cuDeviceTotalMem_v2(nullptr, 0), CUDA_ERROR_INVALID_VALUE);
}

TEST_F(DeviceTest, TotalMemoryComesFromTheEnvironment) {
  setenv("VORLAN_EMU_MEMORY", "3K", 1);
  ASSERT_EQ(cu.cuInit(0), CUDA_SUCCESS);
  std::size_t bytes = 0;
  EXPECT_EQ(cu.cuDeviceTotalMem_v2(&bytes, 0), CUDA_SUCCESS);
  EXPECT_EQ(bytes, 3u * 1024);
  cu.reset();
  setenv("VORLAN_EMU_MEMORY", "123456789", 1);
  ASSERT_EQ(cu.cuInit(0), CUDA_SUCCESS);
  EXPECT_EQ(cu.cuDeviceTotalMem_v2(&bytes, 0), CUDA_SUCCESS);
  EXPECT_EQ(bytes, 123456789u);
}

TEST_F(DeviceTest, MemoryPoolSupportIsAttribute115) {
  ASSERT_EQ(cu.cuInit(0), CUDA_SUCCESS);
  int value = -1;
  EXPECT_EQ(cu.cuDeviceGetAttribute(&value, CU_DEVICE_ATTRIBUTE_MEMORY_POOLS_SUPPORTED, 0),
            CUDA_SUCCESS);
  EXPECT_EQ(value, 1);
  cu.reset();
  setenv("VORLAN_EMU_POOLS", "0", 1);
  ASSERT_EQ(cu.cuInit(0), CUDA_SUCCESS);
  EXPECT_EQ(cu.cuDeviceGetAttribute(&value, CU_DEVICE_ATTRIBUTE_MEMORY_POOLS_SUPPORTED, 0),
            CUDA_SUCCESS);
  EXPECT_EQ(value, 0);
}

TEST_F(DeviceTest, AttributeQueriesCheckTheirArguments) {
  ASSERT_EQ(cu.cuInit(0), CUDA_SUCCESS);
  int value = -1;
  EXPECT_EQ(cu.cuDeviceGetAttribute(&value, 1, 0), CUDA_SUCCESS);
  EXPECT_EQ(value, 1024) << "max threads per block";
  EXPECT_EQ(cu.cuDeviceGetAttribute(&value, 10, 0), CUDA_SUCCESS);
  EXPECT_EQ(value, 32) << "warp size";
  EXPECT_EQ(cu.cuDeviceGetAttribute(&value, 8, 0), CUDA_SUCCESS);
  EXPECT_EQ(value, 48 * 1024) << "shared memory per block";
  EXPECT_EQ(cu.cuDeviceGetAttribute(&value, 9999, 0), CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(cu.cuDeviceGetAttribute(&value, CU_DEVICE_ATTRIBUTE_MEMORY_POOLS_SUPPORTED, 1),
            CUDA_ERROR_INVALID_DEVICE);
  EXPECT_EQ(cu.cuDeviceGetAttribute(nullptr, CU_DEVICE_ATTRIBUTE_MEMORY_POOLS_SUPPORTED, 0),
            CUDA_ERROR_INVALID_VALUE);
}

TEST_F(DeviceTest, NameSaysSoftwareGpuAndRespectsTheLength) {
  ASSERT_EQ(cu.cuInit(0), CUDA_SUCCESS);
  char name[128];
  std::memset(name, 'x', sizeof name);
  ASSERT_EQ(cu.cuDeviceGetName(name, sizeof name, 0), CUDA_SUCCESS);
  EXPECT_STREQ(name, "vorlan software GPU");

  std::memset(name, 'x', sizeof name);
  ASSERT_EQ(cu.cuDeviceGetName(name, 5, 0), CUDA_SUCCESS);
  EXPECT_STREQ(name, "vorl") << "len bytes at most, the last one the terminator";
  EXPECT_EQ(name[5], 'x') << "nothing written past len";

  std::memset(name, 'x', sizeof name);
  ASSERT_EQ(cu.cuDeviceGetName(name, 1, 0), CUDA_SUCCESS);
  EXPECT_EQ(name[0], '\0');
  EXPECT_EQ(name[1], 'x');

  EXPECT_EQ(cu.cuDeviceGetName(name, 0, 0), CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(cu.cuDeviceGetName(nullptr, 16, 0), CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(cu.cuDeviceGetName(name, sizeof name, 7), CUDA_ERROR_INVALID_DEVICE);
}

TEST_F(DeviceTest, DriverVersionIs12_6) {
  ASSERT_EQ(cu.cuInit(0), CUDA_SUCCESS);
  int version = 0;
  EXPECT_EQ(cu.cuDriverGetVersion(&version), CUDA_SUCCESS);
  EXPECT_EQ(version, 12060);
  EXPECT_EQ(cu.cuDriverGetVersion(nullptr), CUDA_ERROR_INVALID_VALUE);
}

}  // namespace
}  // namespace vorlan::emu::test
