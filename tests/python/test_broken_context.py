"""A kernel that breaks its context (here: one that runs past the software
GPU's instruction budget, a launch timeout) leaves every later call on that
context failing with the same driver error. Each algorithm then reports it as
a RuntimeError, also the one whose module is loaded for the first time after
the break: the load fails because of the context, not because anything is
wrong with the module, so it must not be the fault exception that ends
scripts."""

import pytest
from conftest import needs_software_gpu, run_reporting

CALLS = {
    "triangle_count": "graph.triangle_count()",
    "pagerank": "graph.pagerank()",
    "bfs": "graph.bfs(0)",
    "k_truss": "graph.k_truss(3)",
}

SCRIPT = """
from vorlan_cuda import GpuDevice, GpuGraph

graph = GpuGraph.from_csr([0, 2, 4, 6], [1, 2, 0, 2, 0, 1], GpuDevice(0))
outcomes = []
for call in {calls!r}:
    try:
        eval(call)
        outcomes.append([call, "returned", ""])
    except BaseException as error:
        outcomes.append([call, type(error).__name__, str(error)])
report(outcomes=outcomes)
"""

TIMEOUT = "DriverError(CUDA_ERROR_LAUNCH_TIMEOUT, "


@needs_software_gpu
@pytest.mark.parametrize("first", list(CALLS))
def test_after_a_kernel_breaks_the_context_every_call_is_a_driver_error(first):
    # Whichever algorithm breaks the context, the others' first calls come
    # after it, and the breaking one is called again at the end.
    order = [first] + [name for name in CALLS if name != first] + [first]
    calls = [CALLS[name] for name in order]
    outcomes = run_reporting(SCRIPT.format(calls=calls), extra_env={"VORLAN_EMU_BUDGET": "50"})[
        "outcomes"
    ]
    assert [kind for _, kind, _ in outcomes] == ["RuntimeError"] * len(calls), outcomes
    assert all(TIMEOUT in text for _, _, text in outcomes), outcomes
    # After the first, nothing is about a kernel: the context refuses the call.
    assert all(text.startswith("CUDA driver error: " + TIMEOUT) for _, _, text in outcomes[1:]), (
        outcomes
    )
