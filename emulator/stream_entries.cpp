// Events and the null stream. Work runs to completion when it is issued, so
// recording and waiting only check their handles; the stream's one real duty
// is to report a kernel's fault when it is synchronised.
#include <format>

#include "entry_guard.hpp"
#include "entry_points.hpp"

using namespace vorlan::emu;

namespace {

constexpr unsigned kEventFlags = 0x7;  // blocking sync, disable timing, interprocess
constexpr unsigned kEventInterprocess = 0x4;
constexpr unsigned kWaitFlags = 0x1;  // CU_EVENT_WAIT_EXTERNAL

CUresult unknown_event(Driver& driver, std::string_view entry) {
  return driver.refuse(CUDA_ERROR_INVALID_HANDLE, std::format("{}: not a live event", entry));
}

}  // namespace

extern "C" {

CUresult cuEventCreate(CUevent* phEvent, unsigned int Flags) {
  return run_in_context(Entry::cuEventCreate, [&](Driver& driver, LiveContext context) {
    if (CUresult sticky = context.state.error()) return sticky;
    bool flags_valid = (Flags & ~kEventFlags) == 0 && ((Flags & kEventInterprocess) == 0 ||
                                                       (Flags & CU_EVENT_DISABLE_TIMING) != 0);
    if (phEvent == nullptr || !flags_valid) return CUDA_ERROR_INVALID_VALUE;
    HandleId event = driver.handles().next(HandleKind::event);
    context.state.events().add(event);
    *phEvent = to_handle<CUevent>(event);
    return CUDA_SUCCESS;
  });
}

CUresult cuEventRecord(CUevent hEvent, CUstream hStream) {
  return run_in_context(Entry::cuEventRecord, [&](Driver& driver, LiveContext context) {
    if (!is_null_stream(hStream)) return CUDA_ERROR_INVALID_HANDLE;
    HandleId event = from_handle(hEvent);
    if (!context.state.events().contains(event)) {
      if (driver.owner_of_event(event)) {
        return driver.refuse(CUDA_ERROR_INVALID_HANDLE,
                             "cuEventRecord: the event belongs to another context than the stream");
      }
      return unknown_event(driver, "cuEventRecord");
    }
    return context.state.error();
  });
}

CUresult cuEventDestroy_v2(CUevent hEvent) {
  return run_initialized(Entry::cuEventDestroy_v2, [&](Driver& driver) {
    HandleId event = from_handle(hEvent);
    auto owner = driver.owner_of_event(event);
    if (!owner) return unknown_event(driver, "cuEventDestroy_v2");
    if (CUresult sticky = owner->state.error()) return sticky;
    owner->state.events().remove(event);
    return CUDA_SUCCESS;
  });
}

// The event may come from any context; the stream is the current context's.
CUresult cuStreamWaitEvent(CUstream hStream, CUevent hEvent, unsigned int Flags) {
  return run_in_context(Entry::cuStreamWaitEvent, [&](Driver& driver, LiveContext context) {
    if (!is_null_stream(hStream)) return CUDA_ERROR_INVALID_HANDLE;
    if (!driver.owner_of_event(from_handle(hEvent)))
      return unknown_event(driver, "cuStreamWaitEvent");
    if (CUresult sticky = context.state.error()) return sticky;
    if ((Flags & ~kWaitFlags) != 0) return CUDA_ERROR_INVALID_VALUE;
    return CUDA_SUCCESS;
  });
}

CUresult cuStreamSynchronize(CUstream hStream) {
  return run_in_context(Entry::cuStreamSynchronize, [&](Driver&, LiveContext context) {
    if (!is_null_stream(hStream)) return CUDA_ERROR_INVALID_HANDLE;
    return context.state.synchronize();
  });
}

}  // extern "C"
