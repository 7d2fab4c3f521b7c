// The slice of the CUDA driver API this project speaks, declared by hand so that
// nothing needs a CUDA toolkit to build. Types and signatures follow the
// published driver API; only the entry points listed below are ever resolved.
//
// The X-macro lists are the single source of the entry points: the loader builds
// its function-pointer table from them, the software GPU defines them, and test
// libraries stub them out.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

using CUresult = std::uint32_t;
using CUdevice = int;
using CUdeviceptr = unsigned long long;
using CUdevice_attribute = int;

struct CUctx_st;
struct CUmod_st;
struct CUfunc_st;
struct CUstream_st;
struct CUevent_st;
using CUcontext = CUctx_st*;
using CUmodule = CUmod_st*;
using CUfunction = CUfunc_st*;
using CUstream = CUstream_st*;
using CUevent = CUevent_st*;

}  // extern "C"

namespace vorlan::cuda {

inline constexpr CUresult CUDA_SUCCESS = 0;
inline constexpr CUresult CUDA_ERROR_INVALID_VALUE = 1;
inline constexpr CUresult CUDA_ERROR_OUT_OF_MEMORY = 2;
inline constexpr CUresult CUDA_ERROR_NOT_INITIALIZED = 3;
inline constexpr CUresult CUDA_ERROR_NO_DEVICE = 100;
inline constexpr CUresult CUDA_ERROR_INVALID_DEVICE = 101;
inline constexpr CUresult CUDA_ERROR_INVALID_CONTEXT = 201;
inline constexpr CUresult CUDA_ERROR_ECC_UNCORRECTABLE = 214;
inline constexpr CUresult CUDA_ERROR_INVALID_PTX = 218;
inline constexpr CUresult CUDA_ERROR_UNSUPPORTED_PTX_VERSION = 222;
inline constexpr CUresult CUDA_ERROR_INVALID_HANDLE = 400;
inline constexpr CUresult CUDA_ERROR_NOT_FOUND = 500;
inline constexpr CUresult CUDA_ERROR_NOT_READY = 600;
inline constexpr CUresult CUDA_ERROR_ILLEGAL_ADDRESS = 700;
inline constexpr CUresult CUDA_ERROR_LAUNCH_OUT_OF_RESOURCES = 701;
inline constexpr CUresult CUDA_ERROR_LAUNCH_TIMEOUT = 702;
inline constexpr CUresult CUDA_ERROR_ASSERT = 710;
inline constexpr CUresult CUDA_ERROR_HARDWARE_STACK_ERROR = 714;
inline constexpr CUresult CUDA_ERROR_ILLEGAL_INSTRUCTION = 715;
inline constexpr CUresult CUDA_ERROR_MISALIGNED_ADDRESS = 716;
inline constexpr CUresult CUDA_ERROR_INVALID_ADDRESS_SPACE = 717;
inline constexpr CUresult CUDA_ERROR_INVALID_PC = 718;
inline constexpr CUresult CUDA_ERROR_LAUNCH_FAILED = 719;
inline constexpr CUresult CUDA_ERROR_EXTERNAL_DEVICE = 911;
inline constexpr CUresult CUDA_ERROR_UNKNOWN = 999;

inline constexpr CUdevice_attribute CU_DEVICE_ATTRIBUTE_MEMORY_POOLS_SUPPORTED = 115;
inline constexpr unsigned CU_EVENT_DISABLE_TIMING = 2;

}  // namespace vorlan::cuda

// The entry points this module calls: X(name, (parameter list)). Every one
// returns CUresult. Names are the exported, versioned symbol names.
#define VORLAN_DRIVER_ENTRY_POINTS(X)                                                            \
  X(cuInit, (unsigned int Flags))                                                                \
  X(cuDeviceGet, (CUdevice * device, int ordinal))                                               \
  X(cuDeviceGetAttribute, (int* pi, CUdevice_attribute attrib, CUdevice dev))                    \
  X(cuDevicePrimaryCtxRetain, (CUcontext * pctx, CUdevice dev))                                  \
  X(cuDevicePrimaryCtxRelease_v2, (CUdevice dev))                                                \
  X(cuCtxGetCurrent, (CUcontext * pctx))                                                         \
  X(cuCtxSetCurrent, (CUcontext ctx))                                                            \
  X(cuDeviceGetName, (char* name, int len, CUdevice dev))                                        \
  X(cuDeviceTotalMem_v2, (std::size_t* bytes, CUdevice dev))                                     \
  X(cuMemAllocAsync, (CUdeviceptr * dptr, std::size_t bytesize, CUstream hStream))               \
  X(cuMemAlloc_v2, (CUdeviceptr * dptr, std::size_t bytesize))                                   \
  X(cuMemFreeAsync, (CUdeviceptr dptr, CUstream hStream))                                        \
  X(cuMemFree_v2, (CUdeviceptr dptr))                                                            \
  X(cuMemcpyHtoDAsync_v2,                                                                        \
    (CUdeviceptr dstDevice, const void* srcHost, std::size_t ByteCount, CUstream hStream))       \
  X(cuMemcpyDtoHAsync_v2,                                                                        \
    (void* dstHost, CUdeviceptr srcDevice, std::size_t ByteCount, CUstream hStream))             \
  X(cuMemsetD8Async, (CUdeviceptr dstDevice, unsigned char uc, std::size_t N, CUstream hStream)) \
  X(cuMemsetD32Async, (CUdeviceptr dstDevice, unsigned int ui, std::size_t N, CUstream hStream)) \
  X(cuStreamSynchronize, (CUstream hStream))                                                     \
  X(cuStreamWaitEvent, (CUstream hStream, CUevent hEvent, unsigned int Flags))                   \
  X(cuEventCreate, (CUevent * phEvent, unsigned int Flags))                                      \
  X(cuEventRecord, (CUevent hEvent, CUstream hStream))                                           \
  X(cuEventDestroy_v2, (CUevent hEvent))                                                         \
  X(cuModuleLoadData, (CUmodule * module, const void* image))                                    \
  X(cuModuleGetFunction, (CUfunction * hfunc, CUmodule hmod, const char* name))                  \
  X(cuModuleUnload, (CUmodule hmod))                                                             \
  X(cuLaunchKernel,                                                                              \
    (CUfunction f, unsigned int gridDimX, unsigned int gridDimY, unsigned int gridDimZ,          \
     unsigned int blockDimX, unsigned int blockDimY, unsigned int blockDimZ,                     \
     unsigned int sharedMemBytes, CUstream hStream, void** kernelParams, void** extra))          \
  X(cuGetErrorString, (CUresult error, const char** pStr))

// Further entry points that the software GPU offers for users' own code; this
// module never resolves them.
#define VORLAN_DRIVER_EXTRA_ENTRY_POINTS(X)                   \
  X(cuDeviceGetCount, (int* count))                           \
  X(cuDriverGetVersion, (int* driverVersion))                 \
  X(cuMemGetInfo_v2, (std::size_t* free, std::size_t* total)) \
  X(cuCtxSynchronize, ())
