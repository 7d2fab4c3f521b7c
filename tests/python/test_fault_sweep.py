"""Every public operation against every driver failure it can meet.

For each operation (opening a device, uploading a graph, each algorithm on a
tiny graph), cold (the first of its kind in the process) and warm, a census
run counts the calls it makes of each driver entry point. Then, for every
entry point and every one of those calls, a fresh interpreter makes exactly
that call fail and checks:
  - the operation fails with the documented exception and message, or, where
    the failure happens in a teardown, succeeds and the next operation on the
    same objects reports it once;
  - once every object is dropped, the software GPU holds no allocation, event,
    module or retain beyond the kernel-module cache's own;
  - the same operation then succeeds.
"""

import concurrent.futures
import os
import re

import pytest
from conftest import RELEASES, needs_software_gpu, run_reporting

INJECTED = 2  # CUDA_ERROR_OUT_OF_MEMORY
INJECTED_TEXT = 'DriverError(CUDA_ERROR_OUT_OF_MEMORY, "out of memory")'
DRIVER_ERROR = "CUDA driver error: " + INJECTED_TEXT
KERNEL_STEPS = (
    "launch failed",
    "BFS expand failed",
    "BFS start failed",
    "start kernel failed",
    "order kernel failed",
    "gather kernel failed",
    "update kernel failed",
    "degree kernel failed",
    "iteration kernel failed",
    "diff kernel failed",
    "support kernel failed",
    "filter kernel failed",
    "reverse edge kernel failed",
    "mark kernel failed",
    "peel kernel failed",
    "synchronize failed",
)
# Failures inside the module cache's load are faults, not engine errors.
LOAD_ENTRY_POINTS = {
    "cuModuleLoadData",
    "cuModuleGetFunction",
    "cuCtxGetCurrent",
    "cuCtxSetCurrent",
}
# Queries whose failure GpuDevice() papers over (fallback name, zero memory).
UNREPORTED_QUERIES = {"cuDeviceGetName", "cuDeviceTotalMem_v2"}

HEADER = os.path.join(os.path.dirname(__file__), "..", "..", "src", "driver", "cuda_api.hpp")
with open(HEADER) as header:
    ENTRY_POINTS = re.findall(r"X\((cu\w+),", header.read())

TRIANGLE = "[0, 2, 4, 6], [1, 2, 0, 2, 0, 1]"
DEVICE = "device = GpuDevice(0)\n"
GRAPH = DEVICE + "graph = GpuGraph.from_csr(" + TRIANGLE + ", device)\n"
# name: (objects the operation needs, the operation)
OPERATIONS = {
    "GpuDevice": ("", "GpuDevice(0)"),
    "from_csr": (DEVICE, "GpuGraph.from_csr(" + TRIANGLE + ", device)"),
    "triangle_count": (GRAPH, "graph.triangle_count()"),
    "bfs": (GRAPH, "graph.bfs(0)"),
    "pagerank": (GRAPH, "graph.pagerank(max_iterations=2)"),
    "k_truss": (GRAPH, "graph.k_truss(3)"),
}
ALGORITHMS = {"triangle_count", "bfs", "pagerank", "k_truss"}


def child_script(operation, warm, injections):
    """A child that runs the operation once (census: injections None) or once
    per injected failure, each time on objects of its own, and reports what
    it saw. Warm runs share one process: the module cache is warm for all."""
    setup, call = OPERATIONS[operation]
    return f"""
emu = SoftwareGpu()
names = {ENTRY_POINTS!r}

def live():
    try:
        return emu.live(0)
    except AssertionError:  # the driver is not initialised
        return dict(allocations=0, allocated_bytes=0, events=0, modules=0, context_refs=0,
                    pending_fault=0, sticky_error=0)

def attempt():
    try:
        result = {call}
        return None, result
    except BaseException as caught:
        return [type(caught).__name__, list(caught.args), isinstance(caught, Exception)], None

def drop():
    for name in ("graph", "device"):
        globals().pop(name, None)
    gc.collect()

if {warm!r}:
{_indent(setup, 4)}
    warmed = {call}
    del warmed
    drop()
if {injections!r} is None:
{_indent(setup, 4)}
    before = {{name: emu.calls(name) for name in names}}
    {call}
    made = {{name: emu.calls(name) - before[name] for name in names}}
    report(counts={{name: count for name, count in made.items() if count}})
else:
    runs = []
    for entry_point, nth in {injections!r}:
        baseline = live()
{_indent(setup, 8)}
        before = emu.calls(entry_point)
        emu.fail_call(entry_point, nth, {INJECTED})
        raised, result = attempt()
        during = emu.calls(entry_point) - before >= nth
        # A teardown failure surfaces at the next operation on the same objects.
        followed = attempt()[0] if raised is None and during else None
        del result
        drop()
        fired = emu.calls(entry_point) - before >= nth
        dropped = live()
        emu.clear_failures()
{_indent(setup, 8)}
        retried, result = attempt()
        del result
        drop()
        runs.append(dict(raised=raised, during=during, fired=fired, followed=followed,
                         baseline=baseline, dropped=dropped, retried=retried))
    report(runs=runs)
"""


