"""The NetworkX backend nx_vorlan: NetworkX's answers, through the GPU.

Needs the backend findable by NetworkX: src/python and a dist-info folder made
by scripts/nx-dist-info on PYTHONPATH (scripts/test arranges both), or an
installed package.
"""

import json
import math
import subprocess
import sys

import networkx as nx
import numpy as np
import nx_vorlan
import pytest
from nx_vorlan.graph import from_networkx, sorted_lists
from nx_vorlan.interface import BackendInterface


def _with_isolated(G, *extra):
    G.add_nodes_from(extra)
    return G


def _string_labels(G):
    return nx.relabel_nodes(G, {v: f"n{v:03d}" for v in G})


def _shuffled_insertion(seed):
    """Neighbours inserted in no particular order, with self-loops."""
    G = nx.gnm_random_graph(40, 120, seed=seed)
    H = nx.Graph()
    H.add_nodes_from(sorted(G, key=lambda v: (v * 7) % 40))
    H.add_edges_from(sorted(G.edges(), key=lambda e: (e[0] * 13 + e[1] * 5) % 97))
    H.add_edges_from([(3, 3), (17, 17)])
    return H


def _multigraph():
    G = nx.MultiGraph()
    G.add_edges_from([(0, 1), (0, 1), (1, 2), (2, 0), (2, 3), (3, 3), (4, 5)])
    return G


# Graph families the traversal functions must agree on.
TRAVERSAL_GRAPHS = {
    "karate": nx.karate_club_graph,
    "path+isolated": lambda: _with_isolated(nx.path_graph(12), 100, 101),
    "string labels": lambda: _string_labels(nx.gnp_random_graph(60, 0.08, seed=3)),
    "grid (tuple labels)": lambda: nx.grid_2d_graph(7, 5),
    "shuffled+loops": lambda: _shuffled_insertion(5),
    "directed": lambda: nx.gnp_random_graph(50, 0.06, seed=11, directed=True),
    "multigraph": _multigraph,
    "single node": lambda: nx.empty_graph(1),
}


@pytest.fixture(autouse=True)
def _clean_config():
    saved = (
        list(nx.config.backend_priority.algos),
        nx.config.backends.vorlan.auto_min_nodes,
        nx.config.backends.vorlan.auto_on_software_gpu,
    )
    yield
    nx.config.backend_priority.algos = saved[0]
    nx.config.backends.vorlan.auto_min_nodes = saved[1]
    nx.config.backends.vorlan.auto_on_software_gpu = saved[2]


def _ran(name):
    return nx_vorlan.call_counts()["ran"].get(name, 0)


def _assert_python_scalars(values):
    for value in values:
        assert type(value) in (int, float), type(value)


def test_networkx_finds_the_backend():
    assert "vorlan" in nx.utils.backends.backends
    info = nx.utils.backends.backend_info["vorlan"]
    assert set(info["functions"]) == {
        "single_source_shortest_path_length",
        "shortest_path_length",
        "descendants_at_distance",
        "bfs_layers",
        "k_truss",
        "transitivity",
        "pagerank",
        "connected_components",
        "number_connected_components",
        "is_connected",
        "node_connected_component",
        "bfs_edges",
        "bfs_tree",
        "bfs_predecessors",
        "bfs_successors",
        "predecessor",
        "single_source_shortest_path",
        "shortest_path",
        "has_path",
        "triangles",
        "clustering",
        "average_clustering",
        "core_number",
        "k_core",
        "k_shell",
        "k_crust",
    }
    for name in info["functions"]:
        assert "vorlan" in getattr(nx, name).backends, name
        assert callable(getattr(BackendInterface, name)), name


