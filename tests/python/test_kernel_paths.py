"""Triangle counting and k-truss take edge-parallel kernels on graphs whose
shape allows them (strictly ascending lists; for k-truss also symmetric with
no self-loops) and the node-parallel kernels on every other graph. Both paths
must give exactly the same results; the software GPU's per-kernel counters
tell which kernels a call launched."""

import random
import textwrap

import networkx as nx
import pytest
from conftest import (
    allocation_entry_point,
    csr_from_lists,
    driver_error_text,
    on_software_gpu,
    outcomes_under_seeds,
    shuffled_labels,
)

EDGE_TRIANGLES = "triangle_count_edges_kernel"
NODE_TRIANGLES = "triangle_count_warp_kernel"
REVERSE_SEARCH = "reverse_edge_kernel"
PEEL_KERNELS = ("truss_support_kernel", "truss_mark_kernel")
RECOUNT_KERNELS = ("edge_triangle_support_kernel", "edge_filter_kernel")
ALL_KERNELS = (
    EDGE_TRIANGLES,
    NODE_TRIANGLES,
    REVERSE_SEARCH,
    "truss_peel_kernel",
    *PEEL_KERNELS,
    *RECOUNT_KERNELS,
)


@pytest.fixture
def launched(emu):
    """launched(call) runs call() and returns (its result, the names of the
    kernels it launched)."""
    controls = emu.controls

    def run(call):
        controls.reset_stats()
        result = call()
        names = {
            name
            for name in ALL_KERNELS
            if (stats := controls.kernel_stats(name)) is not None and stats["launches"]
        }
        return result, names

    return run


def truss_result(result):
    return result["edges"], result["iterations"], result["k"]


# --- Canonical graphs: hubs, cliques, stars and isolated nodes ----------------


def canonical_graphs():
    """(name, undirected networkx graph on 0..n-1), all with triangles to peel."""
    hubs = nx.powerlaw_cluster_graph(220, 4, 0.6, seed=21)
    cliques = nx.disjoint_union_all([nx.complete_graph(n) for n in (3, 4, 6, 9)])
    # Cliques sharing one hub node, and a star whose leaves close a few triangles.
    shared = nx.Graph()
    for start, size in ((1, 5), (6, 7), (13, 4)):
        members = [0, *range(start, start + size)]
        shared.add_edges_from((u, v) for i, u in enumerate(members) for v in members[i + 1 :])
    star = nx.star_graph(60)
    star.add_edges_from((leaf, leaf + 1) for leaf in range(1, 60, 3))
    mixed = nx.disjoint_union_all(
        [hubs.subgraph(range(80)).copy(), cliques, star, nx.empty_graph(7), shared]
    )
    nested = nx.Graph()
    # A clique of 8 with a fringe that goes in several rounds at k = 4 and 5.
    nested.add_edges_from((u, v) for u in range(8) for v in range(u + 1, 8))
    for tip in range(8, 20):
        nested.add_edges_from([(tip, tip - 1), (tip, tip - 2)])
    return [
        ("power-law", shuffled_labels(hubs, 22)),
        ("attachment", shuffled_labels(nx.barabasi_albert_graph(200, 5, seed=23), 24)),
        ("dense", nx.gnp_random_graph(40, 0.45, seed=25)),
        ("mixed-pieces", shuffled_labels(mixed, 26)),
        ("shared-hub-cliques", shuffled_labels(shared, 27)),
        ("nested-fringe", shuffled_labels(nested, 28)),
        ("clique", nx.complete_graph(24)),
        ("star-with-isolated", shuffled_labels(nx.disjoint_union(star, nx.empty_graph(5)), 29)),
    ]


def canonical_params():
    return [pytest.param(graph, id=name) for name, graph in canonical_graphs()]


def truss_ks(gpu):
    """3 up to one above the largest k whose truss is not empty, by the node kernels."""
    ks = [3]
    while gpu._node_kernels_k_truss(ks[-1])["edges"]:
        ks.append(ks[-1] + 1)
    return ks


