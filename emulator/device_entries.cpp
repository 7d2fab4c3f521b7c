// Initialisation, device queries and error text: the calls that need no
// context.
#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>

#include "entry_guard.hpp"
#include "entry_points.hpp"
#include "error_text.hpp"
#include "launch_limits.hpp"

using namespace vorlan::emu;

namespace {

constexpr std::string_view kDeviceName = "vorlan software GPU";

std::optional<int> attribute_value(const Device& device, CUdevice_attribute attribute) {
  switch (attribute) {
    case 1:
      return static_cast<int>(kMaxThreadsPerBlock);
    case 2:
    case 3:
    case 4:
      return static_cast<int>(kMaxBlockDim[attribute - 2]);
    case 5:
    case 6:
    case 7:
      return static_cast<int>(kMaxGridDim[attribute - 5]);
    case 8:
    case 97:
      return static_cast<int>(kMaxSharedBytesPerBlock);
    case 9:
      return 64 * 1024;  // constant memory
    case 10:
      return static_cast<int>(kWarpSize);
    case 12:
      return 64 * 1024;  // registers per block
    case 16:
      return 1;  // multiprocessors
    case 41:
      return 1;  // unified addressing
    case 75:
      return kComputeMajor;
    case 76:
      return kComputeMinor;
    case CU_DEVICE_ATTRIBUTE_MEMORY_POOLS_SUPPORTED:
      return device.memory_pools() ? 1 : 0;
    default:
      return std::nullopt;
  }
}

// Runs `body(device)` for an existing device.
template <class Body>
CUresult on_device(Entry entry, CUdevice ordinal, Body&& body) {
  return run_initialized(entry, [&](Driver& driver) {
    Device* device = driver.device(ordinal);
    if (device == nullptr) return CUDA_ERROR_INVALID_DEVICE;
    return body(*device);
  });
}

}  // namespace

extern "C" {

CUresult cuInit(unsigned int Flags) {
  return run_entry(Entry::cuInit, [&](Driver& driver) {
    if (Flags != 0) return driver.refuse(CUDA_ERROR_INVALID_VALUE, "cuInit: flags must be 0");
    return driver.initialize();
  });
}

CUresult cuDriverGetVersion(int* driverVersion) {
  return run_initialized(Entry::cuDriverGetVersion, [&](Driver&) {
    if (driverVersion == nullptr) return CUDA_ERROR_INVALID_VALUE;
    *driverVersion = kDriverVersion;
    return CUDA_SUCCESS;
  });
}

CUresult cuDeviceGetCount(int* count) {
  return run_initialized(Entry::cuDeviceGetCount, [&](Driver& driver) {
    if (count == nullptr) return CUDA_ERROR_INVALID_VALUE;
    *count = driver.device_count();
    return CUDA_SUCCESS;
  });
}

CUresult cuDeviceGet(CUdevice* device, int ordinal) {
  return run_initialized(Entry::cuDeviceGet, [&](Driver& driver) {
    if (device == nullptr) return CUDA_ERROR_INVALID_VALUE;
    if (driver.device(ordinal) == nullptr) return CUDA_ERROR_INVALID_DEVICE;
    *device = ordinal;
    return CUDA_SUCCESS;
  });
}

CUresult cuDeviceGetAttribute(int* pi, CUdevice_attribute attrib, CUdevice dev) {
  return on_device(Entry::cuDeviceGetAttribute, dev, [&](const Device& device) {
    auto value = attribute_value(device, attrib);
    if (pi == nullptr || !value) return CUDA_ERROR_INVALID_VALUE;
    *pi = *value;
    return CUDA_SUCCESS;
  });
}

CUresult cuDeviceGetName(char* name, int len, CUdevice dev) {
  return on_device(Entry::cuDeviceGetName, dev, [&](const Device&) {
    if (name == nullptr || len <= 0) return CUDA_ERROR_INVALID_VALUE;
    std::size_t copied = std::min(kDeviceName.size(), static_cast<std::size_t>(len) - 1);
    std::memcpy(name, kDeviceName.data(), copied);
    name[copied] = '\0';
    return CUDA_SUCCESS;
  });
}

CUresult cuDeviceTotalMem_v2(std::size_t* bytes, CUdevice dev) {
  return on_device(Entry::cuDeviceTotalMem_v2, dev, [&](const Device& device) {
    if (bytes == nullptr) return CUDA_ERROR_INVALID_VALUE;
    *bytes = device.memory_bytes();
    return CUDA_SUCCESS;
  });
}

CUresult cuGetErrorString(CUresult error, const char** pStr) {
  return run_entry(Entry::cuGetErrorString, [&](Driver&) {
    if (pStr == nullptr) return CUDA_ERROR_INVALID_VALUE;
    *pStr = error_text(error);
    return *pStr == nullptr ? CUDA_ERROR_INVALID_VALUE : CUDA_SUCCESS;
  });
}

}  // extern "C"