def test_backend_info_imports_neither_backend_nor_networkx():
    code = (
        "import sys, json, nx_vorlan.info as i; info = i.get_info(); "
        "print(json.dumps([info['backend_name'], sorted(m for m in sys.modules "
        "if m.split('.')[0] in ('vorlan_cuda', 'networkx', 'numpy') "
        "or m.startswith('nx_vorlan.') and m != 'nx_vorlan.info')]))"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert json.loads(out.stdout) == ["vorlan", []]


@pytest.mark.parametrize("family", TRAVERSAL_GRAPHS)
def test_path_lengths_equal_networkx_in_its_order(family):
    G = TRAVERSAL_GRAPHS[family]()
    for source in list(G)[:: max(1, len(G) // 4)]:
        for cutoff in (None, 0, 1, 2.5, -1):
            expected = nx.single_source_shortest_path_length(G, source, cutoff=cutoff)
            got = nx.single_source_shortest_path_length(G, source, cutoff=cutoff, backend="vorlan")
            assert list(got.items()) == list(expected.items())
            _assert_python_scalars(got.values())
        got = nx.shortest_path_length(G, source, backend="vorlan")
        assert list(got.items()) == list(nx.shortest_path_length(G, source).items())


@pytest.mark.parametrize("family", TRAVERSAL_GRAPHS)
def test_layers_and_descendants_equal_networkx(family):
    G = TRAVERSAL_GRAPHS[family]()
    for source in list(G)[:: max(1, len(G) // 4)]:
        assert list(nx.bfs_layers(G, source, backend="vorlan")) == list(nx.bfs_layers(G, source))
        assert list(nx.bfs_layers(G, [source], backend="vorlan")) == list(
            nx.bfs_layers(G, [source])
        )
        for distance in (0, 1, 2, 3, 2.0, 10**6, -1):
            assert nx.descendants_at_distance(
                G, source, distance, backend="vorlan"
            ) == nx.descendants_at_distance(G, source, distance)


@pytest.mark.parametrize(
    "call, error, text",
    [
        (
            lambda G: nx.single_source_shortest_path_length(G, "missing", backend="vorlan"),
            nx.NodeNotFound,
            "Source missing is not in G",
        ),
        (
            lambda G: nx.shortest_path_length(G, "missing", backend="vorlan"),
            nx.NodeNotFound,
            "Source missing is not in G",
        ),
        (
            lambda G: nx.descendants_at_distance(G, "missing", 1, backend="vorlan"),
            nx.NetworkXError,
            "The node missing is not in the graph.",
        ),
        (
            lambda G: list(nx.bfs_layers(G, ["missing"], backend="vorlan")),
            nx.NetworkXError,
            "The node missing is not in the graph.",
        ),
        (
            lambda G: list(nx.bfs_layers(G, [0, "missing"], backend="vorlan")),
            nx.NetworkXError,
            "The node missing is not in the graph.",
        ),
        (
            lambda G: nx.shortest_path_length(G, 0, method="astar", backend="vorlan"),
            ValueError,
            "method not supported: astar",
        ),
    ],
)
def test_missing_sources_raise_networkx_errors(call, error, text):
    with pytest.raises(error) as raised:
        call(nx.path_graph(4))
    assert str(raised.value) == text


def test_bfs_layers_is_a_lazy_generator_like_networkx():
    layers = nx.bfs_layers(nx.path_graph(4), ["missing"], backend="vorlan")  # no error yet
    with pytest.raises(nx.NetworkXError):
        next(layers)


def _truss_graph():
    G = nx.karate_club_graph()
    G.graph["name"] = "karate"
    for v in G:
        G.nodes[v]["tag"] = [v]
    G.add_edges_from([(40, 41), (41, 42), (42, 40), (42, 43)], weight=9)
    G.add_node(50, tag="alone")
    return G


TRUSS_GRAPHS = {
    "karate+attrs": _truss_graph,
    "string labels": lambda: _string_labels(nx.gnp_random_graph(70, 0.15, seed=8)),
    "shuffled": lambda: nx.Graph(e for e in _shuffled_insertion(2).edges() if e[0] != e[1]),
    "complete": lambda: nx.complete_graph(7),
    "empty": nx.Graph,
}


@pytest.mark.parametrize("k", [-1, 2, 3, 3.5, 4, 5, 9, math.inf])
@pytest.mark.parametrize("family", TRUSS_GRAPHS)
def test_k_truss_builds_networkx_graph(family, k):
    G = TRUSS_GRAPHS[family]()
    expected = nx.k_truss(G, k)
    got = nx.k_truss(G, k, backend="vorlan")
    assert type(got) is type(expected)
    assert nx.utils.graphs_equal(got, expected)
    assert list(got) == list(expected)
    assert all(list(got.adj[v]) == list(expected.adj[v]) for v in expected)
    # Attributes are copies, as G.copy() makes them.
    for v, data in got.nodes(data=True):
        assert data is not G.nodes[v]
    for u, v, data in got.edges(data=True):
        assert data is not G.edges[u, v]


def test_k_truss_refuses_self_loops_like_networkx():
    G = nx.complete_graph(4)
    G.add_edge(2, 2)
    with pytest.raises(nx.NetworkXNotImplemented) as ours:
        nx.k_truss(G, 3, backend="vorlan")
    with pytest.raises(nx.NetworkXNotImplemented) as theirs:
        nx.k_truss(G, 3)
    assert str(ours.value) == str(theirs.value)


@pytest.mark.parametrize(
    "family",
    [
        "karate",
        "path+isolated",
        "string labels",
        "grid (tuple labels)",
        "shuffled+loops",
        "single node",
    ],
)
def test_transitivity_equals_networkx_exactly(family):
    G = TRAVERSAL_GRAPHS[family]()
    got = nx.transitivity(G, backend="vorlan")
    expected = nx.transitivity(G)
    assert got == expected and type(got) is type(expected)


def _weighted(G, value):
    nx.set_edge_attributes(G, value, "weight")
    return G


PAGERANK_GRAPHS = {
    "karate": (nx.karate_club_graph, {"weight": None}),
    "karate, default weight, 0.9": (lambda: _weighted(nx.karate_club_graph(), 2.5), {"alpha": 0.9}),
    "string labels": (
        lambda: _string_labels(nx.connected_watts_strogatz_graph(200, 6, 0.2, seed=4)),
        {},
    ),
    "self-loops": (
        lambda: nx.Graph(list(nx.barbell_graph(6, 3).edges()) + [(0, 0), (7, 7)]),
        {"tol": 1e-6},
    ),
    "grid": (lambda: nx.grid_2d_graph(12, 9), {"alpha": 0.5}),
}


@pytest.mark.parametrize("family", PAGERANK_GRAPHS)
def test_pagerank_within_1e10_of_networkx(family):
    make, kwargs = PAGERANK_GRAPHS[family]
    G = make()
    before = _ran("pagerank")
    got = nx.pagerank(G, backend="vorlan", **kwargs)
    assert _ran("pagerank") == before + 1
    expected = nx.pagerank(G, **kwargs)
    assert list(got) == list(expected)
    _assert_python_scalars(got.values())
    assert max(abs(got[v] - expected[v]) for v in G) < 1e-10


def test_pagerank_reports_no_convergence_as_networkx():
    G = nx.karate_club_graph()
    for max_iter in (0, 3):
        with pytest.raises(nx.PowerIterationFailedConvergence):
            nx.pagerank(G, weight=None, max_iter=max_iter, backend="vorlan")
    assert nx.pagerank(nx.Graph(), backend="vorlan") == {}


# Calls whose answer the GPU cannot give exactly: each must go to NetworkX.
# (backed function, how to call it, graph, keywords)
DECLINED = {
    # NetworkX iterates this too, but it is not a random walk.
    "pagerank alpha below 0": ("pagerank", nx.pagerank, nx.karate_club_graph, {"alpha": -0.5}),
    "weighted lengths": (
        "shortest_path_length",
        nx.shortest_path_length,
        nx.karate_club_graph,
        {"source": 0, "weight": "weight"},
    ),
    "all-pairs lengths": (
        "shortest_path_length",
        lambda G, **kw: dict(nx.shortest_path_length(G, **kw)),
        lambda: nx.path_graph(5),
        {},
    ),
    "two sources": (
        "bfs_layers",
        lambda G, **kw: list(nx.bfs_layers(G, [0, 3], **kw)),
        lambda: nx.path_graph(6),
        {},
    ),
    "sources iterator": (
        "bfs_layers",
        lambda G, **kw: list(nx.bfs_layers(G, iter([2]), **kw)),
        lambda: nx.path_graph(6),
        {},
    ),
    "transitivity directed": (
        "transitivity",
        nx.transitivity,
        lambda: nx.gnp_random_graph(30, 0.2, seed=2, directed=True),
        {},
    ),
}


@pytest.mark.parametrize("case", DECLINED)
def test_declined_calls_fall_back_to_networkx(case):
    name, function, make, kwargs = DECLINED[case]
    G = make()
    expected = function(G, **kwargs)
    nx.config.backends.vorlan.auto_on_software_gpu = True
    nx.config.backends.vorlan.auto_min_nodes = 0
    nx.config.backend_priority.algos = ["vorlan"]
    counts = nx_vorlan.call_counts()
    assert function(G, **kwargs) == expected
    after = nx_vorlan.call_counts()
    assert after["ran"].get(name) == counts["ran"].get(name)
    assert after["declined"][name] == counts["declined"].get(name, 0) + 1
    nx.config.backend_priority.algos = []
    with pytest.raises(NotImplementedError):
        function(G, backend="vorlan", **kwargs)


@pytest.mark.parametrize(
    "settings, expect_ran",
    [
        ({}, False),  # the defaults: never automatically on the software GPU
        ({"auto_on_software_gpu": True}, False),  # too small
        ({"auto_on_software_gpu": True, "auto_min_nodes": 34}, True),
    ],
)
def test_automatic_dispatch_waits_for_a_real_gpu_and_a_large_graph(settings, expect_ran, emu):
    for key, value in settings.items():
        setattr(nx.config.backends.vorlan, key, value)
    nx.config.backend_priority.algos = ["vorlan"]
    G = nx.karate_club_graph()
    before = _ran("transitivity")
    assert nx.transitivity(G) == 0.2556818181818182
    assert (_ran("transitivity") == before + 1) is expect_ran


def test_conversion_is_cached_on_the_networkx_graph():
    G = nx.karate_club_graph()
    nx.config.warnings_to_ignore.add("cache")
    try:
        nx.transitivity(G, backend="vorlan")
        cached = list(G.__networkx_cache__["backends"]["vorlan"].values())
        nx.single_source_shortest_path_length(G, 0, backend="vorlan")
        assert list(G.__networkx_cache__["backends"]["vorlan"].values()) == cached
        G.add_edge(0, 99)  # a change through the API empties the cache
        assert nx.single_source_shortest_path_length(G, 99, backend="vorlan")[0] == 1
    finally:
        nx.config.warnings_to_ignore.discard("cache")


@pytest.mark.parametrize("family", ["shuffled+loops", "directed", "string labels", "multigraph"])
def test_gpu_lists_are_sorted_unique_symmetric_and_loop_free(family):
    G = TRAVERSAL_GRAPHS[family]()
    graph = from_networkx(G)
    canonical = graph._canonical
    index = graph.index
    for i, v in enumerate(graph.nodes):
        row = canonical.targets[canonical.offsets[i] : canonical.offsets[i + 1]].tolist()
        assert row == sorted({index[w] for w in G._adj[v] if w != v})
    gpu = graph.gpu_graph()
    assert gpu.num_nodes == len(G) and gpu.num_edges == len(canonical.targets)
    assert graph.gpu_graph(self_loops=True).num_edges == len(graph.targets)


@pytest.mark.parametrize(
    "offsets, targets, expected",
    [
        ([0, 0, 2, 4], [0, 1, 1, 0], [0, 1, 0, 1]),  # empty first list, only the last pair unsorted
        ([0, 0, 2, 4], [2, 1, 0, 1], [1, 2, 0, 1]),
        ([0, 2, 2, 4], [0, 2, 1, 0], [0, 2, 0, 1]),  # empty list in the middle
        ([0, 3, 3, 3], [2, 0, 1], [0, 1, 2]),  # empty lists at the end
        ([0, 2, 4], [0, 1, 0, 1], [0, 1, 0, 1]),  # sorted already
    ],
)
def test_lists_are_sorted_within_each_node(offsets, targets, expected):
    offsets = np.array(offsets, dtype=np.int64)
    rows = np.repeat(np.arange(len(offsets) - 1, dtype=np.uint32), np.diff(offsets))
    _, got = sorted_lists(rows, np.array(targets, dtype=np.uint32), offsets)
    assert got.tolist() == expected


@pytest.mark.parametrize(
    "make", [_truss_graph, lambda: nx.gnp_random_graph(20, 0.2, seed=5, directed=True), _multigraph]
)
def test_convert_to_nx_gives_the_graph_back(make):
    G = make()
    nx.set_edge_attributes(G, "x", "label")
    backend = BackendInterface
    converted = backend.convert_from_nx(G, preserve_all_attrs=True)
    assert converted.__networkx_backend__ == "vorlan"
    assert (converted.is_directed(), converted.is_multigraph()) == (
        G.is_directed(),
        G.is_multigraph(),
    )
    assert nx.utils.graphs_equal(backend.convert_to_nx(converted), G)


def test_benchmark_rows_agree_with_networkx():
    from bench import nx_backend

    G = nx_backend.rmat_nx_graph(7, 8 << 7)
    row = nx_backend.conversion_row(G, repeat=1)
    assert row["edges"] == G.number_of_edges() and row["adjacency_entries"] == 2 * row["edges"]
    rows = nx_backend.function_rows(6, repeat=2)
    names = [name for name, _, _ in nx_backend.FUNCTIONS] + ["pagerank directed"]
    assert [r["function"] for r in rows] == names
    # The GPU time belongs to the timed run, so it fits inside it.
    assert all(r["agrees"] and 0 < r["gpu_seconds"] <= r["backend_seconds"] for r in rows)
