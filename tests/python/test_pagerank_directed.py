"""GpuGraph.pagerank_directed(): NetworkX's PageRank of the graph as stored,
against NetworkX on a MultiDiGraph holding the same CSR entries (parallel
entries add their weights there too); the transpose against SciPy's; the
arguments it refuses."""

import array

import networkx as nx
import numpy as np
import pytest
import scipy.sparse as sp
from conftest import csr_from_lists

TOLERANCE = 1e-10


def multidigraph(offsets, targets, weights=None):
    """The CSR's listed entries as a MultiDiGraph on nodes 0..n-1."""
    n = len(offsets) - 1
    G = nx.MultiDiGraph()
    G.add_nodes_from(range(n))
    for u in range(n):
        for e in range(offsets[u], offsets[u + 1]):
            G.add_edge(u, int(targets[e]), weight=1.0 if weights is None else float(weights[e]))
    return G


def networkx_ranks(offsets, targets, weights=None, **kwargs):
    G = multidigraph(offsets, targets, weights)
    ranks = nx.pagerank(G, weight="weight", **kwargs)
    return np.array([ranks[v] for v in range(len(offsets) - 1)])


def vector(values, n):
    return {v: values[v] for v in range(n)}


def random_lists(n, m, seed, *, loops=True):
    rng = np.random.default_rng(seed)
    sources = rng.integers(0, n, m)
    targets = rng.integers(0, n, m)
    if not loops:
        keep = sources != targets
        sources, targets = sources[keep], targets[keep]
    lists = [[] for _ in range(n)]
    for u, v in zip(sources.tolist(), targets.tolist()):
        lists[u].append(v)
    return lists


def hub_lists(n, inward):
    """A star of n - 1 leaves around node 0, edges to it or from it."""
    if inward:
        return [[]] + [[0] for _ in range(1, n)]
    return [list(range(1, n))] + [[] for _ in range(1, n)]


GRAPHS = {
    "star-inward-hub": csr_from_lists(hub_lists(200, inward=True)),
    "star-outward": csr_from_lists(hub_lists(200, inward=False)),
    "all-dangling": csr_from_lists([[], [], [], []]),
    "two-cycle": csr_from_lists([[1], [0]]),
    "self-loops-and-repeats": csr_from_lists([[0, 1, 1], [2, 2, 0], [1], [3], []]),
    "random-with-repeats": csr_from_lists(random_lists(60, 500, seed=3)),
    "random-sparse-dangling": csr_from_lists(random_lists(300, 250, seed=4)),
    "one-node": csr_from_lists([[]]),
    "one-node-loop": csr_from_lists([[0]]),
}


def weights_for(targets, seed, dtype=np.float64):
    rng = np.random.default_rng(seed)
    values = rng.uniform(0.0, 3.0, len(targets))
    values[rng.random(len(targets)) < 0.1] = 0.0  # zero weights make dangling nodes too
    return values.astype(dtype)


@pytest.mark.parametrize("weighted", [False, True], ids=["unweighted", "weighted"])
@pytest.mark.parametrize("name", list(GRAPHS))
def test_matches_networkx(make_graph, name, weighted):
    offsets, targets = GRAPHS[name]
    weights = weights_for(targets, seed=len(targets)) if weighted else None
    result = make_graph(offsets, targets).pagerank_directed(weights=weights)
    assert result["converged"]
    expected = networkx_ranks(offsets, targets, weights)
    np.testing.assert_allclose(result["ranks"], expected, rtol=0, atol=TOLERANCE)


@pytest.mark.parametrize(
    "options",
    [
        {"alpha": 0.0},
        {"alpha": 1.0, "max_iterations": 1000},
        {"alpha": 0.99, "max_iterations": 3000, "tolerance": 1e-9},
        {"personalization": "p"},
        {"personalization": "p", "dangling": "d"},
        {"dangling": "d", "start": "s"},
    ],
    ids=["alpha-0", "alpha-1", "alpha-0.99", "personalised", "personalised-dangling", "start"],
)
def test_matches_networkx_with_options(make_graph, options):
    offsets, targets = GRAPHS["random-sparse-dangling"]
    n = len(offsets) - 1
    rng = np.random.default_rng(9)
    vectors = {
        "p": rng.uniform(0, 1, n) * (rng.random(n) < 0.3),
        "d": rng.uniform(0, 1, n),
        "s": rng.uniform(0, 5, n),
    }
    ours = {k: vectors[v] if isinstance(v, str) else v for k, v in options.items()}
    theirs = {
        {"max_iterations": "max_iter", "tolerance": "tol", "start": "nstart"}.get(k, k): (
            vector(v, n) if isinstance(v, np.ndarray) else v
        )
        for k, v in ours.items()
    }
    result = make_graph(offsets, targets).pagerank_directed(**ours)
    assert result["converged"]
    expected = networkx_ranks(offsets, targets, **theirs)
    np.testing.assert_allclose(result["ranks"], expected, rtol=0, atol=TOLERANCE)