@pytest.mark.parametrize("graph", canonical_params())
class TestCanonicalGraphsTakeTheEdgeKernels:
    def test_triangle_total_is_todays(self, make_graph, launched, graph):
        gpu = make_graph(graph)
        result, names = launched(gpu.triangle_count)
        expected = sum(nx.triangles(graph).values()) // 3
        assert result["total_triangles"] == expected
        assert gpu._node_kernels_triangle_count()["total_triangles"] == expected
        assert EDGE_TRIANGLES in names and NODE_TRIANGLES not in names

    def test_k_truss_is_todays_for_every_k(self, make_graph, launched, graph):
        gpu = make_graph(graph)
        ks = truss_ks(gpu)
        assert len(ks) >= 2
        for k in ks:
            result, names = launched(lambda: gpu.k_truss(k))
            assert truss_result(result) == truss_result(gpu._node_kernels_k_truss(k)), k
            assert set(PEEL_KERNELS) <= names and not names & set(RECOUNT_KERNELS), (k, names)
            # networkx as an independent witness of the surviving edge set.
            assert {tuple(e) for e in result["edges"]} == {
                (min(u, v), max(u, v)) for u, v in nx.k_truss(graph, k).edges
            }, k

    def test_reverse_positions_are_searched_once_per_graph(self, emu, make_graph, graph):
        gpu = make_graph(graph)
        controls = emu.controls
        controls.reset_stats()
        first = [gpu.k_truss(k) for k in (3, 4, 3)]
        # The graph keeps the positions: every later call peels from them,
        # and gives what the first calls gave.
        assert controls.kernel_stats(REVERSE_SEARCH)["launches"] == 1
        # Each call counts supports once: the position sweeps and the list phase.
        assert controls.kernel_stats("truss_support_kernel")["launches"] == 3 * 2
        assert [truss_result(r) for r in first] == [truss_result(gpu.k_truss(k)) for k in (3, 4, 3)]
        assert controls.kernel_stats(REVERSE_SEARCH)["launches"] == 1
        # A second graph of the same lists searches its own.
        make_graph(graph).k_truss(3)
        assert controls.kernel_stats(REVERSE_SEARCH)["launches"] == 2


def test_peeling_breaks_each_triangle_once_when_several_edges_go_together(make_graph):
    # K4 minus nothing survives k = 4; the pendant triangles around it lose
    # two or three edges in the same round, and every edge of the K4 is in
    # one of them: a triangle taken off twice would drop the K4 as well.
    graph = nx.complete_graph(4)
    for a, b, c in ((0, 4, 5), (1, 6, 7), (2, 8, 9), (3, 10, 11)):
        graph.add_edges_from([(a, b), (b, c), (a, c)])
    graph.add_edges_from([(4, 6), (5, 7), (0, 6), (1, 4)])
    gpu = make_graph(graph)
    for k in (3, 4, 5):
        assert truss_result(gpu.k_truss(k)) == truss_result(gpu._node_kernels_k_truss(k)), k
    assert sorted(map(tuple, gpu.k_truss(4)["edges"])) == sorted(
        (min(u, v), max(u, v)) for u, v in nx.k_truss(graph, 4).edges
    )


@pytest.mark.parametrize("seed", range(6))
def test_random_power_law_graphs_agree(make_graph, seed):
    rng = random.Random(seed)
    n = rng.randrange(30, 160)
    graph = shuffled_labels(
        nx.powerlaw_cluster_graph(n, rng.randrange(2, 7), rng.random(), seed=seed), seed + 100
    )
    gpu = make_graph(graph)
    assert (
        gpu.triangle_count()["total_triangles"]
        == gpu._node_kernels_triangle_count()["total_triangles"]
    )
    for k in truss_ks(gpu):
        assert truss_result(gpu.k_truss(k)) == truss_result(gpu._node_kernels_k_truss(k)), k


