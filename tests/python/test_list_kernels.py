"""PageRank and BFS spread their lists by length (pagerank_gather.ptx,
bfs_levels.ptx); the node-parallel kernels stay reachable through private
hooks. Both must give exactly the same results on every graph, whatever the
scheduling seed; the software GPU's per-kernel counters tell which kernels a
call launched and how long its busiest warp ran."""

import random
import struct
import textwrap

import networkx as nx
import pytest
from conftest import csr_from_lists, on_software_gpu, outcomes_under_seeds, shuffled_labels

GATHER = (
    "pagerank_start_kernel",
    "pagerank_order_kernel",
    "pagerank_gather_kernel",
    "pagerank_update_kernel",
)
NODE_PAGERANK = ("compute_out_degrees_kernel", "pagerank_iteration_kernel", "pagerank_diff_kernel")
BFS_KERNELS = ("bfs_start_kernel", "bfs_top_down_kernel", "bfs_bottom_up_kernel")
NODE_BFS = ("bfs_expand_kernel", "bfs_frontier_kernel")


def skewed_lists(seed, n=700, hubs=(2900, 1400, 300, 70), sinks=0.2):
    """Unsorted lists drawn towards a few hub targets, with repeats and
    self-loops as they fall; some nodes list nothing (sinks), a few lists
    run to thousands of entries."""
    rng = random.Random(seed)
    weights = [1.0 / (v + 1) ** 1.1 for v in range(n)]
    lists = []
    for v in range(n):
        if v < len(hubs):
            size = hubs[v]
        elif rng.random() < sinks:
            size = 0
        else:
            size = int(rng.paretovariate(1.3)) % 60
        lists.append(rng.choices(range(n), weights, k=size))
    order = list(range(n))
    rng.shuffle(order)  # hubs anywhere, not just at the front
    rename = dict(zip(range(n), order))
    placed = [None] * n
    for v, neighbours in enumerate(lists):
        placed[rename[v]] = [rename[u] for u in neighbours]
    return placed


def one_way_star(leaves, inward):
    """A star whose edges are stored in one direction only, plus isolated nodes."""
    center = [] if inward else list(range(1, leaves + 1))
    return [center] + [[0] if inward else [] for _ in range(leaves)] + [[] for _ in range(5)]


def boundary_lengths(seed):
    """Lists of every length where a path changes hands or a step or a round
    ends: 4 (a thread's step), 32 (a warp), 512 (to a block), 576 (nine of the
    adder's steps of 64), 896 (a block's round: four entries for each of 224
    stagers), each one short and one past, in random order."""
    rng = random.Random(seed)
    lengths = [0, 1, 3, 4, 5, 31, 32, 33, 255, 256, 257, 511, 512, 513, 575, 576, 577]
    lengths += [767, 768, 769, 895, 896, 897, 1025, 1791, 1792, 1793, 2689]
    n = 2700
    lists = [[rng.randrange(n) for _ in range(k)] for k in lengths]
    lists += [[rng.randrange(n) for _ in range(rng.randrange(6))] for _ in range(n - len(lists))]
    rng.shuffle(lists)
    return lists


def canonical(graph):
    return [sorted(set(graph.adj[v])) for v in range(graph.number_of_nodes())]


def graph_lists():
    """(name, lists) of every shape both paths are compared on."""
    hubs = nx.barabasi_albert_graph(1500, 6, seed=3)
    hubs.add_edges_from((0, v) for v in range(1, 1500, 2))  # one list of ~750 entries
    return [
        ("power-law-hubs", skewed_lists(1)),
        ("power-law-hubs-dense", skewed_lists(2, n=300, hubs=(3500, 3000, 2000, 900), sinks=0.0)),
        ("star-outward", one_way_star(1200, inward=False)),
        ("star-inward", one_way_star(1200, inward=True)),
        ("boundary-lengths", boundary_lengths(6)),
        ("repeats-and-self-loops", [[v, v, (v * 7) % 50, (v * 7) % 50] for v in range(50)]),
        ("canonical-attachment", canonical(shuffled_labels(hubs, 4))),
        (
            "canonical-pieces",
            canonical(
                shuffled_labels(
                    nx.disjoint_union_all(
                        [nx.complete_graph(40), nx.path_graph(30), nx.empty_graph(9)]
                    ),
                    5,
                )
            ),
        ),
        ("single-sink", [[]]),
        ("all-sinks", [[] for _ in range(300)]),
    ]


