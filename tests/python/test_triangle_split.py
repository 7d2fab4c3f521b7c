"""The edge-parallel triangle kernel hands a pair of lists whose shorter part
has at most 16 elements to its lane alone and a larger one to the whole warp.
The software GPU's counters show which: one element more costs a lane a whole
lookup of its own, while in the warp it is one more lane at the same steps."""

import random

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


def two_lists(a, b, spread, seed):
    """Nodes 0 and 1 linked, 0 to the a nodes of A and 1 to the b nodes of B,
    all drawn from 2..601: the upper edge 0 -> 1 pairs A with B, and the
    triangles are (0, 1, w) for w in both. With "past-the-end" the shorter
    side's first 32 elements end just below the longer side's last entry
    (one that is not in the longer side) and its 33rd is that entry, the
    rest lying above it: a warp must not give up on the pair after its
    first chunk, and must find nothing after its second."""
    rng = random.Random(seed)
    if spread == "mixed":
        first, second = rng.sample(range(2, 602), a), rng.sample(range(2, 602), b)
    else:
        longer = sorted(rng.sample(range(2, 402, 2), max(a, b)))
        top, below = longer[-1], min(31, min(a, b) - 2)
        shorter = rng.sample(range(2, longer[-2]), below) + [top - 1, top]
        shorter += rng.sample(range(top + 1, 602), min(a, b) - len(shorter))
        first, second = (longer, shorter) if a >= b else (shorter, longer)
    lists = [[1, *sorted(first)], [0, *sorted(second)]]
    lists += [[u for u in (0, 1) if w in (first, second)[u]] for w in range(2, 602)]
    return lists, set(first) & set(second)


# Short parts of one warp chunk, of one and a bit, of whole chunks, and of the
# list phase (over 128), each the short side once and the long side once.
@pytest.mark.parametrize("a, b", [(17, 150), (33, 40), (64, 64), (65, 190), (130, 131), (190, 65)])
@pytest.mark.parametrize("spread", ["mixed", "past-the-end"])
def test_warp_pairs_find_every_common_element(make_graph, a, b, spread):
    for seed in range(3):
        lists, common = two_lists(a, b, spread, seed)
        gpu = make_graph(*csr_from_lists(lists))
        assert gpu.triangle_count()["total_triangles"] == len(common), seed
        expected = [(0, 1)] if common else []
        expected += [(u, w) for u in (0, 1) for w in sorted(common)]
        assert gpu.k_truss(3)["edges"] == expected, seed
