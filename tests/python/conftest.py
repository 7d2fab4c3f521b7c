"""Shared fixtures of the Python tests.

The tests run against whatever driver library the process finds: the software
GPU (build/emulator on LD_LIBRARY_PATH, as scripts/test arranges) or a real
NVIDIA driver (scripts/gpu-check). Tests that need the software GPU's control
interface take the `emu` fixture, which skips them on a real GPU.
"""

import collections
import gc
import json
import os
import subprocess
import sys
import tempfile

import pytest
import vorlan_emu

BUILD_DIR = os.environ.get(
    "VORLAN_BUILD_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build")
)
EMULATOR_DIR = os.path.join(BUILD_DIR, "emulator")


def on_software_gpu():
    return os.environ.get("VORLAN_BACKEND", "software") == "software"


def run_python(code, library_path=None, extra_env=None, timeout=120):
    """Runs `code` in a fresh interpreter; returns the CompletedProcess.

    library_path replaces LD_LIBRARY_PATH for that process (None keeps ours).
    """
    env = dict(os.environ)
    if library_path is not None:
        env["LD_LIBRARY_PATH"] = library_path
    env.update(extra_env or {})
    return subprocess.run(
        [sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=timeout
    )


def outcomes_under_seeds(script, seeds=(1, 2, 3), timeout=600):
    """The JSON that `script` prints last, once per software-GPU scheduling
    seed; the script imports conftest's helpers from this folder."""
    here = os.path.dirname(os.path.abspath(__file__))
    pythonpath = os.pathsep.join(filter(None, [here, os.environ.get("PYTHONPATH")]))
    outcomes = []
    for seed in seeds:
        run = run_python(
            script,
            extra_env={"VORLAN_EMU_SEED": str(seed), "PYTHONPATH": pythonpath},
            timeout=timeout,
        )
        assert run.returncode == 0, run.stderr
        outcomes.append(json.loads(run.stdout.splitlines()[-1]))
    return outcomes


@pytest.fixture
def empty_library_dir():
    """A folder with no driver library in it, for 'no driver installed'."""
    with tempfile.TemporaryDirectory() as folder:
        yield folder


# The release calls, with the kind of object each gives back. A release made
# to fail leaves its object with the driver, for as long as the context is
# retained.
RELEASES = {
    "cuMemFreeAsync": "allocations",
    "cuMemFree_v2": "allocations",
    "cuEventDestroy_v2": "events",
    "cuModuleUnload": "modules",
    "cuDevicePrimaryCtxRelease_v2": "context_refs",
}
# How many of each this process's tests made to fail (at most).
failed_releases = collections.Counter()


class SoftwareGpu:
    """The software GPU's control interface, reached through the very library
    the module loaded (same name, same search path, so the same handle)."""

    def __init__(self):
        self.controls = vorlan_emu.load()
        assert self.controls is not None, "libcuda.so on the library path is not the software GPU"

    def fail_call(self, entry_point, nth, result):
        """Makes the nth next call of entry_point return result, doing nothing."""
        assert self.controls.fail_call(entry_point, nth, result)
        if entry_point in RELEASES:
            failed_releases[RELEASES[entry_point]] += 1

    def calls(self, entry_point):
        return self.controls.call_count(entry_point)

    def live(self, device=0):
        counts = self.controls.live(device)
        assert counts is not None
        return counts

    def counting(self, *entry_points):
        """A context manager whose .delta holds the calls made inside it."""
        return CallCounter(self, entry_points)

    def clear_failures(self):
        self.controls.reset_counters()


class CallCounter:
    def __init__(self, gpu, entry_points):
        self.gpu, self.entry_points, self.delta = gpu, entry_points, {}

    def __enter__(self):
        self.before = {name: self.gpu.calls(name) for name in self.entry_points}
        return self

    def __exit__(self, *exc):
        self.delta = {name: self.gpu.calls(name) - self.before[name] for name in self.entry_points}
        return False


@pytest.fixture
def emu():
    """The software GPU's controls; skips the test on a real GPU."""
    if not on_software_gpu():
        pytest.skip("needs the software GPU's control interface")
    gpu = SoftwareGpu()
    yield gpu
    gpu.clear_failures()


@pytest.hookimpl(wrapper=True)
def pytest_runtest_teardown(item, nextitem):
    """With VORLAN_CHECK_LIVE_AT_END=1 (scripts/sanitize sets it): once this
    process's last test is torn down, the software GPU holds no allocation,
    event, module or retain beyond the kernel-module cache's (at most one
    module per PTX text, each holding at most one retain) and the objects
    whose release a test made fail."""
    outcome = yield
    if nextitem is None and os.environ.get("VORLAN_CHECK_LIVE_AT_END") == "1" and on_software_gpu():
        # The last test's fixture values would go right after this hook.
        item.funcargs.clear()
        check_nothing_held()
    return outcome


# The kernel modules the engine ships, one PTX text each.
PTX_MODULES = [
    name
    for name in os.listdir(
        os.path.join(os.path.dirname(__file__), "..", "..", "src", "engine", "kernels")
    )
    if name.endswith(".ptx")
]


def check_nothing_held():
    gc.collect()
    gpu = SoftwareGpu()
    for ordinal in range(int(os.environ.get("VORLAN_EMU_DEVICES", "1"))):
        held = gpu.controls.live(ordinal)
        if held is None:
            continue  # the driver was never initialised here
        assert held["allocations"] <= failed_releases["allocations"], (held, failed_releases)
        assert held["events"] <= failed_releases["events"], (held, failed_releases)
        assert held["modules"] <= len(PTX_MODULES) + failed_releases["modules"], (
            held,
            failed_releases,
        )
        assert held["context_refs"] <= held["modules"] + failed_releases["context_refs"], (
            held,
            failed_releases,
        )


@pytest.fixture
def device():
    import vorlan_cuda

    return vorlan_cuda.GpuDevice(0)


# --- Fresh interpreters that report back -----------------------------------
#
# Process-wide state (the loaded driver table, the kernel-module cache, the
# software GPU's configuration) can only be observed from its start in a new
# process. The code below runs after a prelude that offers:
#   report(**values)  hands values (JSON-serialisable) back to the test
#   fault_info(exc)   what the test needs to know about a fault exception
#   SoftwareGpu       the control interface (create it only after a GpuDevice
#                     exists and only where the software GPU is on the path)

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))
MISSING_ENTRY_DIR = os.path.join(EMULATOR_DIR, "missing-entry")
REPORT_MARK = "VORLAN-TEST-REPORT "