GRAPHS = [pytest.param(lists, id=name) for name, lists in graph_lists()]


@pytest.fixture
def launched(emu):
    """launched(call) runs call() and returns (its result, {kernel: counters})."""
    controls = emu.controls

    def run(call):
        controls.reset_stats()
        result = call()
        names = GATHER + NODE_PAGERANK + BFS_KERNELS + NODE_BFS
        return result, {
            name: stats
            for name in names
            if (stats := controls.kernel_stats(name)) is not None and stats["launches"]
        }

    return run


def f32_bits(values):
    return struct.pack(f"<{len(values)}f", *values)


def pagerank_outcome(result):
    return f32_bits(result["ranks"]), result["iterations"], result["converged"]


# --- PageRank -----------------------------------------------------------------


@pytest.mark.parametrize("lists", GRAPHS)
@pytest.mark.parametrize("damping", [0.85, 0.3, 1.0])
def test_pagerank_ranks_are_the_node_kernels_bit_for_bit(make_graph, launched, lists, damping):
    gpu = make_graph(*csr_from_lists(lists))
    arguments = dict(damping=damping, max_iterations=9, tolerance=0.0)
    result, kernels = launched(lambda: gpu.pagerank(**arguments))
    reference, reference_kernels = launched(lambda: gpu._node_kernels_pagerank(**arguments))
    assert result["iterations"] == 9 and not result["converged"]
    assert pagerank_outcome(result) == pagerank_outcome(reference)
    # A graph with no entries has nothing to gather.
    gathered = set(GATHER) if any(lists) else set(GATHER) - {"pagerank_gather_kernel"}
    assert set(kernels) == gathered, kernels.keys()
    assert set(reference_kernels) == set(NODE_PAGERANK), reference_kernels.keys()
    # One gather and one update per iteration; nodes are ordered once per call.
    assert kernels["pagerank_update_kernel"]["launches"] == 9
    assert kernels["pagerank_order_kernel"]["launches"] == (1 if gpu.num_nodes else 0)


@pytest.mark.parametrize("lists", GRAPHS[:3])
def test_pagerank_stops_on_the_same_iteration(make_graph, lists):
    # Unseeded, the blocks' atomics come in the same order on both paths, so
    # the L1 change has the same bits and the same iteration stops.
    gpu = make_graph(*csr_from_lists(lists))
    for tolerance in (1e-3, 1e-6):
        result = gpu.pagerank(tolerance=tolerance)
        assert pagerank_outcome(result) == pagerank_outcome(
            gpu._node_kernels_pagerank(tolerance=tolerance)
        )
        assert result["converged"]


def test_pagerank_hub_lists_are_shared_by_a_block(make_graph, launched):
    # A list of 3,500 entries walked by one thread makes that thread's warp
    # the launch's slowest by far; gathered by a block, the adding warp
    # issues little more than the additions.
    gpu = make_graph(
        *csr_from_lists(skewed_lists(2, n=300, hubs=(3500, 3000, 2000, 900), sinks=0.0))
    )
    _, kernels = launched(lambda: gpu.pagerank(max_iterations=2, tolerance=0.0))
    _, reference = launched(lambda: gpu._node_kernels_pagerank(max_iterations=2, tolerance=0.0))
    new = kernels["pagerank_gather_kernel"]["busiest_warp_instructions"]
    old = reference["pagerank_iteration_kernel"]["busiest_warp_instructions"]
    assert new * 4 < old, (new, old)
    assert 3500 * 5 // 4 < new  # the additions stay on one thread, in order


def test_pagerank_on_a_graph_with_no_nodes_matches(make_graph):
    gpu = make_graph([0], [])
    assert pagerank_outcome(gpu.pagerank()) == pagerank_outcome(gpu._node_kernels_pagerank())


# --- BFS ----------------------------------------------------------------------


def bfs_outcome(result):
    return {key: value for key, value in result.items() if key != "time_seconds"}


def sources(lists):
    """The node with the longest list, node 0, and the last node."""
    longest = max(range(len(lists)), key=lambda v: len(lists[v]))
    return sorted({longest, 0, len(lists) - 1})


