"""Ctrl-C during long calls: PageRank iterations, BFS levels and k-truss
rounds stop at the next step once a signal handler raises, release what the
call held and let the exception through; the graph stays usable."""

import pytest
from conftest import needs_software_gpu, run_reporting


def path_csr(n):
    """0 -> 1 -> ... -> n-1: BFS from 0 needs one level per node."""
    return list(range(n)) + [n - 1], list(range(1, n))


def tube_csr(rings):
    """A triangulated tube of 4-node rings, both directions of every edge.

    Inside, every edge lies in exactly two triangles; the open ends have edges
    in one. The 4-truss therefore peels the tube from both ends, a little per
    round, until nothing is left: many rounds for a small graph."""
    n = 4 * rings
    neighbours = [set() for _ in range(n)]

    def link(u, v):
        neighbours[u].add(v)
        neighbours[v].add(u)

    for r in range(rings):
        for j in range(4):
            here, right = 4 * r + j, 4 * r + (j + 1) % 4
            link(here, right)
            if r + 1 < rings:
                link(here, here + 4)
                link(here, 4 * (r + 1) + (j + 1) % 4)
    offsets, targets = [0], []
    for listed in neighbours:
        targets.extend(sorted(listed))
        offsets.append(len(targets))
    return offsets, targets


# Each case: the graph (built in the child), a call that would run far longer
# than the test waits, the launches a complete run makes (None: it never
# ends), and the graph's triangles (eight per pair of neighbouring rings).
CASES = {
    "pagerank without end": (
        "path_csr(8)",
        "pagerank(max_iterations=2**32 - 1, tolerance=-1.0)",
        None,
        0,
    ),
    "pagerank with a NaN tolerance": (
        "path_csr(8)",
        "pagerank(max_iterations=2**32 - 1, tolerance=float('nan'))",
        None,
        0,
    ),
    # One level, so one launch, per node.
    "bfs on a long path": ("path_csr(100000)", "bfs(0)", 100000, 0),
    # One ring peeled per round, two launches per round.
    "k-truss of a long tube": ("tube_csr(1500)", "k_truss(4)", 2 * 1501, 8 * 1499),
}


@needs_software_gpu
@pytest.mark.parametrize("case", CASES)
def test_sigint_stops_a_long_call(case):
    csr, call, complete, triangles = CASES[case]
    values = run_reporting(
        """
        import os, subprocess
        from test_interrupts import path_csr, tube_csr
        device = GpuDevice(0)
        graph = GpuGraph.from_csr(*"""
        + csr
        + """, device)
        emu = SoftwareGpu()
        """
        # A canonical graph keeps its reverse-edge positions once a k-truss
        # has searched them: searched first (the tube's 3-truss takes one
        # round), before what the graph holds is counted.
        + ("graph.k_truss(3)" if "k_truss" in call else "")
        + """
        held = emu.live()
        launches = emu.calls("cuLaunchKernel")
        # Another process sends SIGINT while the call runs: the default
        # handler raises KeyboardInterrupt, and only a poll can run it.
        killer = subprocess.Popen(["sh", "-c", "sleep 0.5; kill -INT " + str(os.getpid())])
        try:
            graph."""
        + call
        + """
            outcome = "returned"
        except KeyboardInterrupt:
            outcome = "interrupted"
        killer.wait()
        launched = emu.calls("cuLaunchKernel") - launches
        after = emu.live()
        triangles = graph.triangle_count()["total_triangles"]
        report(outcome=outcome, launched=launched, held=held, after=after, triangles=triangles)
    """,
        timeout=120,
    )
    assert values["outcome"] == "interrupted"
    if complete is not None:
        assert 0 < values["launched"] < complete
    # Every working buffer went back (the module stays cached); the graph
    # still works.
    kept = ("allocations", "allocated_bytes", "events", "context_refs")
    assert {key: values["after"][key] for key in kept} == {key: values["held"][key] for key in kept}
    assert values["after"]["modules"] == 1
    assert values["triangles"] == triangles
