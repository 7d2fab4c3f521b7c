"""nx.pagerank through the vorlan backend: NetworkX's ranks to 1e-10 and its
iteration count, NetworkX's errors for bad arguments, and conversions reused
or not exactly where NetworkX reuses them.

Needs the backend findable by NetworkX (scripts/test arranges it).
"""

import itertools
import warnings
from fractions import Fraction

import networkx as nx
import numpy as np
import nx_vorlan
import pytest
from nx_vorlan.graph import from_networkx

TOLERANCE = 1e-10


def _weighted(G, seed):
    rng = np.random.default_rng(seed)
    for u, v, d in G.edges(data=True):
        d["weight"] = float(rng.uniform(0.1, 4.0))
    return G


def _multi():
    G = nx.MultiDiGraph([(0, 1), (0, 1), (1, 2), (2, 0), (2, 2), (3, 1)])
    G.add_edge(0, 1, weight=2.5)
    G.add_edge(2, 2, weight=0.5)
    return G


def _all_weights(G, value, first=None):
    nx.set_edge_attributes(G, value, "weight")
    if first is not None:
        u, v = next(iter(G.edges()))
        G[u][v]["weight"] = first
    return G


def _add_isolated(G):
    G.add_nodes_from([100, 101])
    return G


def _string_labels(G):
    return nx.relabel_nodes(G, {v: f"n{v:03d}" for v in G})


GRAPHS = {
    "star inward": lambda: nx.DiGraph([(i, 0) for i in range(1, 150)]),
    "star outward": lambda: nx.DiGraph([(0, i) for i in range(1, 150)]),
    "sink only": lambda: nx.DiGraph([(1, 0), (2, 0), (3, 1)]),
    "all dangling": lambda: nx.empty_graph(5, create_using=nx.DiGraph),
    "two-node cycle": lambda: nx.DiGraph([(0, 1), (1, 0)]),
    "isolated nodes": lambda: _add_isolated(nx.path_graph(6)),
    "loops, no other edge": lambda: nx.Graph([(0, 1), (1, 2), (3, 3), (4, 4)]),
    "self-loops directed": lambda: nx.DiGraph([(0, 0), (0, 1), (1, 1), (1, 2)]),
    "multidigraph parallel": _multi,
    "multigraph": lambda: nx.MultiGraph([(0, 1), (0, 1), (1, 2), (2, 2), (2, 2)]),
    "string labels": lambda: _string_labels(nx.gnp_random_graph(80, 0.05, seed=2, directed=True)),
    "weighted directed": lambda: _weighted(nx.gnp_random_graph(90, 0.04, seed=3, directed=True), 4),
    "karate weighted": nx.karate_club_graph,
    "zero weights": lambda: _all_weights(nx.cycle_graph(6), 0),
    "zero and positive weights": lambda: _all_weights(
        nx.DiGraph([(0, 1), (1, 2), (2, 0)]), 0.0, 1.5
    ),
    "star 2000": lambda: nx.star_graph(2000),
    "empty": nx.Graph,
    "one node": lambda: nx.empty_graph(1),
    "one node loop": lambda: nx.DiGraph([(0, 0)]),
    "issue hub": lambda: nx.Graph([(0, 1), (0, 2), (0, 3), (0, 5), (0, 6), (1, 2), (3, 4), (4, 5)]),
}

OPTIONS = {
    "default": {},
    "unweighted": {"weight": None},
    "alpha 0.99": {"alpha": 0.99, "max_iter": 5000},
    "alpha 0": {"alpha": 0},
    "alpha 1": {"alpha": 1.0, "max_iter": 2000},
    "personalised": {"personalization": "first"},
    "personalised, dangling, nstart": {
        "personalization": "first",
        "dangling": "last",
        "nstart": "all",
    },
    "tight tol": {"tol": 1e-12, "max_iter": 2000},
}


def _resolve(G, options):
    nodes = list(G)
    values = {
        "first": {nodes[0]: 1.0} if nodes else {},
        "last": {nodes[-1]: 2.0, nodes[0]: 1.0} if nodes else {},
        "all": {v: 1.0 + i for i, v in enumerate(nodes)},
    }
    return {k: values[v] if isinstance(v, str) else v for k, v in options.items()}


def _networkx_iterations(G, alpha=0.85, max_iter=100, tol=1e-6, weight="weight", **vectors):
    """The first max_iter with which NetworkX converges."""
    for k in range(1, max_iter + 1):
        try:
            nx.pagerank(G, alpha=alpha, max_iter=k, tol=tol, weight=weight, **vectors)
        except nx.PowerIterationFailedConvergence:
            continue
        return k
    return None


@pytest.mark.parametrize("options", OPTIONS)
@pytest.mark.parametrize("family", GRAPHS)
def test_equals_networkx(family, options):
    G = GRAPHS[family]()
    kwargs = _resolve(G, OPTIONS[options])
    try:
        expected = nx.pagerank(G, **kwargs)
    except nx.PowerIterationFailedConvergence:
        with pytest.raises(nx.PowerIterationFailedConvergence):
            nx.pagerank(G, backend="vorlan", **kwargs)
        return
    got = nx.pagerank(G, backend="vorlan", **kwargs)
    assert list(got) == list(expected)
    assert all(type(value) is float for value in got.values())
    assert max((abs(got[v] - expected[v]) for v in G), default=0) < TOLERANCE


