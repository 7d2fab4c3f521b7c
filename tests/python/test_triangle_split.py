"""The edge-parallel triangle kernel hands a pair of lists whose shorter part
has at most 16 elements to its lane alone and a larger one to the whole warp.
The software GPU's counters show which: one element more costs a lane a whole
lookup of its own, while in the warp it is one more lane at the same steps."""

import pytest
from conftest import csr_from_lists

from bench.cost_model import kernel_names

SMALL = 16
EXTRA = 8


def one_pair(shared):
    """Nodes 0 and 1 linked, both linked to `shared` common nodes 2.., and node
    1 to EXTRA more: the upper edge 0 -> 1 pairs the `shared` nodes behind 1
    in 0's list with the shared and extra ones above 1 in 1's list. Every
    other upper edge's pair is empty, and the triangles are (0, 1, w) for
    each shared w."""
    common = list(range(2, 2 + shared))
    extra = list(range(2 + shared, 2 + shared + EXTRA))
    lists = [[1, *common], [0, *common, *extra]]
    lists += [[0, 1] for _ in common] + [[1] for _ in extra]
    return csr_from_lists(lists)


@pytest.fixture
def warp_issues(emu, device):
    """warp_issues(shared) counts one_pair(shared)'s triangles; returns the
    count and the warp instructions of every kernel it launched."""
    import vorlan_cuda

    names = kernel_names()

    def run(shared):
        graph = vorlan_cuda.GpuGraph.from_csr(*one_pair(shared), device)
        emu.controls.reset_stats()
        total = graph.triangle_count()["total_triangles"]
        counted = [emu.controls.kernel_stats(name) for name in names]
        return total, sum(stats["warp_instructions"] for stats in counted if stats)

    return run


def test_pairs_of_at_most_sixteen_stay_with_their_lane(warp_issues):
    shared = [SMALL - 1, SMALL, SMALL + 1, SMALL + 2]
    runs = {s: warp_issues(s) for s in shared}
    assert {s: total for s, (total, _) in runs.items()} == {s: s for s in shared}
    issues = {s: count for s, (_, count) in runs.items()}
    lane_step = issues[SMALL] - issues[SMALL - 1]
    warp_step = issues[SMALL + 2] - issues[SMALL + 1]
    assert lane_step > 0, issues  # the sixteenth element is the lane's own lookup
    assert warp_step < lane_step, issues  # the eighteenth is one more lane beside the rest
    assert issues[SMALL + 1] < issues[SMALL], issues  # the warp takes 17 faster than a lane 16
