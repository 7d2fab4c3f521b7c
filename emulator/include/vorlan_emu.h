/* Control interface of the vorlan software GPU (the libcuda.so that runs PTX on
 * the CPU). Tests use it to provoke driver failures on demand, to count the
 * driver calls a piece of code makes and to check that it leaves nothing
 * behind. Plain C, so that C++ code and Python's ctypes can both use it.
 *
 * Every function is thread-safe and may be called before cuInit.
 *
 * The functions that fill a struct take the caller's size of it (pass
 * sizeof *out) and write at most that many bytes: structs only ever grow by
 * appended fields, so a caller built against an older header gets the fields
 * it knows and nothing past them. They return how many bytes they filled
 * (the smaller of that size and this library's struct), or -1.
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
 *   VORLAN_EMU_VERBOSE  1: print to stderr why a module or a call was refused,
 *                       and the report of a failed hazard check
 *   VORLAN_EMU_CHECK    1 (default): hazard checks in every launch (see
 *                       vemu_last_check); 0: off
 *   VORLAN_EMU_PROFILE  1: print each kernel's cost counters (see
 *                       vemu_kernel_stats) to stderr when the process exits
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

/* What the kernels of one name did, summed over their launches since the
 * counters were last reset. Warp-level figures count the k-th time any lane
 * of a warp reaches an instruction as one issue of that warp; the lanes'
 * accesses at that issue form one warp-level access. Every figure follows
 * from the threads' paths alone: not from the scheduling seed, the host or
 * timing. Fields are only ever appended; see the note on sizes above. */
struct vemu_kernel_stats {
  unsigned long long launches;
  unsigned long long warp_instructions; /* instructions issued, once per warp */
  unsigned long long
      thread_instructions;            /* instructions executed by active lanes (not guarded off) */
  unsigned long long global_sectors;  /* distinct 32-byte sectors per warp-level global access */
  unsigned long long shared_accesses; /* warp-level shared-memory accesses */
  unsigned long long atomics;         /* atomic operations by active lanes */
  unsigned long long busiest_warp_instructions; /* the largest count of one warp in any launch */
  unsigned long long
      distinct_global_sectors; /* distinct 32-byte sectors of global memory each launch
                                  touched, however many warps did: summed over launches */
  unsigned long long
      summed_busiest_warp_instructions; /* each launch's busiest warp, summed over launches */
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

/* Fills the first `size` bytes of *out (at most) with what device `device`
 * holds now (all zero while its primary context is not retained). Returns the
 * bytes filled, or -1 when the driver is not initialised, the device does not
 * exist or out is NULL. */
VEMU_API int vemu_live(int device, struct vemu_live_counts* out, unsigned long long size);

/* Sets every call counter to 0 and drops every pending injected failure. */
VEMU_API void vemu_reset_counters(void);

/* Forgets everything, as if the library had just been loaded: devices,
 * contexts and all they hold, the initialisation, every thread's current
 * context, counters and injected failures. The environment is read again by
 * the next cuInit. */
VEMU_API void vemu_reset(void);

/* Copies the report of the last failed hazard check (hazard, kernel,
 * instruction and line, address, threads) into text, truncated to size - 1
 * characters and NUL-terminated, and returns its full length; 0 when no check
 * has failed since the library was loaded or reset. A failed check fails its
 * launch like a kernel fault: CUDA_ERROR_LAUNCH_FAILED at the next
 * synchronising call. */
VEMU_API int vemu_last_check(char* text, unsigned long long size);

/* Fills the first `size` bytes of *out (at most) with the counters of kernel
 * `kernel`. Returns the bytes filled, or -1 if no kernel of that name was
 * launched since the last reset, or an argument is NULL. */
#if defined(__cplusplus) && defined(__GNUC__)
#pragma GCC diagnostic push /* C++ warns that the function hides the struct's name */
#pragma GCC diagnostic ignored "-Wshadow"
#endif
VEMU_API int vemu_kernel_stats(const char* kernel, struct vemu_kernel_stats* out,
                               unsigned long long size);
#if defined(__cplusplus) && defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

/* Sets every kernel's counters back to nothing (vemu_reset does too). */
VEMU_API void vemu_reset_stats(void);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* VORLAN_EMU_H */
