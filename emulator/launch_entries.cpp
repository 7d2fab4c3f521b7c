// cuLaunchKernel. The grid runs to completion inside the call; a fault it
// hits is kept by the context and reported by the next synchronising call,
// which is where a program on a real GPU would first see it.
#include <format>
#include <vector>

#include "entry_guard.hpp"
#include "entry_points.hpp"
#include "launch.hpp"

using namespace vorlan::emu;

namespace {

CUresult unknown_function(Driver& driver, HandleId function) {
  bool elsewhere = driver.owner_of_function(function).has_value();
  return driver.refuse(CUDA_ERROR_INVALID_HANDLE,
                       elsewhere ? "cuLaunchKernel: the kernel belongs to another context"
                                 : "cuLaunchKernel: not a kernel of a loaded module");
}

CUresult refuse_launch(Driver& driver, const Kernel& kernel, const std::string& why) {
  return driver.refuse(CUDA_ERROR_INVALID_VALUE,
                       std::format("cuLaunchKernel: {} refused: {}", kernel.name(), why));
}

// Refusals of the engine (out of resources) are the launch's own result;
// anything else stopped a running kernel and is a fault of the context. The
// engine describes either to a verbose user itself.
CUresult settle(ContextState& state, CUresult result) {
  if (result == CUDA_SUCCESS) return CUDA_SUCCESS;
  if (result == CUDA_ERROR_INVALID_VALUE || result == CUDA_ERROR_LAUNCH_OUT_OF_RESOURCES)
    return result;
  state.kernel_faulted(result);
  return CUDA_SUCCESS;
}

}  // namespace

extern "C" {

CUresult cuLaunchKernel(CUfunction f, unsigned int gridDimX, unsigned int gridDimY,
                        unsigned int gridDimZ, unsigned int blockDimX, unsigned int blockDimY,
                        unsigned int blockDimZ, unsigned int sharedMemBytes, CUstream hStream,
                        void** kernelParams, void** extra) {
  return run_in_context(Entry::cuLaunchKernel, [&](Driver& driver, LiveContext context) {
    HandleId function = from_handle(f);
    const Kernel* kernel = context.state.modules().kernel(function);
    if (kernel == nullptr) return unknown_function(driver, function);
    if (!is_null_stream(hStream)) return CUDA_ERROR_INVALID_HANDLE;
    if (CUresult sticky = context.state.error()) return sticky;
    if (extra != nullptr)
      return refuse_launch(driver, *kernel, "extra is not supported, use kernelParams");
    if (auto why = parameter_problem(*kernel, kernelParams))
      return refuse_launch(driver, *kernel, *why);
    const LaunchShape shape{
        {gridDimX, gridDimY, gridDimZ}, {blockDimX, blockDimY, blockDimZ}, sharedMemBytes};
    const std::vector<std::byte> params = pack_params(*kernel, kernelParams);
    const LaunchRequest request = launch_request(*kernel, shape, params, driver.config());
    // Checked here, once: the engine runs what this accepted as it stands.
    if (auto why = launch_problem(request)) return refuse_launch(driver, *kernel, *why);
    // A device that faulted runs nothing more until the fault is reported.
    if (!context.state.healthy()) return CUDA_SUCCESS;
    return settle(context.state, run_accepted(request, context.state.memory()));
  });
}

}  // extern "C"