ITERATION_CASES = ["star inward", "weighted directed", "multidigraph parallel", "string labels"]


@pytest.mark.parametrize("options", ["default", "personalised", "alpha 0.99"])
@pytest.mark.parametrize("family", ITERATION_CASES)
def test_stops_on_networkx_iteration(family, options):
    G = GRAPHS[family]()
    kwargs = _resolve(G, OPTIONS[options])
    k = _networkx_iterations(G, **kwargs)
    assert k is not None and k > 1
    # The backend stops on the same iteration: not one earlier, not later.
    nx.pagerank(G, backend="vorlan", **{**kwargs, "max_iter": k})
    with pytest.raises(nx.PowerIterationFailedConvergence):
        nx.pagerank(G, backend="vorlan", **{**kwargs, "max_iter": k - 1})


BAD_ARGUMENTS = {
    "personalization sums to 0": {"personalization": {0: 0, 1: 0}},
    "personalization cancels": {"personalization": {0: 1, 1: -1}},
    "personalization of absent nodes": {"personalization": {"x": 1}},
    "nstart sums to 0": {"nstart": {0: 0.0}},
    "dangling sums to 0": {"dangling": {3: 0}},
    "nan personalization": {"personalization": {0: float("nan")}},
    "tol 0": {"tol": 0},
    "tol negative": {"tol": -1e-6},
    "max_iter float": {"max_iter": 50.0},
    "max_iter 0": {"max_iter": 0},
    "max_iter negative": {"max_iter": -3},
    "alpha Fraction": {"alpha": Fraction(17, 20)},
    "alpha string": {"alpha": "x"},
    "personalization not a dict": {"personalization": [1, 2]},
    "nan weight": {"weight": "bad"},
}


def _error_of(call):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        try:
            call()
        except Exception as error:  # noqa: BLE001 - the very exception is what is compared
            return type(error)
    return None


@pytest.mark.parametrize("case", BAD_ARGUMENTS)
def test_bad_arguments_fail_as_in_networkx(case):
    G = nx.DiGraph([(0, 1), (1, 2), (2, 0), (2, 3)])
    nx.set_edge_attributes(G, 1.0, "weight")
    G[0][1]["bad"] = float("nan")
    kwargs = BAD_ARGUMENTS[case]
    expected = _error_of(lambda: nx.pagerank(G, **kwargs))
    assert expected is not None
    before = nx_vorlan.call_counts()["ran"].get("pagerank", 0)
    assert _error_of(lambda: nx.pagerank(G, backend="vorlan", **kwargs)) is expected
    assert nx_vorlan.call_counts()["ran"].get("pagerank", 0) == before + 1


@pytest.mark.parametrize("kwargs", [{"alpha": 1.5}, {"alpha": -0.2}])
def test_alpha_outside_unit_interval_goes_to_networkx(kwargs):
    G = nx.karate_club_graph()
    with pytest.raises(NotImplementedError):
        nx.pagerank(G, backend="vorlan", **kwargs)


def test_negative_weights_go_to_networkx():
    G = nx.DiGraph([(0, 1, {"weight": -1.0}), (1, 0, {"weight": 2.0})])
    with pytest.raises(NotImplementedError) as refused:
        nx.pagerank(G, backend="vorlan")
    assert "non-negative" in str(refused.value.__cause__ or refused.value)


def test_scale_free_with_dangling_nodes_within_1e10():
    G = nx.scale_free_graph(3000, seed=7)  # parallel edges, self-loops, hubs
    assert any(G.out_degree(v) == 0 for v in G)
    assert max(d for _, d in G.in_degree()) > 32
    expected = nx.pagerank(G)
    got = nx.pagerank(G, backend="vorlan")
    assert max(abs(got[v] - expected[v]) for v in G) < TOLERANCE


def test_converted_graph_gives_weights_per_target():
    G = nx.MultiDiGraph([(0, 1, {"w": 2}), (0, 1, {"w": 3}), (1, 0, {}), (1, 1, {"w": 0.5})])
    converted = from_networkx(G, weights={"w": 1})
    assert converted.edge_weights("w").tolist() == [5.0, 1.0, 0.5]
    kept_all = from_networkx(G, edge_data=True)
    assert kept_all.edge_weights("w").tolist() == [5.0, 1.0, 0.5]
    # An attribute no edge carries weighs 1 per edge: parallel edges count.
    assert kept_all.edge_weights("absent").tolist() == [2.0, 1.0, 1.0]
    assert converted.edge_weights(None).tolist() == [2.0, 1.0, 1.0]


# -- conversions reused and not ---------------------------------------------


def _bfs_layers(G, **kw):
    return list(nx.bfs_layers(G, 0, **kw))


def _k_truss(G, **kw):
    return sorted(map(sorted, nx.k_truss(G, 3, **kw).edges()))


