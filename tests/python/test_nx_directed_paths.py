"""Source-target shortest paths on directed graphs against NetworkX.

NetworkX's bidirectional search walks backward along G.pred, whose lists are
in the order the edges were added; the graphs here add their edges in a
shuffled order, so that order differs from both the out-lists' and the
sources', and the path found depends on it whenever several shortest paths
exist.
"""

import random

import networkx as nx
import nx_vorlan
import pytest


@pytest.fixture(autouse=True, scope="module")
def _quiet_cache():
    nx.config.warnings_to_ignore.add("cache")


def _shuffled_digraph(seed, cls=nx.DiGraph):
    rng = random.Random(seed)
    n = rng.choice([12, 40, 120])
    per_node = rng.choice([1.2, 2.5, 5.0])  # sparse: long paths; dense: many ties
    nodes = list(range(n))
    rng.shuffle(nodes)
    G = cls()
    G.add_nodes_from(nodes)
    edges = [(rng.randrange(n), rng.randrange(n)) for _ in range(int(per_node * n))]
    rng.shuffle(edges)
    G.add_edges_from(edges)  # self-loops and, for multigraphs, parallel edges included
    return G, rng


def _path_or_error(G, s, t, **kw):
    try:
        return nx.shortest_path(G, s, t, **kw)
    except nx.NetworkXNoPath as error:
        return ("no path", str(error))


def _answered():
    return sum(nx_vorlan.call_counts()["ran"].values())


def _check_pairs(G, rng, pairs=12):
    nodes = list(G)
    for _ in range(pairs):
        s, t = rng.choice(nodes), rng.choice(nodes)
        before = _answered()
        got = _path_or_error(G, s, t, backend="vorlan")
        assert _answered() == before + 1, "the backend did not answer"
        assert got == _path_or_error(G, s, t), (s, t)
        assert nx.has_path(G, s, t, backend="vorlan") == nx.has_path(G, s, t)


@pytest.mark.parametrize("seed", range(24))
def test_directed_paths_meet_where_networkx_does(seed):
    _check_pairs(*_shuffled_digraph(seed))


@pytest.mark.parametrize("seed", range(4))
def test_multidigraph_paths(seed):
    _check_pairs(*_shuffled_digraph(100 + seed, nx.MultiDiGraph))


@pytest.mark.parametrize("cache", [True, False])
def test_pred_order_follows_the_graph_when_it_changes(cache):
    """Removing and adding back an edge moves it to the end of its in-list:
    the edges are the same, NetworkX's answer may not be."""
    old = nx.config.cache_converted_graphs
    nx.config.cache_converted_graphs = cache
    try:
        # 0 -> {1, 2} -> 3: two shortest paths, chosen by 3's in-list order.
        G = nx.DiGraph([(0, 1), (0, 2), (1, 3), (2, 3), (3, 4)])
        paths = []
        for u in (1, 2, 1):
            G.remove_edge(u, 3)
            G.add_edge(u, 3)
            # A longer target side makes the backward side scan 3's in-list.
            expected = nx.shortest_path(G, 0, 4)
            assert nx.shortest_path(G, 0, 4, backend="vorlan") == expected
            paths.append(expected)
        assert paths[0] != paths[1], "the graph no longer tells the two orders apart"
    finally:
        nx.config.cache_converted_graphs = old


def test_converted_graph_alone_answers_as_the_graph_it_stands_for():
    """Without the NetworkX graph, in-lists are those of the graph to_networkx rebuilds."""
    G, rng = _shuffled_digraph(7)
    converted = nx_vorlan.from_networkx(G)
    G.clear()  # a change NetworkX's cache hears of: G's in-lists no longer count
    rebuilt = nx.DiGraph()
    rebuilt.add_nodes_from(converted.nodes)
    rows, targets = converted.rows.tolist(), converted.targets.tolist()
    rebuilt.add_edges_from((converted.nodes[u], converted.nodes[v]) for u, v in zip(rows, targets))
    nodes = list(rebuilt)
    for _ in range(12):
        s, t = rng.choice(nodes), rng.choice(nodes)
        assert _path_or_error(converted, s, t, backend="vorlan") == _path_or_error(rebuilt, s, t)


@pytest.mark.parametrize(
    "view",
    [
        lambda G: G.reverse(copy=False),
        lambda G: G.subgraph(list(G)[::2]),
        lambda G: nx.restricted_view(G, list(G)[:3], list(G.edges)[::3]),
    ],
    ids=["reverse", "subgraph", "restricted"],
)
def test_views_read_their_own_in_lists(view):
    G, rng = _shuffled_digraph(3)
    _check_pairs(view(G), rng)