def _indent(text, spaces):
    return (
        "".join(" " * spaces + line + "\n" for line in text.splitlines()) or " " * spaces + "pass\n"
    )


def allowed_failure(operation, warm, entry_point, raised):
    """Whether `raised` ([type, args, is Exception]) is a documented outcome."""
    kind, args, _ = raised
    message = args[0] if len(args) == 1 else None
    if kind == "RuntimeError":
        if message == DRIVER_ERROR:
            return True
        return operation in ALGORITHMS and any(
            message == f"kernel error: {step}: {INJECTED_TEXT}" for step in KERNEL_STEPS
        )
    if kind == "UnrecoverableFault":
        # Only a first call loads the module.
        return (
            operation in ALGORITHMS
            and not warm
            and entry_point in LOAD_ENTRY_POINTS
            and message is not None
            and (
                message == "failed to load PTX module: " + INJECTED_TEXT
                or re.fullmatch(
                    r"kernel \w+_kernel not found: " + re.escape(INJECTED_TEXT), message
                )
            )
        )
    return False


def check_run(operation, warm, entry_point, nth, values):
    where = f"{operation} ({'warm' if warm else 'cold'}), {entry_point} call {nth}"
    assert values["fired"], f"{where}: the injected failure never happened"
    raised = values["raised"]
    if raised is None and not values["during"]:
        pass  # failed while the dropped objects went: lost with their context
    elif raised is None:
        if operation == "GpuDevice":
            assert entry_point in UNREPORTED_QUERIES, f"{where}: the failure went unreported"
        else:
            assert values["followed"] == ["RuntimeError", [DRIVER_ERROR], True], (
                f"{where}: a teardown failure must fail the next operation, got "
                f"{values['followed']}"
            )
    else:
        assert allowed_failure(operation, warm, entry_point, raised), f"{where}: raised {raised}"
    # A first call leaves the module cache holding its module and a retain
    # under it. A release call that failed left its one object with the
    # driver, unless the context went with the last retain (and took all).
    expected = {
        key: values["baseline"][key] for key in ("allocations", "events", "modules", "context_refs")
    }
    if operation in ALGORITHMS and not warm and (raised is None or raised[0] == "RuntimeError"):
        expected["modules"] += 1
        expected["context_refs"] += 1
    if entry_point in RELEASES:
        expected[RELEASES[entry_point]] += 1
    if expected["context_refs"] == 0:
        expected = dict.fromkeys(expected, 0)
    dropped = {key: values["dropped"][key] for key in expected}
    assert dropped == expected, f"{where}: holds {dropped}"
    assert values["retried"] is None, f"{where}: the operation failed again: {values['retried']}"


def batches(operation, warm, injections):
    """Cold runs need an interpreter each; warm ones share a few."""
    size = 8 if warm else 1
    return [injections[i : i + size] for i in range(0, len(injections), size)]


@needs_software_gpu
@pytest.mark.parametrize("warm", [False, True], ids=["cold", "warm"])
@pytest.mark.parametrize("operation", OPERATIONS)
def test_every_driver_failure_of_an_operation(operation, warm):
    counts = run_reporting(child_script(operation, warm, None))["counts"]
    assert counts, "the operation made no driver call"
    first = dict(counts)
    if operation in ALGORITHMS and not warm:
        # A first call begins with the module load, then makes the calls a
        # warm one makes, which the warm sweep fails one by one: here only
        # the load's own calls (the excess over a warm call) are failed.
        later = run_reporting(child_script(operation, True, None))["counts"]
        first = {name: made - later.get(name, 0) for name, made in counts.items()}
        assert first.get("cuModuleLoadData") == 1, first
    injections = [
        (entry_point, nth)
        for entry_point, made in sorted(first.items())
        for nth in range(1, made + 1)
    ]
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        outcomes = pool.map(
            lambda batch: run_reporting(child_script(operation, warm, batch))["runs"],
            batches(operation, warm, injections),
        )
        runs = [run for batch in outcomes for run in batch]
    assert len(runs) == len(injections)
    for (entry_point, nth), values in zip(injections, runs):
        check_run(operation, warm, entry_point, nth, values)
