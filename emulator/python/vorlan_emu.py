"""The software GPU's control interface (emulator/include/vorlan_emu.h) for
Python, through ctypes: its two structs and its functions.

    import vorlan_emu
    emu = vorlan_emu.load()    # None when libcuda.so is not the software GPU
    emu.reset_stats()
    ...                        # launch kernels
    emu.kernel_stats("bfs_expand_kernel")   # a dict of the counters, or None

The build copies this file beside the vorlan_cuda module. The structs list the
header's fields in its order; tests/python/test_emu_binding.py checks every
offset and size against what the compiler makes of the header.
"""

import ctypes

U64 = ctypes.c_ulonglong
U32 = ctypes.c_uint


class _Record(ctypes.Structure):
    def as_dict(self):
        return {name: getattr(self, name) for name, _ in self._fields_}


class LiveCounts(_Record):
    """struct vemu_live_counts: what one device's primary context holds."""

    _fields_ = [
        ("allocations", U64),
        ("allocated_bytes", U64),
        ("events", U64),
        ("modules", U64),
        ("context_refs", U64),
        ("pending_fault", U32),
        ("sticky_error", U32),
    ]


class KernelStats(_Record):
    """struct vemu_kernel_stats: the cost counters of one kernel name."""

    _fields_ = [
        ("launches", U64),
        ("warp_instructions", U64),
        ("thread_instructions", U64),
        ("global_sectors", U64),
        ("shared_accesses", U64),
        ("atomics", U64),
        ("busiest_warp_instructions", U64),
        ("distinct_global_sectors", U64),
        ("summed_busiest_warp_instructions", U64),
    ]


KERNEL_STATS_FIELDS = tuple(name for name, _ in KernelStats._fields_)

# name: (argument types, result type)
_SIGNATURES = {
    "vemu_fail_call": ([ctypes.c_char_p, ctypes.c_uint, ctypes.c_uint], ctypes.c_int),
    "vemu_call_count": ([ctypes.c_char_p], ctypes.c_ulonglong),
    "vemu_live": ([ctypes.c_int, ctypes.POINTER(LiveCounts), U64], ctypes.c_int),
    "vemu_reset_counters": ([], None),
    "vemu_reset": ([], None),
    "vemu_last_check": ([ctypes.c_char_p, ctypes.c_ulonglong], ctypes.c_int),
    "vemu_kernel_stats": ([ctypes.c_char_p, ctypes.POINTER(KernelStats), U64], ctypes.c_int),
    "vemu_reset_stats": ([], None),
}


class Controls:
    """The control functions of one loaded software GPU library."""

    def __init__(self, lib):
        self.lib = lib
        for name, (arguments, result) in _SIGNATURES.items():
            function = getattr(lib, name)
            function.argtypes, function.restype = arguments, result

    def fail_call(self, entry_point, nth, result):
        """Makes the nth next call of `entry_point` return `result`; False if the library refused."""
        return self.lib.vemu_fail_call(entry_point.encode(), nth, result) == 0

    def call_count(self, entry_point):
        return self.lib.vemu_call_count(entry_point.encode())

    def live(self, device=0):
        """What `device` holds now, or None before cuInit or for a device that does not exist."""
        counts = LiveCounts()
        filled = self.lib.vemu_live(device, ctypes.byref(counts), ctypes.sizeof(counts))
        return counts.as_dict() if filled == ctypes.sizeof(counts) else None

    def reset_counters(self):
        self.lib.vemu_reset_counters()

    def reset(self):
        self.lib.vemu_reset()

    def last_check(self):
        """The report of the last failed hazard check ('' when none failed)."""
        size = self.lib.vemu_last_check(None, 0)
        text = ctypes.create_string_buffer(size + 1)
        self.lib.vemu_last_check(text, size + 1)
        return text.value.decode()

    def kernel_stats(self, kernel):
        """The counters of `kernel` as a dict, or None if it was not launched since the last reset."""
        stats = KernelStats()
        filled = self.lib.vemu_kernel_stats(
            kernel.encode(), ctypes.byref(stats), ctypes.sizeof(stats)
        )
        return stats.as_dict() if filled == ctypes.sizeof(stats) else None

    def reset_stats(self):
        self.lib.vemu_reset_stats()


def load(name="libcuda.so"):
    """The controls of the driver library the loader finds under `name` (the
    very handle vorlan_cuda got, once it loaded the same name), or None when
    that library is not the software GPU or is not there at all."""
    try:
        lib = ctypes.CDLL(name)
    except OSError:
        return None
    if not all(hasattr(lib, function) for function in _SIGNATURES):
        return None
    return Controls(lib)