def hub_graph(seed):
    """A hub of 1,500 neighbours and a node of 400, whose neighbours are
    joined in rings and at random: lists long enough that a block stages the
    hub's list for all its lanes and a warp stages the smaller one, with many
    triangles through both."""
    rng = random.Random(seed)
    graph = nx.Graph()
    hub_ring = list(range(2, 1502))
    small_ring = rng.sample(range(2, 2000), 400)
    graph.add_edges_from((0, w) for w in hub_ring)
    graph.add_edges_from((1, w) for w in small_ring)
    for ring in (hub_ring, small_ring):
        graph.add_edges_from(zip(ring, ring[1:]))
    graph.add_edges_from(rng.sample(range(2, 2000), 2) for _ in range(2000))
    graph.add_edges_from((0, w) for w in small_ring[:150])
    graph.remove_edges_from(nx.selfloop_edges(graph))
    return shuffled_labels(graph, seed)


def large_pairs_graph(seed):
    """A clique of 140 (its edges between low nodes pair over 128 elements in
    the counting kernels) and two hubs of 200 leaves in rings, joined by an
    edge with one common neighbour, 0: it dies at k = 4 and 5, and peeling it
    pairs both hubs' whole lists; at k = 5 only that peel takes 140-0 (in a
    K4 with 1 and 2) below the threshold."""
    graph = nx.complete_graph(140)
    for hub, leaves in ((140, range(142, 342)), (141, range(342, 542))):
        leaves = list(leaves)
        graph.add_edges_from((hub, leaf) for leaf in leaves)
        graph.add_edges_from(zip(leaves, leaves[1:]))
    graph.add_edges_from([(140, 141), (140, 0), (141, 0), (140, 1), (140, 2)])
    return shuffled_labels(graph, seed)


@pytest.mark.parametrize(
    "graph",
    [
        pytest.param(hub_graph(1), id="hubs-1"),
        pytest.param(hub_graph(2), id="hubs-2"),
        pytest.param(large_pairs_graph(3), id="large-pairs"),
    ],
)
def test_long_lists_staged_in_shared_memory_give_todays_results(emu, make_graph, graph):
    gpu = make_graph(graph)
    controls = emu.controls
    controls.reset_stats()
    total = gpu.triangle_count()["total_triangles"]
    assert total == sum(nx.triangles(graph).values()) // 3
    assert total == gpu._node_kernels_triangle_count()["total_triangles"]
    for k in (3, 4, 5):
        assert truss_result(gpu.k_truss(k)) == truss_result(gpu._node_kernels_k_truss(k)), k
    # Both counting kernels probed staged copies (the hazard checks watched
    # every one of those accesses).
    for kernel in (EDGE_TRIANGLES, "truss_support_kernel"):
        assert controls.kernel_stats(kernel)["shared_accesses"] > 0, kernel


