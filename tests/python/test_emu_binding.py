"""The one Python binding of the software GPU's control interface
(vorlan_emu.py) against the header as the compiler lays it out
(build/emulator/vemu_layout), and its functions against the library."""

import ctypes
import json
import os
import subprocess

import pytest
import vorlan_emu
from conftest import EMULATOR_DIR, needs_software_gpu, run_reporting

LAYOUT_PROBE = os.path.join(EMULATOR_DIR, "vemu_layout")
STRUCTS = {"vemu_live_counts": vorlan_emu.LiveCounts, "vemu_kernel_stats": vorlan_emu.KernelStats}


@pytest.fixture(scope="module")
def c_layout():
    if not os.path.exists(LAYOUT_PROBE):
        pytest.skip("the software GPU (and its layout probe) was not built")
    return json.loads(
        subprocess.run([LAYOUT_PROBE], capture_output=True, text=True, check=True).stdout
    )


@pytest.mark.parametrize("name", STRUCTS)
def test_struct_matches_the_header_field_by_field(c_layout, name):
    binding, header = STRUCTS[name], c_layout[name]
    assert ctypes.sizeof(binding) == header["size"]
    assert [field for field, _ in binding._fields_] == list(header["fields"]), "names and order"
    for field, (offset, size) in header["fields"].items():
        descriptor = getattr(binding, field)
        assert (descriptor.offset, descriptor.size) == (offset, size), field


@pytest.fixture
def triangle(emu, device):
    """A triangle on the device, its BFS from node 0 counted afresh."""
    import vorlan_cuda

    graph = vorlan_cuda.GpuGraph.from_csr([0, 2, 4, 6], [1, 2, 0, 2, 0, 1], device)
    emu.controls.reset_stats()
    assert emu.controls.kernel_stats("bfs_top_down_kernel") is None
    graph.bfs(0)
    return graph


def test_kernel_counters_arrive_under_their_names(emu, triangle):
    stats = emu.controls.kernel_stats("bfs_top_down_kernel")
    # A triangle from node 0: one level reaches both others, the next finds nothing new.
    assert stats["launches"] == 2
    # No more active lanes than a warp has, in every instruction it issued.
    assert (
        stats["warp_instructions"]
        <= stats["thread_instructions"]
        <= 32 * stats["warp_instructions"]
    )
    assert stats["busiest_warp_instructions"] <= stats["summed_busiest_warp_instructions"]
    assert 0 < stats["distinct_global_sectors"] <= stats["global_sectors"]
    assert stats["warp_instructions"] > 0 and stats["thread_instructions"] > 0


def test_a_library_without_the_controls_is_not_taken_for_the_software_gpu(empty_library_dir):
    assert vorlan_emu.load(os.path.join(empty_library_dir, "libcuda.so")) is None
    assert vorlan_emu.load("libc.so.6") is None


# (the entry point, its struct, a call with (buffer, size)) of each entry that fills a struct.
FILLERS = {
    "vemu_kernel_stats": (
        vorlan_emu.KernelStats,
        lambda lib, out, size: lib.vemu_kernel_stats(b"bfs_top_down_kernel", out, size),
    ),
    "vemu_live": (vorlan_emu.LiveCounts, lambda lib, out, size: lib.vemu_live(0, out, size)),
}
SENTINEL = 0xA5


@pytest.mark.parametrize("entry", FILLERS)
@pytest.mark.parametrize("known", [0, 1, 5, "all"])
def test_a_reader_of_an_older_header_gets_its_fields_and_nothing_past_them(
    emu, triangle, entry, known
):
    """A caller built when the struct had `known` fields passes the size it
    knows: the library fills exactly that and leaves the bytes past it alone."""
    struct, call = FILLERS[entry]
    fields = struct._fields_ if known == "all" else struct._fields_[:known]
    older = type("Older", (ctypes.Structure,), {"_fields_": fields})
    room = ctypes.sizeof(struct) + 16
    buffer = (ctypes.c_ubyte * room)(*[SENTINEL] * room)
    filled = call(
        emu.controls.lib, ctypes.cast(buffer, ctypes.POINTER(struct)), ctypes.sizeof(older)
    )
    assert filled == ctypes.sizeof(older)
    assert bytes(buffer[filled:]) == bytes([SENTINEL]) * (room - filled), (
        "written past the caller's struct"
    )
    current = struct.from_buffer_copy(bytes(buffer[: ctypes.sizeof(struct)]))
    expected = (
        emu.controls.kernel_stats("bfs_top_down_kernel")
        if entry == "vemu_kernel_stats"
        else emu.live()
    )
    assert {name: getattr(current, name) for name, _ in fields} == {
        name: expected[name] for name, _ in fields
    }


# A child that launches read_unwritten (it reads a word no one wrote) straight
# through the software GPU's driver entry points, with nothing of ours holding
# driver objects; launch() returns cuLaunchKernel's and cuCtxSynchronize's results.
RAW_LAUNCH = '''
import ctypes
PTX = b"""
.version 8.5
.target sm_70
.address_size 64
.visible .entry read_unwritten(.param .u64 buf)
{
  .reg .b32 %r<2>;
  .reg .b64 %rd<3>;
  ld.param.u64 %rd1, [buf];
  cvta.to.global.u64 %rd2, %rd1;
  ld.global.u32 %r1, [%rd2];
  st.global.u32 [%rd2+4], %r1;
  ret;
}
"""
controls = SoftwareGpu().controls
cu = ctypes.CDLL("libcuda.so")

def launch():
    context, module, function = ctypes.c_void_p(), ctypes.c_void_p(), ctypes.c_void_p()
    buffer = ctypes.c_uint64()
    assert cu.cuInit(0) == 0
    assert cu.cuDevicePrimaryCtxRetain(ctypes.byref(context), 0) == 0
    assert cu.cuCtxSetCurrent(context) == 0
    assert cu.cuModuleLoadData(ctypes.byref(module), PTX) == 0
    assert cu.cuModuleGetFunction(ctypes.byref(function), module, b"read_unwritten") == 0
    assert cu.cuMemAlloc_v2(ctypes.byref(buffer), ctypes.c_size_t(64)) == 0
    params = (ctypes.c_void_p * 1)(ctypes.cast(ctypes.byref(buffer), ctypes.c_void_p))
    one = ctypes.c_uint(1)
    launched = cu.cuLaunchKernel(function, one, one, one, ctypes.c_uint(32), one, one,
                                 ctypes.c_uint(0), None, params, None)
    return launched, cu.cuCtxSynchronize()
'''


@needs_software_gpu
def test_last_check_reports_the_hazard_that_failed_a_launch():
    got = run_reporting(
        RAW_LAUNCH
        + """
before = controls.last_check()
launched, synchronized = launch()
report(before=before, launched=launched, synchronized=synchronized, after=controls.last_check())
"""
    )
    assert got["before"] == ""
    assert (got["launched"], got["synchronized"]) == (0, 719)  # CUDA_ERROR_LAUNCH_FAILED
    assert "read of global memory never written" in got["after"], got["after"]
    assert "kernel read_unwritten" in got["after"], got["after"]


@needs_software_gpu
def test_reset_forgets_the_driver_its_counters_and_the_kernel_counts():
    got = run_reporting(
        RAW_LAUNCH
        + """
def state():
    return [controls.live(0) is not None, controls.call_count("cuInit"),
            controls.kernel_stats("read_unwritten") is not None, controls.last_check() != ""]
launch()
before = state()
controls.reset()
report(before=before, after=state())
"""
    )
    assert got["before"] == [True, 1, True, True]
    assert got["after"] == [False, 0, False, False]
