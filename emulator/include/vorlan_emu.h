/* Control interface of the vorlan software GPU (the libcuda.so that runs PTX on
 * the CPU). Tests use it to provoke driver failures on demand, to count the
 * driver calls a piece of code makes and to check that it leaves nothing
 * behind. Plain C, so that C++ code and Python's ctypes can both use it.
 *
 * Every function is thread-safe and may be called before cuInit.
 *
 * Environment variables, read by the first successful cuInit(0) after the
 * library is loaded or after vemu_reset():
 *   VORLAN_EMU_DEVICES  number of devices (default 1; 0 makes cuInit fail
 *                       with CUDA_ERROR_NO_DEVICE)
 *   VORLAN_EMU_MEMORY   bytes of memory per device (default 8 GiB); a K, M or
 *                       G suffix multiplies by 1024, 1024^2, 1024^3
 *   VORLAN_EMU_POOLS    1 (default): devices report memory-pool support
 *                       (attribute 115); 0: they do not, and cuMemAllocAsync /
 *                       cuMemFreeAsync fail with CUDA_ERROR_NOT_SUPPORTED
 *   VORLAN_EMU_BUDGET   instructions one launch may execute before it fails
 *                       with CUDA_ERROR_LAUNCH_TIMEOUT (default 2^32; 0 means
 *                       no limit)
 *   VORLAN_EMU_SEED     non-zero: shuffles the order in which blocks and warps
 *                       run, reproducibly for one seed (default 0: fixed order)
 *   VORLAN_EMU_TRACE    1: print every executed instruction to stderr
 *   VORLAN_EMU_VERBOSE  1: print to stderr why a module or a call was refused
 * A value that cannot be parsed makes cuInit fail with CUDA_ERROR_INVALID_VALUE
 * and is reported on stderr.
 */
#ifndef VORLAN_EMU_H
#define VORLAN_EMU_H

#if defined(__GNUC__)
#define VEMU_API __attribute__((visibility("default")))
#else
#define VEMU_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Objects alive in one device's primary context, and the retains it holds. */
struct vemu_live_counts {
  unsigned long long allocations;     /* live device allocations */
  unsigned long long allocated_bytes; /* their sizes, each rounded up to 256 bytes */
  unsigned long long events;          /* events created and not yet destroyed */
  unsigned long long modules;         /* modules loaded and not yet unloaded */
  unsigned long long context_refs;    /* primary-context retains not yet released */
  unsigned int pending_fault;         /* fault of a kernel not yet reported (0: none) */
  unsigned int sticky_error;          /* fault every call on the context returns (0: none) */
};

/* Makes the nth next call of `entry_point` (its exported name, such as
 * "cuMemAlloc_v2"; nth = 1 is the very next call) return `result` without doing
 * anything else. Several failures may be pending for one entry point.
 * Returns 0, or -1 when the name is not a driver entry point of this library,
 * nth is 0 or result is 0 (CUDA_SUCCESS). */
VEMU_API int vemu_fail_call(const char* entry_point, unsigned nth, unsigned result);

/* Number of calls of `entry_point` since the library was loaded or the counters
 * were last reset, failed and injected-failure calls included; 0 for a name
 * that is not an entry point. */
VEMU_API unsigned long long vemu_call_count(const char* entry_point);

/* Fills *out with what device `device` holds now (all zero while its primary
 * context is not retained). Returns 0, or -1 when the driver is not
 * initialised, the device does not exist or out is NULL. */
VEMU_API int vemu_live(int device, struct vemu_live_counts* out);

/* Sets every call counter to 0 and drops every pending injected failure. */
VEMU_API void vemu_reset_counters(void);

/* Forgets everything, as if the library had just been loaded: devices,
 * contexts and all they hold, the initialisation, every thread's current
 * context, counters and injected failures. The environment is read again by
 * the next cuInit. */
VEMU_API void vemu_reset(void);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* VORLAN_EMU_H */