def one_list_pair_graph(short, long, long_side, seed):
    """Nodes 0 and 1 joined, with short and long other neighbours, about half
    of the short ones shared with the long ones and some above all of them:
    the edge 0 -> 1 pairs the two lists (0's on long_side "a", 1's on "b"),
    over 128 elements to look up, so the list phase takes it, chunk after
    chunk. Rings through both lists add triangles elsewhere."""
    rng = random.Random(seed)
    top = long + 2 * short + 2
    long_set = rng.sample(range(2, long + short + 2), long)
    shared = rng.sample(long_set, short // 2)
    rest = rng.sample(sorted(set(range(2, top)) - set(long_set)), short - len(shared))
    short_set = shared + rest
    lists = (long_set, short_set) if long_side == "a" else (short_set, long_set)
    graph = nx.Graph()
    graph.add_nodes_from(range(top))
    graph.add_edge(0, 1)
    for node, neighbours in enumerate(lists):
        graph.add_edges_from((node, w) for w in neighbours)
        ring = sorted(neighbours)
        graph.add_edges_from(zip(ring, ring[1::3]))
    graph.remove_edges_from(nx.selfloop_edges(graph))
    return graph


# The long part in a warp's own copy (at most 1024 entries), in the block's copy
# (over 1024, at most 8192), and in global memory only (over 8192).
@pytest.mark.parametrize("long_side", ["a", "b"])
@pytest.mark.parametrize("short, long", [(150, 700), (300, 2500), (140, 9000)])
def test_list_pairs_give_todays_results_wherever_their_long_part_lies(
    make_graph, short, long, long_side
):
    graph = one_list_pair_graph(short, long, long_side, short + long)
    gpu = make_graph(graph)
    total = gpu.triangle_count()["total_triangles"]
    assert total == sum(nx.triangles(graph).values()) // 3
    assert total == gpu._node_kernels_triangle_count()["total_triangles"]
    # The node kernels take minutes over a list of 9,000; NetworkX does not.
    for k in (3, 4):
        assert sorted(map(tuple, gpu.k_truss(k)["edges"])) == sorted(
            (min(u, v), max(u, v)) for u, v in nx.k_truss(graph, k).edges
        ), k


# --- One graph per way to miss canonical form ---------------------------------

# Each is a triangle 0-1-2 with a fourth node, stored with one defect.
NON_CANONICAL = {
    # node 0's list out of order: not strictly ascending.
    "unsorted-list": [[3, 1, 2], [0, 2], [0, 1], [0]],
    # node 1 lists 2 twice: not strictly ascending.
    "repeated-entry": [[1, 2], [0, 2, 2], [0, 1, 1], []],
    # node 3 lists itself: ascending, but a self-loop.
    "self-loop": [[1, 2, 3], [0, 2], [0, 1], [0, 3]],
    # 0 -> 3 stored without 3 -> 0: ascending, not symmetric.
    "missing-reverse": [[1, 2, 3], [0, 2, 3], [0, 1, 3], [1, 2]],
}
ASCENDING = {"self-loop", "missing-reverse"}


@pytest.mark.parametrize("name", sorted(NON_CANONICAL))
class TestNonCanonicalGraphsKeepTodaysKernels:
    def test_k_truss_recounts(self, make_graph, launched, name):
        gpu = make_graph(*csr_from_lists(NON_CANONICAL[name]))
        for k in (3, 4):
            result, names = launched(lambda: gpu.k_truss(k))
            assert truss_result(result) == truss_result(gpu._node_kernels_k_truss(k))
            assert set(RECOUNT_KERNELS) <= names and not names & set(PEEL_KERNELS), names
            # Only lists that pass the host's check are searched on the device,
            # and only until the store knows the answer.
            assert (REVERSE_SEARCH in names) == (name in ASCENDING and k == 3), names

    def test_triangles_split_by_edges_only_on_ascending_lists(self, make_graph, launched, name):
        gpu = make_graph(*csr_from_lists(NON_CANONICAL[name]))
        result, names = launched(gpu.triangle_count)
        assert result["total_triangles"] == gpu._node_kernels_triangle_count()["total_triangles"]
        expected = EDGE_TRIANGLES if name in ASCENDING else NODE_TRIANGLES
        assert names & {EDGE_TRIANGLES, NODE_TRIANGLES} == {expected}


@pytest.mark.parametrize(
    "lists, edge_path",
    [
        # A list may start below the end of the one before it.
        ([[1, 2], [0, 2], [0, 1]], True),
        # Empty lists between full ones.
        ([[], [2, 3], [], [1], [1], []], True),
        # A descent inside one list, right after an empty one.
        ([[1, 2], [], [1, 0]], False),
        # Equal neighbours across a list boundary are allowed, within one they are not.
        ([[2], [2], [0, 1]], True),
        ([[2, 2], [2], [0, 1]], False),
    ],
    ids=["boundary-descent", "empty-lists", "descent-after-empty", "equal-across", "equal-within"],
)
def test_host_finds_strictly_ascending_lists(make_graph, launched, lists, edge_path):
    gpu = make_graph(*csr_from_lists(lists))
    _, names = launched(gpu.triangle_count)
    assert (EDGE_TRIANGLES in names) == edge_path


@pytest.mark.parametrize(
    "offsets, targets",
    [
        ([1, 3, 4, 5], [9, 1, 2, 0, 0]),  # lists that do not start at position 0
        ([0, 2, 3, 4], [1, 2, 0, 0, 7]),  # a stray entry behind the last list
    ],
    ids=["offset-start", "trailing-entry"],
)
def test_positions_outside_every_list_keep_todays_kernels(make_graph, launched, offsets, targets):
    gpu = make_graph(offsets, targets)
    result, names = launched(gpu.triangle_count)
    assert NODE_TRIANGLES in names and EDGE_TRIANGLES not in names
    truss, truss_names = launched(lambda: gpu.k_truss(3))
    assert truss_result(truss) == truss_result(gpu._node_kernels_k_truss(3))
    assert REVERSE_SEARCH not in truss_names


# --- Scheduling seeds ---------------------------------------------------------

SEED_SCRIPT = textwrap.dedent("""
    import json
    import networkx as nx
    import vorlan_cuda
    from conftest import csr_from_networkx
    from test_kernel_paths import canonical_graphs

    device = vorlan_cuda.GpuDevice(0)
    results = {}
    for name, graph in canonical_graphs()[:5]:
        gpu = vorlan_cuda.GpuGraph.from_csr(*csr_from_networkx(graph), device)
        results[name] = {
            "triangles": [gpu.triangle_count()["total_triangles"],
                          gpu._node_kernels_triangle_count()["total_triangles"]],
            "k_truss": {k: [[r["edges"], r["iterations"]] for r in
                            (gpu.k_truss(k), gpu._node_kernels_k_truss(k))] for k in (3, 4, 5, 7)},
        }
    print(json.dumps(results))
""")


@pytest.mark.skipif(not on_software_gpu(), reason="scheduling seeds belong to the software GPU")
def test_both_paths_agree_under_every_scheduling_seed():
    outcomes = outcomes_under_seeds(SEED_SCRIPT, timeout=600)
    for outcome in outcomes:
        for name, values in outcome.items():
            assert values["triangles"][0] == values["triangles"][1], name
            for k, (edge_path, node_path) in values["k_truss"].items():
                assert edge_path == node_path, (name, k)
    assert outcomes[0] == outcomes[1] == outcomes[2]


# --- Failures on the peeling path ---------------------------------------------

# Launches of k_truss(3) on a triangle with a pendant edge, which peels in two
# rounds, once the graph keeps its reverse positions: the support count, then
# per round the mark, and the peel in a round that marked something; the
# support count and each peel are two launches, the position sweeps and the
# list phase. Buffers and counters are filled on the device, without a launch.
PEEL_LAUNCHES = [
    "support kernel failed",
    "support kernel failed",
    "mark kernel failed",
    "peel kernel failed",
    "peel kernel failed",
    "mark kernel failed",
]
# Device fills of the same call: supports, states and the large-pair list's
# length once, then the round counter per round and the list's length per peel.
PEEL_FILLS = [
    ("cuMemsetD32Async", 1),
    ("cuMemsetD8Async", 1),
    ("cuMemsetD32Async", 2),
    ("cuMemsetD32Async", 3),
    ("cuMemsetD32Async", 4),
    ("cuMemsetD32Async", 5),
]


class TestPeelingFailures:
    @staticmethod
    def two_round_graph(make_graph):
        return make_graph(nx.Graph([(0, 1), (1, 2), (0, 2), (2, 3)]))

    def run_failing(self, emu, graph, entry_point, nth, code):
        """Fails one driver call of k_truss(3); nothing may stay allocated and
        the next call must give what the one before did."""
        first = graph.k_truss(3)
        before = emu.live()
        emu.fail_call(entry_point, nth, code)
        with pytest.raises(RuntimeError) as error:
            graph.k_truss(3)
        assert emu.live() == before
        again = graph.k_truss(3)
        assert truss_result(again) == truss_result(first)
        return str(error.value)

    def test_driver_calls_per_call(self, emu, make_graph):
        graph = self.two_round_graph(make_graph)
        graph.k_truss(3)
        entry_points = (
            "cuLaunchKernel",
            "cuStreamSynchronize",
            "cuMemcpyHtoDAsync_v2",
            "cuMemsetD8Async",
            "cuMemsetD32Async",
        )
        with emu.counting(*entry_points) as counter:
            assert graph.k_truss(3)["iterations"] == 2
        # Nothing is copied to the device: the graph keeps its reverse
        # positions from the first call, and the rounds fill on the device.
        assert counter.delta == {
            "cuLaunchKernel": len(PEEL_LAUNCHES),
            "cuStreamSynchronize": 2,
            "cuMemcpyHtoDAsync_v2": 0,
            "cuMemsetD8Async": 1,
            "cuMemsetD32Async": len(PEEL_FILLS) - 1,
        }

    @pytest.mark.parametrize("nth, step", list(enumerate(PEEL_LAUNCHES, start=1)))
    def test_launch_failures(self, emu, make_graph, nth, step):
        message = self.run_failing(emu, self.two_round_graph(make_graph), "cuLaunchKernel", nth, 1)
        assert (
            message
            == f'kernel error: {step}: DriverError(CUDA_ERROR_INVALID_VALUE, "invalid argument")'
        )

    @pytest.mark.parametrize(
        "entry_point, code, message_start",
        [
            ("cuLaunchKernel", 1, "kernel error: reverse edge kernel failed: "),
            ("cuMemsetD32Async", 1, "CUDA driver error: "),
            ("cuStreamSynchronize", 719, "kernel error: synchronize failed: "),
            ("cuMemcpyDtoHAsync_v2", 700, "CUDA driver error: "),
            (None, 2, "CUDA driver error: "),
        ],
    )
    def test_a_failed_first_search_keeps_nothing(
        self, emu, device, make_graph, entry_point, code, message_start
    ):
        # Each step of the first call's reverse search; the graph keeps no
        # positions from it, and the next call searches again.
        graph = self.two_round_graph(make_graph)
        graph._node_kernels_k_truss(3)
        before = emu.live()
        emu.fail_call(entry_point or allocation_entry_point(emu, device), 1, code)
        emu.controls.reset_stats()
        with pytest.raises(RuntimeError) as error:
            graph.k_truss(3)
        assert str(error.value).startswith(message_start + driver_error_text(code).split(",")[0])
        assert emu.live() == before
        assert truss_result(graph.k_truss(3)) == truss_result(graph._node_kernels_k_truss(3))
        # Searches that ran before their step failed count as launches too.
        ran_first = entry_point in ("cuStreamSynchronize", "cuMemcpyDtoHAsync_v2")
        assert emu.controls.kernel_stats(REVERSE_SEARCH)["launches"] == 1 + ran_first

    @pytest.mark.parametrize("entry_point, nth", PEEL_FILLS)
    def test_fill_failures(self, emu, make_graph, entry_point, nth):
        message = self.run_failing(emu, self.two_round_graph(make_graph), entry_point, nth, 1)
        assert message == "CUDA driver error: " + driver_error_text(1)

    @pytest.mark.parametrize("nth", [1, 2])
    def test_synchronize_failures(self, emu, make_graph, nth):
        message = self.run_failing(
            emu, self.two_round_graph(make_graph), "cuStreamSynchronize", nth, 719
        )
        assert message.startswith(
            "kernel error: synchronize failed: DriverError(CUDA_ERROR_LAUNCH_FAILED"
        )

    @pytest.mark.parametrize("nth", [1, 2, 3])
    def test_allocation_failures(self, emu, device, make_graph, nth):
        # The supports, the states and the round counter.
        entry = allocation_entry_point(emu, device)
        message = self.run_failing(emu, self.two_round_graph(make_graph), entry, nth, 2)
        assert message == "CUDA driver error: " + driver_error_text(2)

    @pytest.mark.parametrize("nth", [1, 2, 3, 4, 5])
    def test_copy_to_host_failures(self, emu, make_graph, nth):
        # The counter once per round, then the states, offsets and targets.
        message = self.run_failing(
            emu, self.two_round_graph(make_graph), "cuMemcpyDtoHAsync_v2", nth, 700
        )
        assert message.startswith("CUDA driver error: DriverError(CUDA_ERROR_ILLEGAL_ADDRESS")