def test_entries_outside_every_list_are_no_edges(make_graph):
    # offsets starting past 0 and ending before the last target: the entries
    # outside every list, and their weights, count for nothing.
    targets = [3, 1, 2, 0, 0, 3, 1, 2]
    offsets = [2, 3, 5, 5, 6]
    weights = np.array([9.0, 9.0, 2.0, 0.5, 1.5, 4.0, 9.0, 9.0])
    result = make_graph(offsets, targets).pagerank_directed(weights=weights)
    G = nx.MultiDiGraph([(0, 2, {"w": 2.0}), (1, 0, {"w": 0.5}), (1, 0, {"w": 1.5})])
    G.add_edge(3, 3, w=4.0)
    expected = nx.pagerank(G, weight="w")
    np.testing.assert_allclose(result["ranks"], [expected[v] for v in range(4)], atol=TOLERANCE)


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_transpose_matches_scipy(make_graph, seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(1, 120)) if seed < 3 else 113
    lists = random_lists(n, int(rng.integers(0, 6 * n)), seed)
    lists[0] = [0] * 40 + lists[0]  # a hub with a long in-list of repeats and self-loops
    for u in range(n):  # one longer than a block has threads, when n allows
        lists[u] += [n - 1] * 5
    offsets, targets = csr_from_lists(lists)
    in_offsets, in_sources, in_edges = make_graph(offsets, targets)._transposed()
    sources = np.repeat(np.arange(n), np.diff(offsets))
    # Entry (u, v) of the transpose holds edge position e + 1 of u -> v, so
    # repeated edges stay apart and the order within an in-list is checked.
    positions = np.arange(len(targets))
    matrix = sp.csr_array((positions + 1, (targets, positions)), shape=(n, len(targets)))
    matrix.sort_indices()
    np.testing.assert_array_equal(in_offsets, matrix.indptr)
    np.testing.assert_array_equal(in_edges, matrix.indices)
    np.testing.assert_array_equal(in_sources, sources[matrix.indices])


def test_runs_are_bit_identical(make_graph):
    # Hubs on both sides: the warp path and the atomics of the transpose.
    lists = random_lists(400, 3000, seed=5)
    for u in range(1, 400, 3):
        lists[u] += [0, 7]
    offsets, targets = csr_from_lists(lists)
    weights = weights_for(targets, seed=6)
    runs = [
        make_graph(offsets, targets).pagerank_directed(weights=weights)["ranks"] for _ in range(2)
    ]
    assert runs[0] == runs[1]


def test_float32_weights_and_sequences_read_as_float64(make_graph):
    offsets, targets = GRAPHS["random-with-repeats"]
    single = weights_for(targets, seed=2, dtype=np.float32)
    graph = make_graph(offsets, targets)
    from_f32 = graph.pagerank_directed(weights=single)["ranks"]
    from_list = graph.pagerank_directed(weights=single.astype(np.float64).tolist())["ranks"]
    from_array = graph.pagerank_directed(weights=array.array("f", single.tobytes()))["ranks"]
    strided = np.repeat(single.astype(np.float64), 2)[::2]
    from_strided = graph.pagerank_directed(weights=strided)["ranks"]
    assert from_f32 == from_list == from_array == from_strided


def test_stops_on_networkx_rule(make_graph):
    offsets, targets = GRAPHS["random-sparse-dangling"]
    graph = make_graph(offsets, targets)
    full = graph.pagerank_directed()
    assert full["converged"] and full["iterations"] > 2
    short = graph.pagerank_directed(max_iterations=full["iterations"] - 1)
    assert not short["converged"]
    assert short["iterations"] == full["iterations"] - 1
    with pytest.raises(nx.PowerIterationFailedConvergence):
        networkx_ranks(offsets, targets, max_iter=full["iterations"] - 1)
    assert graph.pagerank_directed(max_iterations=0)["ranks"] == [1 / 300] * 300


BAD = [
    ({"weights": [1.0, 2.0]}, "weights has 2 entries"),
    ({"weights": np.ones(8, dtype=np.int64)}, "float64 or float32"),
    ({"weights": np.ones((2, 4))}, "float64 or float32"),
    ({"weights": [1, 1, 1, float("nan"), 1, 1, 1, 1]}, "weights\\[3\\] = nan"),
    ({"weights": [1, 1, 1, 1, 1, -0.5, 1, 1]}, "weights\\[5\\] = -0.5"),
    ({"weights": [1, 1, float("inf"), 1, 1, 1, 1, 1]}, "weights\\[2\\] = inf"),
    ({"personalization": [0, 0, 0, 0]}, "personalization sums to 0"),
    ({"personalization": [1, -1, 0, 0]}, "personalization sums to 0"),
    ({"dangling": [0, 0, 0, 0]}, "dangling sums to 0"),
    ({"start": [0.0] * 4}, "start sums to 0"),
    ({"start": [1.0, 2.0]}, "start has 2 entries"),
    ({"personalization": [1, float("nan"), 0, 0]}, "personalization\\[1\\] = nan"),
    ({"tolerance": 0.0}, "tolerance must be positive"),
    ({"tolerance": -1e-6}, "tolerance must be positive"),
    ({"tolerance": float("nan")}, "tolerance must be positive"),
    ({"alpha": 1.5}, "alpha must lie in"),
    ({"alpha": -0.1}, "alpha must lie in"),
    ({"alpha": float("nan")}, "alpha must lie in"),
]


@pytest.mark.parametrize(("options", "message"), BAD, ids=[str(o) for o, _ in BAD])
def test_refuses_bad_arguments(make_graph, options, message):
    offsets, targets = csr_from_lists([[1, 2], [2, 0, 3], [0], [1, 3]])
    graph = make_graph(offsets, targets)
    before = graph.pagerank_directed()
    with pytest.raises(ValueError, match=message):
        graph.pagerank_directed(**options)
    after = graph.pagerank_directed()
    assert (after["ranks"], after["iterations"]) == (before["ranks"], before["iterations"])


def test_sequence_of_non_numbers_is_a_type_error(make_graph):
    graph = make_graph(*csr_from_lists([[1], [0]]))
    with pytest.raises(TypeError, match="argument 'personalization'"):
        graph.pagerank_directed(personalization=["a", "b"])
