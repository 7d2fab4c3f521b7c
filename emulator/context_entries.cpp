// Primary contexts, the per-thread current context and context-wide
// synchronisation.
#include <format>

#include "entry_guard.hpp"
#include "entry_points.hpp"

using namespace vorlan::emu;

extern "C" {

CUresult cuDevicePrimaryCtxRetain(CUcontext* pctx, CUdevice dev) {
  return run_initialized(Entry::cuDevicePrimaryCtxRetain, [&](Driver& driver) {
    Device* device = driver.device(dev);
    if (device == nullptr) return CUDA_ERROR_INVALID_DEVICE;
    if (pctx == nullptr) return CUDA_ERROR_INVALID_VALUE;
    device->retain();
    *pctx = to_handle<CUcontext>(device->context_handle());
    return CUDA_SUCCESS;
  });
}

CUresult cuDevicePrimaryCtxRelease_v2(CUdevice dev) {
  return run_initialized(Entry::cuDevicePrimaryCtxRelease_v2, [&](Driver& driver) {
    Device* device = driver.device(dev);
    if (device == nullptr) return CUDA_ERROR_INVALID_DEVICE;
    if (!device->release()) {
      return driver.refuse(CUDA_ERROR_INVALID_CONTEXT,
                           std::format("cuDevicePrimaryCtxRelease_v2: the primary context of "
                                       "device {} is not retained",
                                       dev));
    }
    return CUDA_SUCCESS;
  });
}

CUresult cuCtxGetCurrent(CUcontext* pctx) {
  return run_initialized(Entry::cuCtxGetCurrent, [&](Driver& driver) {
    if (pctx == nullptr) return CUDA_ERROR_INVALID_VALUE;
    *pctx = to_handle<CUcontext>(driver.current());
    return CUDA_SUCCESS;
  });
}

CUresult cuCtxSetCurrent(CUcontext ctx) {
  return run_initialized(Entry::cuCtxSetCurrent, [&](Driver& driver) {
    HandleId context = from_handle(ctx);
    if (context != 0 && driver.device_of(context) == nullptr) {
      return driver.refuse(CUDA_ERROR_INVALID_CONTEXT, "cuCtxSetCurrent: not a context handle");
    }
    driver.make_current(context);
    return CUDA_SUCCESS;
  });
}

CUresult cuCtxSynchronize() {
  return run_in_context(Entry::cuCtxSynchronize,
                        [](Driver&, LiveContext context) { return context.state.synchronize(); });
}

}  // extern "C"
