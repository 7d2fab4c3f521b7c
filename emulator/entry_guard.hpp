// The common prologue of every entry point: take the driver lock, count the
// call, fire an injected failure, then check what the call needs before its
// body runs.
#pragma once

#include <cstdint>
#include <format>
#include <mutex>
#include <new>
#include <utility>

#include "driver.hpp"
#include "result_codes.hpp"

namespace vorlan::emu {

// Runs `body(driver)` for any state of the driver. No exception may cross
// into the C caller: running out of host memory is the device running out of
// memory, and anything else is the driver's own failure.
template <class Body>
CUresult run_entry(Entry entry, Body&& body) {
  Driver& driver = Driver::instance();
  std::scoped_lock lock{driver.mutex()};
  if (auto injected = driver.control().on_call(entry)) return *injected;
  try {
    return std::forward<Body>(body)(driver);
  } catch (const std::bad_alloc&) {
    return CUDA_ERROR_OUT_OF_MEMORY;
  } catch (...) {
    return CUDA_ERROR_UNKNOWN;
  }
}

// Runs `body(driver)` once cuInit has succeeded.
template <class Body>
CUresult run_initialized(Entry entry, Body&& body) {
  return run_entry(entry, [&](Driver& driver) {
    if (!driver.initialized()) return CUDA_ERROR_NOT_INITIALIZED;
    return std::forward<Body>(body)(driver);
  });
}

// Runs `body(driver, context)` on the calling thread's current context.
template <class Body>
CUresult run_in_context(Entry entry, Body&& body) {
  return run_initialized(entry, [&](Driver& driver) {
    auto context = driver.current_context();
    if (!context) {
      return driver.refuse(
          CUDA_ERROR_INVALID_CONTEXT,
          std::format("{}: no current context on this thread", kEntryNames[index_of(entry)]));
    }
    return std::forward<Body>(body)(driver, *context);
  });
}

// The null stream of the current context (also under its two special names
// CU_STREAM_LEGACY and CU_STREAM_PER_THREAD) is the only stream there is.
inline bool is_null_stream(CUstream stream) {
  auto value = reinterpret_cast<std::uintptr_t>(stream);
  return value == 0 || value == 1 || value == 2;
}

}  // namespace vorlan::emu
