// A stand-in driver library for the loader tests, built from the same list of
// entry points the loader resolves. Every entry point succeeds and does
// nothing, except cuGetErrorString, which knows a few texts chosen to exercise
// the written form of driver errors. Built once complete and once without
// cuLaunchKernel (VORLAN_FAKE_OMIT_LAUNCH).
#include <cstring>

#include "driver/cuda_api.hpp"

#define VORLAN_EXPORT extern "C" __attribute__((visibility("default")))

// Identifies which build of the fake was loaded.
VORLAN_EXPORT const char* vorlan_fake_driver_name() { return VORLAN_FAKE_NAME; }

// Every listed entry point, generated from the loader's own list. The ones
// this file defines by hand, or leaves out, are generated under other names.
#pragma GCC diagnostic ignored "-Wunused-parameter"
#define cuGetErrorString vorlan_fake_generated_cuGetErrorString
#ifdef VORLAN_FAKE_OMIT_LAUNCH
#define cuLaunchKernel vorlan_fake_omitted_cuLaunchKernel
#endif
#define VORLAN_FAKE_ENTRY_POINT(name, params) \
  VORLAN_EXPORT CUresult name params { return 0; }
VORLAN_DRIVER_ENTRY_POINTS(VORLAN_FAKE_ENTRY_POINT)
#undef cuGetErrorString
#undef cuLaunchKernel

VORLAN_EXPORT CUresult cuGetErrorString(CUresult error, const char** text) {
  switch (error) {
    case 2:
      *text = "out of memory";
      return 0;
    case 5:
      *text = "say \"hi\" \\ then\nstop\x01 \xff end";
      return 0;
    case 10:
      *text = "an unlisted code";
      return 0;
    case 999:
      *text = "unknown error";
      return 0;
    default:
      *text = nullptr;
      return 1;
  }
}
