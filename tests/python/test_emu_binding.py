"""The one Python binding of the software GPU's control interface
(vorlan_emu.py) against the header as the compiler lays it out
(build/emulator/vemu_layout), and its functions against the library."""

import ctypes
import json
import os
import subprocess

import pytest
import vorlan_emu
from conftest import EMULATOR_DIR, on_software_gpu

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
def controls():
    if not on_software_gpu():
        pytest.skip("needs the software GPU's control interface")
    import vorlan_cuda

    vorlan_cuda.GpuDevice(0)  # initialises the driver
    emu = vorlan_emu.load()
    assert emu is not None
    yield emu
    emu.reset_counters()


def test_kernel_counters_arrive_under_their_names(controls):
    import vorlan_cuda

    graph = vorlan_cuda.GpuGraph.from_csr(
        [0, 2, 4, 6], [1, 2, 0, 2, 0, 1], vorlan_cuda.GpuDevice(0)
    )
    controls.reset_stats()
    assert controls.kernel_stats("bfs_top_down_kernel") is None
    graph.bfs(0)
    stats = controls.kernel_stats("bfs_top_down_kernel")
    assert set(stats) == set(vorlan_emu.KERNEL_STATS_FIELDS)
    # A triangle from node 0: one level reaches both others, the next finds nothing new.
    assert stats["launches"] == 2
    assert stats["busiest_warp_instructions"] <= stats["summed_busiest_warp_instructions"]
    assert 0 < stats["distinct_global_sectors"] <= stats["global_sectors"]
    assert stats["warp_instructions"] > 0 and stats["thread_instructions"] > 0


def test_a_library_without_the_controls_is_not_taken_for_the_software_gpu(empty_library_dir):
    assert vorlan_emu.load(os.path.join(empty_library_dir, "libcuda.so")) is None
    assert vorlan_emu.load("libc.so.6") is None