needs_software_gpu = pytest.mark.skipif(
    not on_software_gpu(), reason="runs the software GPU with its own settings"
)

_PRELUDE = f"""
import gc, json, sys
sys.path.insert(0, {TESTS_DIR!r})
from conftest import SoftwareGpu
import vorlan_cuda
from vorlan_cuda import GpuDevice, GpuGraph

def report(**values):
    print({REPORT_MARK!r} + json.dumps(values), flush=True)

def fault_info(exc):
    cls = type(exc)
    return {{"args": list(exc.args), "bases": [base.__name__ for base in cls.__bases__],
             "is_exception": isinstance(exc, Exception),
             "is_runtime_error": isinstance(exc, RuntimeError),
             "in_module": any(getattr(vorlan_cuda, name) is cls for name in dir(vorlan_cuda)),
             "doc": cls.__doc__, "id": id(cls)}}
"""


def run_reporting(code, library_path=None, extra_env=None, timeout=120):
    """Runs `code` (after the prelude above) in a fresh interpreter and returns
    the values it passed to report(); fails the test if it exits non-zero or
    reports other than once."""
    import json
    import textwrap

    result = run_python(
        _PRELUDE + textwrap.dedent(code),
        library_path=library_path,
        extra_env=extra_env,
        timeout=timeout,
    )
    assert result.returncode == 0, (
        f"child exited with {result.returncode}\nstdout:\n{result.stdout}\nstderr:\n{result.stderr}"
    )
    reports = [
        line[len(REPORT_MARK) :]
        for line in result.stdout.splitlines()
        if line.startswith(REPORT_MARK)
    ]
    assert len(reports) == 1, f"expected one report, got:\n{result.stdout}\n{result.stderr}"
    return json.loads(reports[0])


# ---------------------------------------------------------------------------
# Graphs for the algorithm tests. The kernels expect CSR lists sorted
# ascending; most tests store every undirected edge in both directions with no
# repeats, and a few build odd lists (one direction, repeats, self-loops) on
# purpose from plain Python lists.


def csr_from_lists(lists):
    """CSR arrays (offsets, targets) holding `lists` as the nodes' lists, as given."""
    offsets, targets = [0], []
    for neighbours in lists:
        targets.extend(neighbours)
        offsets.append(len(targets))
    return offsets, targets


