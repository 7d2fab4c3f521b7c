"""GpuGraph.bfs_tree(source, depth_limit): queue order, parents and depths
against NetworkX's bfs_edges over the stored lists, in list order, on shapes
that take every list-length path of the kernel, under scheduling seeds."""

import json
import random
import textwrap

import networkx as nx
import pytest
import vorlan_cuda
from conftest import csr_from_lists, on_software_gpu, outcomes_under_seeds


def networkx_tree(lists, source, depth_limit=None):
    """bfs_tree's result as NetworkX's bfs_edges gives it on the directed graph
    whose adjacency is `lists` in list order (a repeated entry counts once,
    at its first place, as in a NetworkX adjacency)."""
    n = len(lists)
    G = nx.DiGraph()
    G.add_nodes_from(range(n))
    for u, targets in enumerate(lists):
        G.add_edges_from((u, v) for v in targets)
    parents, depths = [-1] * n, [-1] * n
    order = [source]
    depths[source] = 0
    for u, v in nx.bfs_edges(G, source, depth_limit=depth_limit):
        order.append(v)
        parents[v] = u
        depths[v] = depths[u] + 1
    return {"order": order, "parents": parents, "depths": depths, "max_depth": max(depths)}


def tree_of(gpu, source, depth_limit=None):
    result = gpu.bfs_tree(source, depth_limit)
    del result["time_seconds"]
    return result


def symmetric(n, edges, seed):
    """Undirected edges stored both ways, each list in a shuffled order."""
    lists = [[] for _ in range(n)]
    for u, v in edges:
        lists[u].append(v)
        lists[v].append(u)
    rng = random.Random(seed)
    for neighbours in lists:
        rng.shuffle(neighbours)
    return lists


def hubs_sharing_leaves(seed):
    """The source lists three hubs (out of index order); each hub lists its own
    shuffled 300 to 700 of 1,500 leaves, so a leaf is offered by several hubs of
    one level and the lowest-ranked hub must win it."""
    rng = random.Random(seed)
    hubs, leaves = [1, 2, 3], list(range(4, 1504))
    lists = [[3, 1, 2], [], [], []] + [[] for _ in leaves]
    for hub in hubs:
        lists[hub] = rng.sample(leaves, rng.randrange(300, 700))
    for leaf in leaves[::5]:  # a second level reached from leaves and hubs alike
        lists[leaf] = rng.sample(leaves, 3) + [rng.choice(hubs)]
    return lists


def mixed_lengths(seed, n=900):
    """Directed lists of 0 to 600 entries (thread, warp and block walks side by
    side in one frontier), with repeats and self-loops."""
    rng = random.Random(seed)
    lengths = [rng.choice([0, 1, 3, 20, 40, 200, 300, 600]) for _ in range(n)]
    lists = [[rng.randrange(n) for _ in range(k)] for k in lengths]
    for u in rng.sample(range(n), 40):
        lists[u][0:0] = [u, u]
    return lists


def components(seed):
    """Many two- and three-node components beside one giant component."""
    rng = random.Random(seed)
    giant = nx.gnp_random_graph(400, 0.02, seed=seed)
    edges = list(giant.edges)
    for first in range(400, 1000, 3):
        edges += [(first, first + 1), (first + 1, first + 2)] if first % 2 else [(first, first + 1)]
    return symmetric(1002, edges, rng.random())


SHAPES = {
    "components": components(1),
    "star": symmetric(700, [(0, v) for v in range(1, 700)], 2),
    "hubs sharing leaves": hubs_sharing_leaves(3),
    "mixed lengths": mixed_lengths(4),
    "complete 40": symmetric(40, [(u, v) for u in range(40) for v in range(u)], 5),
    "complete 300": symmetric(300, [(u, v) for u in range(300) for v in range(u)], 6),
    "directed": [
        sorted(set(targets), reverse=True)
        for targets in nx.to_dict_of_lists(
            nx.gnp_random_graph(200, 0.03, seed=7, directed=True)
        ).values()
    ],
    "repeats and loops": [[0, 1, 1, 2, 0], [3, 1, 0, 3], [2, 2, 1], [4, 3, 0], []],
}