@pytest.mark.parametrize("lists", GRAPHS)
def test_bfs_is_the_node_kernels_from_every_source(make_graph, launched, lists):
    gpu = make_graph(*csr_from_lists(lists))
    for source in sources(lists):
        result, kernels = launched(lambda: gpu.bfs(source))
        reference, reference_kernels = launched(lambda: gpu._node_kernels_bfs(source))
        assert bfs_outcome(result) == bfs_outcome(reference), source
        assert set(kernels) <= set(BFS_KERNELS) and "bfs_start_kernel" in kernels, kernels.keys()
        assert set(reference_kernels) == {"bfs_expand_kernel"}, reference_kernels.keys()
        # Without knowing the graph symmetric, every level looks top-down.
        assert "bfs_bottom_up_kernel" not in kernels


CANONICAL = [param for param in GRAPHS if param.id.startswith("canonical")]


@pytest.mark.parametrize("lists", CANONICAL)
def test_bfs_on_a_known_symmetric_graph_goes_bottom_up_where_it_pays(make_graph, launched, lists):
    gpu = make_graph(*csr_from_lists(lists))
    gpu.k_truss(3)  # finds the graph symmetric, and the store keeps that
    for source in sources(lists):
        result, kernels = launched(lambda: gpu.bfs(source))
        assert bfs_outcome(result) == bfs_outcome(gpu._node_kernels_bfs(source)), source
    hub = max(range(len(lists)), key=lambda v: len(lists[v]))
    result, kernels = launched(lambda: gpu.bfs(hub))
    # From the hub of the attachment graph the second level reaches most
    # nodes: that level is scanned from the unvisited side.
    if len(lists) > 1000:
        assert "bfs_bottom_up_kernel" in kernels and "bfs_top_down_kernel" in kernels
    reference = nx.single_source_shortest_path_length(
        nx.Graph([(v, u) for v, us in enumerate(lists) for u in us]), hub
    )
    assert {v: d for v, d in enumerate(result["distances"]) if d >= 0} == reference


def test_bfs_spreads_a_hub_and_claims_without_wasted_atomics(make_graph, launched):
    lists = skewed_lists(2, n=300, hubs=(3500, 3000, 2000, 900), sinks=0.0)
    gpu = make_graph(*csr_from_lists(lists))
    hub = max(range(len(lists)), key=lambda v: len(lists[v]))
    _, kernels = launched(lambda: gpu.bfs(hub))
    _, reference = launched(lambda: gpu._node_kernels_bfs(hub))
    new, old = kernels["bfs_top_down_kernel"], reference["bfs_expand_kernel"]
    # One compare-and-swap per entry before; now at most one per node that
    # looked unvisited, and one queue atomic per warp and step.
    assert new["atomics"] * 4 < old["atomics"], (new["atomics"], old["atomics"])
    assert new["summed_busiest_warp_instructions"] * 4 < old["summed_busiest_warp_instructions"]


@pytest.mark.parametrize("lists", GRAPHS[:2])
def test_bfs_source_out_of_range_is_refused_by_both_paths(make_graph, lists):
    gpu = make_graph(*csr_from_lists(lists))
    for call in (gpu.bfs, gpu._node_kernels_bfs):
        with pytest.raises(RuntimeError, match="out of range"):
            call(len(lists))


# --- Scheduling seeds ---------------------------------------------------------

SEED_SCRIPT = textwrap.dedent("""
    import json, struct
    import vorlan_cuda
    from conftest import csr_from_lists
    from test_list_kernels import graph_lists, sources

    device = vorlan_cuda.GpuDevice(0)
    results = {}
    for name, lists in graph_lists()[:7]:
        gpu = vorlan_cuda.GpuGraph.from_csr(*csr_from_lists(lists), device)
        if name.startswith("canonical"):
            gpu.k_truss(3)
        ranks = [gpu.pagerank(max_iterations=6, tolerance=0.0)["ranks"],
                 gpu._node_kernels_pagerank(max_iterations=6, tolerance=0.0)["ranks"]]
        bfs = [[gpu.bfs(s)["distances"], gpu._node_kernels_bfs(s)["distances"]]
               for s in sources(lists)]
        results[name] = {
            "ranks": [struct.pack(f"<{len(r)}f", *r).hex() for r in ranks],
            "bfs": bfs,
        }
    print(json.dumps(results))
""")


@pytest.mark.skipif(not on_software_gpu(), reason="scheduling seeds belong to the software GPU")
def test_both_paths_agree_under_every_scheduling_seed():
    outcomes = outcomes_under_seeds(SEED_SCRIPT, timeout=900)
    for outcome in outcomes:
        for name, values in outcome.items():
            assert values["ranks"][0] == values["ranks"][1], name
            for new, old in values["bfs"]:
                assert new == old, name
    assert outcomes[0] == outcomes[1] == outcomes[2]