def lists_from_csr(offsets, targets):
    return [list(targets[offsets[v] : offsets[v + 1]]) for v in range(max(len(offsets) - 1, 0))]


def csr_from_networkx(graph):
    """Sorted, duplicate-free CSR of a networkx graph whose nodes are 0..n-1.

    An undirected graph gets both directions of every edge; a directed one its
    successor lists. Self-loops are kept as they are in the graph."""
    n = graph.number_of_nodes()
    assert set(graph.nodes) == set(range(n)), "relabel the nodes to 0..n-1 first"
    return csr_from_lists([sorted(set(graph.adj[v])) for v in range(n)])


def shuffled_labels(graph, seed):
    """The same graph with its nodes renamed 0..n-1 in a random order, so that
    no test depends on a generator's numbering."""
    import random

    import networkx as nx

    nodes = list(graph.nodes)
    order = list(range(len(nodes)))
    random.Random(seed).shuffle(order)
    return nx.relabel_nodes(graph, dict(zip(nodes, order)))


def graph_shapes():
    """(name, undirected networkx graph) of the shapes every algorithm is run on."""
    import networkx as nx

    pieces = nx.disjoint_union_all(
        [
            nx.complete_graph(5),
            nx.cycle_graph(7),
            nx.path_graph(4),
            nx.star_graph(6),
            nx.empty_graph(3),
            nx.complete_graph(4),
        ]
    )
    return [
        ("erdos-renyi-sparse", nx.gnp_random_graph(90, 0.06, seed=11)),
        ("erdos-renyi-dense", nx.gnp_random_graph(45, 0.35, seed=12)),
        ("erdos-renyi-multi-block", nx.gnp_random_graph(300, 0.015, seed=13)),
        ("barabasi-albert", nx.barabasi_albert_graph(150, 3, seed=14)),
        ("grid", shuffled_labels(nx.grid_2d_graph(9, 11), 15)),
        ("star", shuffled_labels(nx.star_graph(70), 16)),
        ("clique", nx.complete_graph(36)),
        ("wheel", shuffled_labels(nx.wheel_graph(60), 17)),
        ("tree", shuffled_labels(nx.balanced_tree(3, 4), 18)),
        ("disconnected-pieces", shuffled_labels(pieces, 19)),
        ("edgeless", nx.empty_graph(13)),
        ("single-node", nx.empty_graph(1)),
    ]


def shape_params():
    return [pytest.param(graph, id=name) for name, graph in graph_shapes()]


@pytest.fixture
def make_graph(device):
    """Uploads CSR arrays (or a networkx graph) to the test's device."""
    import vorlan_cuda

    def make(offsets, targets=None):
        if targets is None:
            offsets, targets = csr_from_networkx(offsets)
        return vorlan_cuda.GpuGraph.from_csr(offsets, targets, device)

    return make


# Driver result codes the failure tests inject, with the text the driver gives
# for each.
DRIVER_ERRORS = {
    1: ("CUDA_ERROR_INVALID_VALUE", "invalid argument"),
    2: ("CUDA_ERROR_OUT_OF_MEMORY", "out of memory"),
    700: ("CUDA_ERROR_ILLEGAL_ADDRESS", "an illegal memory access was encountered"),
    719: ("CUDA_ERROR_LAUNCH_FAILED", "unspecified launch failure"),
}


def driver_error_text(code):
    name, description = DRIVER_ERRORS[code]
    return f'DriverError({name}, "{description}")'


def allocation_entry_point(emu, device):
    """The driver call the device allocates with (stream-ordered where the
    device has memory pools, plain otherwise), found by watching an upload."""
    import vorlan_cuda

    with emu.counting("cuMemAllocAsync", "cuMemAlloc_v2") as counter:
        vorlan_cuda.GpuGraph.from_csr([0, 1, 2], [1, 0], device)
    used = [name for name, count in counter.delta.items() if count]
    assert len(used) == 1, counter.delta
    return used[0]


@pytest.fixture(autouse=True)
def no_stray_collections():
    """Garbage of earlier tests (devices and graphs kept alive by old
    tracebacks) must not be freed in the middle of a count of live objects."""
    gc.collect()
    enabled = gc.isenabled()
    gc.disable()
    yield
    if enabled:
        gc.enable()