@pytest.mark.parametrize("name", SHAPES)
@pytest.mark.parametrize("depth_limit", [None, 0, 1, 2])
def test_order_and_parents_are_networkx_bfs_edges(device, name, depth_limit):
    lists = SHAPES[name]
    gpu = vorlan_cuda.GpuGraph.from_csr(*csr_from_lists(lists), device)
    for source in sorted({0, len(lists) - 1, len(lists) // 3}):
        expected = networkx_tree(lists, source, depth_limit)
        assert tree_of(gpu, source, depth_limit) == expected, (name, source)


def test_a_long_path_keeps_every_level(device):
    n = 10_000
    order = list(range(n))
    random.Random(8).shuffle(order)
    lists = symmetric(n, zip(order, order[1:]), 8)
    gpu = vorlan_cuda.GpuGraph.from_csr(*csr_from_lists(lists), device)
    result = tree_of(gpu, order[0])
    assert result["order"] == order
    assert result["max_depth"] == n - 1
    assert [result["parents"][v] for v in order] == [-1] + order[:-1]
    assert tree_of(gpu, order[0], 3)["order"] == order[:4]


@pytest.mark.parametrize(
    ("lists", "source", "expected"),
    [
        ([[]], 0, {"order": [0], "parents": [-1], "depths": [0], "max_depth": 0}),
        ([[0, 0]], 0, {"order": [0], "parents": [-1], "depths": [0], "max_depth": 0}),
        ([[], [0]], 0, {"order": [0], "parents": [-1, -1], "depths": [0, -1], "max_depth": 0}),
    ],
)
def test_a_source_alone(device, lists, source, expected):
    gpu = vorlan_cuda.GpuGraph.from_csr(*csr_from_lists(lists), device)
    assert tree_of(gpu, source) == expected


@pytest.mark.parametrize("lists", [[], [[]], [[1], [0]]])
def test_a_source_out_of_range_is_refused(device, lists):
    gpu = vorlan_cuda.GpuGraph.from_csr(*csr_from_lists(lists), device)
    n = len(lists)
    with pytest.raises(RuntimeError) as raised:
        gpu.bfs_tree(n)
    assert str(raised.value) == f"kernel error: source node {n} out of range (num_nodes = {n})"


@pytest.mark.parametrize(
    ("arguments", "error"),
    [((-1,), OverflowError), ((0, -1), OverflowError), ((0, 1.5), TypeError), ((), TypeError)],
)
def test_arguments_are_converted_before_the_search(device, arguments, error):
    gpu = vorlan_cuda.GpuGraph.from_csr([0, 1, 2], [1, 0], device)
    with pytest.raises(error):
        gpu.bfs_tree(*arguments)


SEEDED = textwrap.dedent("""
    import json
    import vorlan_cuda
    from conftest import csr_from_lists
    from test_bfs_tree import SHAPES

    device = vorlan_cuda.GpuDevice(0)
    out = {}
    for name in ("hubs sharing leaves", "mixed lengths", "components"):
        gpu = vorlan_cuda.GpuGraph.from_csr(*csr_from_lists(SHAPES[name]), device)
        result = gpu.bfs_tree(0)
        out[name] = [result["order"], result["parents"]]
    print(json.dumps(out))
""")


@pytest.mark.skipif(not on_software_gpu(), reason="scheduling seeds belong to the software GPU")
def test_queue_order_holds_in_any_schedule():
    expected = {}
    for name in ("hubs sharing leaves", "mixed lengths", "components"):
        tree = networkx_tree(SHAPES[name], 0)
        expected[name] = [tree["order"], tree["parents"]]
    for outcome in outcomes_under_seeds(SEEDED, seeds=(2, 5, 13)):
        assert outcome == json.loads(json.dumps(expected))
