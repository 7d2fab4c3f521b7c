#include "error_text.hpp"

#include <algorithm>
#include <array>
#include <iterator>

namespace vorlan::emu {
namespace {

struct Description {
  CUresult code;
  const char* text;
};

// Sorted by code. The wording is the driver's own, so that messages built on
// this library read the same as on a machine with a GPU.
constexpr std::array kDescriptions{
    Description{0, "no error"},
    Description{1, "invalid argument"},
    Description{2, "out of memory"},
    Description{3, "initialization error"},
    Description{4, "driver shutting down"},
    Description{5, "profiler disabled while using external profiling tool"},
    Description{6, "profiler not initialized: call cudaProfilerInitialize()"},
    Description{7, "profiler already started"},
    Description{8, "profiler already stopped"},
    Description{34, "CUDA driver is a stub library"},
    Description{46, "CUDA-capable device(s) is/are busy or unavailable"},
    Description{100, "no CUDA-capable device is detected"},
    Description{101, "invalid device ordinal"},
    Description{102, "device doesn't have valid Grid license"},
    Description{200, "device kernel image is invalid"},
    Description{201, "invalid device context"},
    Description{202, "context already current"},
    Description{205, "mapping of buffer object failed"},
    Description{206, "unmapping of buffer object failed"},
    Description{207, "array is mapped"},
    Description{208, "resource already mapped"},
    Description{209, "no kernel image is available for execution on the device"},
    Description{210, "resource already acquired"},
    Description{211, "resource not mapped"},
    Description{212, "resource not mapped as array"},
    Description{213, "resource not mapped as pointer"},
    Description{214, "uncorrectable ECC error encountered"},
    Description{215, "limit is not supported on this architecture"},
    Description{216, "exclusive-thread device already in use by a different thread"},
    Description{217, "peer access is not supported between these two devices"},
    Description{218, "a PTX JIT compilation failed"},
    Description{219, "invalid OpenGL or DirectX context"},
    Description{220, "uncorrectable NVLink error detected during the execution"},
    Description{221, "PTX JIT compiler library not found"},
    Description{222, "the provided PTX was compiled with an unsupported toolchain."},
    Description{223, "PTX JIT compilation was disabled"},
    Description{224, "the provided execution affinity is not supported"},
    Description{225, "the provided PTX contains unsupported call to cudaDeviceSynchronize"},
    Description{300, "device kernel image is invalid"},
    Description{301, "file not found"},
    Description{302, "shared object symbol not found"},
    Description{303, "shared object initialization failed"},
    Description{304, "OS call failed or operation not supported on this OS"},
    Description{400, "invalid resource handle"},
    Description{401, "the operation cannot be performed in the present state"},
    Description{402, "attempted introspection would be semantically lossy"},
    Description{500, "named symbol not found"},
    Description{600, "device not ready"},
    Description{700, "an illegal memory access was encountered"},
    Description{701, "too many resources requested for launch"},
    Description{702, "the launch timed out and was terminated"},
    Description{703, "launch uses incompatible texturing mode"},
    Description{704, "peer access is already enabled"},
    Description{705, "peer access has not been enabled"},
    Description{708, "cannot set while device is active in this process"},
    Description{709, "context is destroyed"},
    Description{710, "device-side assert triggered"},
    Description{711, "peer mapping resources exhausted"},
    Description{712, "part or all of the requested memory range is already mapped"},
    Description{713, "pointer does not correspond to a registered memory region"},
    Description{714, "hardware stack error"},
    Description{715, "an illegal instruction was encountered"},
    Description{716, "misaligned address"},
    Description{717, "operation not supported on global/shared address space"},
    Description{718, "invalid program counter"},
    Description{719, "unspecified launch failure"},
    Description{720, "too many blocks in cooperative launch"},
    Description{800, "operation not permitted"},
    Description{801, "operation not supported"},
    Description{802, "system not yet initialized"},
    Description{803, "system has unsupported display driver / cuda driver combination"},
    Description{804, "forward compatibility was attempted on non supported HW"},
    Description{805, "MPS client failed to connect to the MPS control daemon or the MPS server"},
    Description{806, "the remote procedural call between the MPS server and the MPS client failed"},
    Description{807, "MPS server is not ready to accept new MPS client requests"},
    Description{808, "the hardware resources required to create MPS client have been exhausted"},
    Description{
        809, "the hardware resources required to support device connections have been exhausted"},
    Description{810, "the MPS client has been terminated by the server"},
    Description{811,
                "is using CUDA Dynamic Parallelism, but the current configuration, like MPS, does "
                "not support it"},
    Description{812,
                "unsupported interaction between different versions of CUDA Dynamic Parallelism"},
    Description{900, "operation not permitted when stream is capturing"},
    Description{901, "operation failed due to a previous error during capture"},
    Description{902, "operation would result in a merge of separate capture sequences"},
    Description{903, "capture was not ended in the same stream as it began"},
    Description{904, "capturing stream has unjoined work"},
    Description{905, "dependency created on uncaptured work in another stream"},
    Description{906,
                "operation would make the legacy stream depend on a capturing blocking stream"},
    Description{907, "operation not permitted on an event last recorded in a capturing stream"},
    Description{908, "attempt to terminate a thread-local capture sequence from another thread"},
    Description{909, "wait operation timed out"},
    Description{910,
                "the graph update was not performed because it included changes which violated "
                "constraints specific to instantiated graph update"},
    Description{911, "an async error has occurred in external entity outside of CUDA"},
    Description{912, "invalid cluster size"},
    Description{913, "the function is not loaded"},
    Description{914, "invalid resource type"},
    Description{915, "invalid resource configuration"},
    Description{999, "unknown error"},
};

static_assert(std::ranges::is_sorted(kDescriptions, {}, &Description::code));

}  // namespace

const char* error_text(CUresult code) {
  auto found = std::ranges::lower_bound(kDescriptions, code, {}, &Description::code);
  if (found == std::end(kDescriptions) || found->code != code) return nullptr;
  return found->text;
}

}  // namespace vorlan::emu