BACKED = {
    "single_source_shortest_path_length": lambda G, **kw: nx.single_source_shortest_path_length(
        G, 0, **kw
    ),
    "shortest_path_length": lambda G, **kw: nx.shortest_path_length(G, 0, **kw),
    "descendants_at_distance": lambda G, **kw: nx.descendants_at_distance(G, 0, 2, **kw),
    "bfs_layers": _bfs_layers,
    "k_truss": _k_truss,
    "transitivity": lambda G, **kw: nx.transitivity(G, **kw),
    "pagerank": lambda G, **kw: nx.pagerank(G, **kw),
    "pagerank unweighted": lambda G, **kw: nx.pagerank(G, weight=None, **kw),
}


def _same(got, expected):
    if isinstance(expected, dict) and expected and isinstance(next(iter(expected.values())), float):
        assert list(got) == list(expected)
        return max(abs(got[v] - expected[v]) for v in expected) < TOLERANCE
    return got == expected


@pytest.fixture(params=[True, False], ids=["cache on", "cache off"])
def cache(request):
    saved = nx.config.cache_converted_graphs
    nx.config.cache_converted_graphs = request.param
    nx.config.warnings_to_ignore.add("cache")
    yield request.param
    nx.config.cache_converted_graphs = saved
    nx.config.warnings_to_ignore.discard("cache")


@pytest.mark.parametrize(("first", "second"), list(itertools.product(BACKED, BACKED)))
def test_every_function_after_every_other(first, second, cache):
    # No edge attribute at all: k_truss keeps every attribute of its conversion,
    # which later calls with NetworkX's default weight must read as 1.
    G = nx.Graph(nx.karate_club_graph().edges())
    BACKED[first](G, backend="vorlan")
    assert _same(BACKED[second](G, backend="vorlan"), BACKED[second](G))
    H = nx.karate_club_graph()  # weighted
    BACKED[first](H, backend="vorlan")
    assert _same(BACKED[second](H, backend="vorlan"), BACKED[second](H))


def _set_item(G):
    G[0][2]["weight"] = 9.0


def _set_in_loop(G):
    for u, v, d in G.edges(data=True):
        if u == 0:
            d["weight"] = 5.0


def _add_edge(G):
    G.add_edge(0, 1, weight=7)


def _remove_edge(G):
    G.remove_edge(0, 2)


def _add_node(G):
    G.add_node("new")


def _set_edge_attributes(G):
    nx.set_edge_attributes(G, {(0, 2): 3.0}, "weight")


# (change, whether NetworkX's cache sees it). Changes made to the data dicts
# directly are invisible to NetworkX's cache, as its warning says: with the
# cache on, the next call must follow only once the cache is cleared.
CHANGES = {
    "G[u][v][key] = val": (_set_item, False),
    "d[key] = val in a loop": (_set_in_loop, False),
    "add_edge (equal weights before)": (_add_edge, True),
    "remove_edge": (_remove_edge, True),
    "add_node": (_add_node, True),
    "set_edge_attributes": (_set_edge_attributes, True),
}


@pytest.mark.parametrize("function", ["pagerank", "pagerank unweighted", "bfs_layers"])
@pytest.mark.parametrize("change", CHANGES)
def test_calls_follow_graph_changes(change, function, cache):
    mutate, seen_by_cache = CHANGES[change]
    G = nx.karate_club_graph()
    nx.set_edge_attributes(G, 1.0, "weight")
    call = BACKED[function]
    call(G, backend="vorlan")
    mutate(G)
    if cache and not seen_by_cache:
        G.__networkx_cache__.clear()  # what NetworkX's warning tells the caller to do
    assert _same(call(G, backend="vorlan"), call(G))


@pytest.mark.parametrize("how", ["cache cleared", "cache set to None"])
def test_manual_changes_followed_once_networkx_is_told(how):
    G = nx.karate_club_graph()
    nx.config.warnings_to_ignore.add("cache")
    try:
        nx.pagerank(G, backend="vorlan")
        G[0][2]["weight"] = 9.0
        if how == "cache cleared":
            G.__networkx_cache__.clear()
        else:
            G.__networkx_cache__ = None
        assert _same(nx.pagerank(G, backend="vorlan"), nx.pagerank(G))
    finally:
        nx.config.warnings_to_ignore.discard("cache")


def test_subgraph_follows_its_parent(cache):
    P = nx.karate_club_graph()
    nx.set_edge_attributes(P, 1.0, "weight")
    P.add_node(34)
    S = P.subgraph(range(34))
    nx.pagerank(S, backend="vorlan")
    P.add_edge(0, 1, weight=5.0)
    if cache:
        S.__networkx_cache__.clear()  # a view's cache does not hear of its parent's changes
    assert _same(nx.pagerank(S, backend="vorlan"), nx.pagerank(S))


def test_backend_keeps_nothing_in_the_networkx_graph():
    G = nx.karate_club_graph()
    saved = nx.config.cache_converted_graphs
    nx.config.cache_converted_graphs = False
    try:
        for call in BACKED.values():
            call(G, backend="vorlan")
    finally:
        nx.config.cache_converted_graphs = saved
    assert G.__networkx_cache__ == {}
