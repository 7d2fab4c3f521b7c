"""The backend's components, BFS-tree, path, triangle and core functions against NetworkX.

Each backed function runs with backend="vorlan" and directly in NetworkX on
the same graph; results are compared completely (dict and generator order
included) and the backend must have answered the call itself.
"""

import json
import textwrap

import networkx as nx
import nx_vorlan
import pytest
from conftest import on_software_gpu, run_python


def _giant_and_small():
    """One giant component, many small ones, isolated nodes, labels out of order."""
    G = nx.gnm_random_graph(150, 400, seed=4)
    G = nx.relabel_nodes(G, {v: (v * 37) % 150 for v in G})
    for i in range(40):
        G.add_edge(1000 + 2 * i, 1000 + 2 * i + 1)
    G.add_nodes_from([-1, 500, 2000])
    return G


def _labelled():
    """String and tuple labels, self-loops, a multigraph's repeated edges, triangles."""
    G = nx.MultiGraph()
    G.add_edges_from([("a", (1, 2)), ("a", (1, 2)), ((1, 2), "b"), ("b", "b"), ("c", "d")])
    G.add_edges_from([("b", "e"), ("e", "a"), ("e", "e"), ("x", (0,)), ("e", (1, 2))])
    G.add_node("lonely")
    return G


GRAPHS = {
    "giant+small": _giant_and_small,
    "labels+loops": _labelled,
    "simple+loops": lambda: nx.Graph(_labelled()),
    "path 10000": lambda: nx.path_graph(10_000),
    "complete": lambda: nx.complete_graph(9),
    "star": lambda: nx.star_graph(30),
    "one node": lambda: nx.empty_graph(1),
    "directed": lambda: nx.gnp_random_graph(60, 0.05, seed=6, directed=True),
}

# name -> call(G, s, t) for a source s and another node t.
CALLS = {
    "connected_components": lambda G, s, t, **kw: list(nx.connected_components(G, **kw)),
    "number_connected_components": lambda G, s, t, **kw: nx.number_connected_components(G, **kw),
    "is_connected": lambda G, s, t, **kw: nx.is_connected(G, **kw),
    "node_connected_component": lambda G, s, t, **kw: nx.node_connected_component(G, t, **kw),
    "bfs_edges": lambda G, s, t, **kw: list(nx.bfs_edges(G, s, **kw)),
    "bfs_edges depth 2": lambda G, s, t, **kw: list(nx.bfs_edges(G, s, depth_limit=2, **kw)),
    "bfs_tree": lambda G, s, t, **kw: nx.bfs_tree(G, s, depth_limit=3.5, **kw),
    "bfs_predecessors": lambda G, s, t, **kw: list(nx.bfs_predecessors(G, s, **kw)),
    "bfs_successors": lambda G, s, t, **kw: list(nx.bfs_successors(G, s, depth_limit=4, **kw)),
    "predecessor": lambda G, s, t, **kw: nx.predecessor(G, s, return_seen=True, **kw),
    "predecessor cutoff": lambda G, s, t, **kw: nx.predecessor(G, s, cutoff=2, **kw),
    "predecessor target": lambda G, s, t, **kw: nx.predecessor(G, s, t, return_seen=True, **kw),
    "single_source_shortest_path": lambda G, s, t, **kw: nx.single_source_shortest_path(
        G, s, cutoff=None if len(G) < 1000 else 30, **kw
    ),
    "shortest_path": lambda G, s, t, **kw: (
        nx.shortest_path(G, s, **kw) if len(G) < 1000 else nx.shortest_path(G, s, t, **kw)
    ),
    "shortest_path target": lambda G, s, t, **kw: nx.shortest_path(G, s, t, **kw),
    "has_path": lambda G, s, t, **kw: nx.has_path(G, s, t, **kw),
    "triangles": lambda G, s, t, **kw: nx.triangles(G, **kw),
    "triangles nodes": lambda G, s, t, **kw: nx.triangles(G, [t, "missing", s], **kw),
    "clustering": lambda G, s, t, **kw: nx.clustering(G, **kw),
    "clustering node": lambda G, s, t, **kw: nx.clustering(G, t, **kw),
    "average_clustering": lambda G, s, t, **kw: nx.average_clustering(G, count_zeros=False, **kw),
    "transitivity": lambda G, s, t, **kw: nx.transitivity(G, **kw),
    "core_number": lambda G, s, t, **kw: nx.core_number(G, **kw),
    "k_core": lambda G, s, t, **kw: nx.k_core(G, **kw),
    "k_shell": lambda G, s, t, **kw: nx.k_shell(G, 1, **kw),
    "k_crust": lambda G, s, t, **kw: nx.k_crust(G, **kw),
}


def _directed(G):
    return G.is_directed()


def _multi(G):
    return G.is_multigraph()


def _unpeelable(G):
    return G.is_directed() or G.is_multigraph() or nx.number_of_selfloops(G) > 0


# Per call, the graphs the backend refuses (NetworkX refuses most of them too).
REFUSED = {
    "connected_components": _directed,
    "number_connected_components": _directed,
    "is_connected": _directed,
    "node_connected_component": _directed,
    "triangles": _directed,
    "triangles nodes": lambda G: G.is_directed() or _multi(G),
    "clustering": lambda G: G.is_directed() or _multi(G),
    "clustering node": lambda G: G.is_directed() or _multi(G),
    "average_clustering": lambda G: G.is_directed() or _multi(G),
    "transitivity": lambda G: G.is_directed() or _multi(G),
    "core_number": _unpeelable,
    "k_core": _unpeelable,
    "k_shell": _unpeelable,
    "k_crust": _unpeelable,
}


@pytest.fixture(autouse=True, scope="module")
def _quiet_cache():
    nx.config.warnings_to_ignore.add("cache")


def _outcome(call):
    """What a call gives, in a form == compares completely, or its error."""
    try:
        result = call()
    except (nx.NetworkXException, KeyError, ZeroDivisionError, ValueError) as error:
        return ("raised", type(error), str(error))
    if isinstance(result, nx.Graph):
        adjacency = [list(result[v]) for v in result]
        return ("graph", type(result), list(result.nodes(data=True)), adjacency, result.graph)
    if isinstance(result, tuple):
        return tuple(list(part.items()) if isinstance(part, dict) else part for part in result)
    return list(result.items()) if isinstance(result, dict) else result


def _answered():
    return sum(nx_vorlan.call_counts()["ran"].values())


def _endpoints(G):
    nodes = list(G)
    return [(nodes[0], nodes[-1]), (nodes[len(nodes) // 2], nodes[len(nodes) // 3])]


@pytest.mark.parametrize("call", CALLS)
@pytest.mark.parametrize("family", GRAPHS)
def test_equals_networkx(family, call):
    G = GRAPHS[family]()
    refused = REFUSED.get(call, lambda G: False)(G)
    for s, t in _endpoints(G):
        before = _answered()
        if refused:
            with pytest.raises((NotImplementedError, nx.NetworkXNotImplemented)):
                CALLS[call](G, s, t, backend="vorlan")
            assert _answered() == before
            continue
        expected = _outcome(lambda: CALLS[call](G, s, t))
        got = _outcome(lambda: CALLS[call](G, s, t, backend="vorlan"))
        assert got == expected
        assert _answered() == before + 1, "the backend did not answer"


@pytest.mark.parametrize("call", ["connected_components", "is_connected", "has_path"])
def test_null_graph_like_networkx(call):
    G = nx.Graph()
    if call == "has_path":
        with pytest.raises(NotImplementedError):  # no node to start from: NetworkX's error
            nx.has_path(G, 0, 0, backend="vorlan")
        return
    assert _outcome(lambda: CALLS[call](G, 0, 0, backend="vorlan")) == _outcome(
        lambda: CALLS[call](G, 0, 0)
    )


FOLLOWED = (
    "connected_components",
    "shortest_path target",
    "bfs_successors",
    "triangles",
    "clustering",
    "average_clustering",
    "transitivity",
    "core_number",
)


@pytest.mark.parametrize("cache", [True, False])
def test_results_follow_the_graph_when_it_changes(cache):
    """Each change is one NetworkX's cache hears of; with the cache off every
    call converts anew. A self-loop comes and goes: the core functions must
    decline while it is there (NetworkX refuses it) and answer after."""
    G = _giant_and_small()
    changes = (
        lambda: G.add_edge(1000, -1),
        lambda: G.add_edges_from([(1000, 1002), (1001, 1002), (1002, -1)]),  # new triangles
        lambda: G.remove_edge(1000, 1001),
        lambda: G.add_edges_from((2000 + i, 2001 + i) for i in range(5)),
        lambda: G.add_edge(1002, 1002),
        lambda: G.remove_node(1002),
    )
    old = nx.config.cache_converted_graphs
    nx.config.cache_converted_graphs = cache
    try:
        for change in changes:
            change()
            for call in FOLLOWED:
                s, t = 1000, 2000
                if REFUSED.get(call, lambda G: False)(G):
                    with pytest.raises(NotImplementedError):
                        CALLS[call](G, s, t, backend="vorlan")
                    continue
                assert _outcome(lambda: CALLS[call](G, s, t, backend="vorlan")) == _outcome(
                    lambda: CALLS[call](G, s, t)
                ), call
    finally:
        nx.config.cache_converted_graphs = old


@pytest.mark.parametrize(
    "call",
    [
        lambda G: list(nx.bfs_edges(G, 0, sort_neighbors=sorted, backend="vorlan")),
        lambda G: list(nx.bfs_edges(G, "missing", backend="vorlan")),
        lambda G: nx.shortest_path(G, 0, 3, weight="weight", backend="vorlan"),
        lambda G: nx.connected_components(G.to_directed(), backend="vorlan"),
        lambda G: list(nx.bfs_edges(G.to_directed(), 0, reverse=True, backend="vorlan")),
    ],
)
def test_what_the_gpu_cannot_answer_is_declined(call):
    with pytest.raises((NotImplementedError, nx.NetworkXNotImplemented)):
        call(nx.path_graph(5))


# Shapes on which label propagation is slow or racy, as CSR lists of nodes 0..n-1.
SCRIPT = textwrap.dedent("""
    import json, random, sys
    import numpy as np
    import vorlan_cuda
    from conftest import csr_from_lists

    def undirected(n, edges):
        lists = [set() for _ in range(n)]
        for u, v in edges:
            lists[u].add(v); lists[v].add(u)
        return [sorted(l) for l in lists]

    n = 3000
    order = list(range(n)); random.Random(1).shuffle(order)
    # A spine 1000 .. 1999 with a tooth 999 - i on spine node 1000 + i.
    comb = [(1000 + i, 1001 + i) for i in range(999)] + [(1000 + i, 999 - i) for i in range(1000)]
    # Positions along the path alternate between the smallest and largest indices left.
    zigzag = [i // 2 if i % 2 == 0 else n - 1 - i // 2 for i in range(n)]
    shapes = {
        "path in index order": undirected(n, [(i, i + 1) for i in range(n - 1)]),
        "path zigzag": undirected(n, [(zigzag[i], zigzag[i + 1]) for i in range(n - 1)]),
        "path shuffled": undirected(n, [(order[i], order[i + 1]) for i in range(n - 1)]),
        "comb": undirected(2000, comb),
        "pairs": undirected(n, [(i, n - 1 - i) for i in range(n // 2)]),
        "star and isolated": undirected(n, [(n // 2, v) for v in range(0, n, 3) if v != n // 2]),
        "one direction only": [[v + 1] if v % 7 else [] for v in range(n - 1)] + [[]],
        "dense random": undirected(300, [(u, v) for u in range(300) for v in range(u)
                                         if random.Random(u * 300 + v).random() < 0.08]),
    }
    device = vorlan_cuda.GpuDevice(0)
    out = {}
    for name, lists in shapes.items():
        gpu = vorlan_cuda.GpuGraph.from_csr(*csr_from_lists(lists), device)
        r = gpu.connected_components()
        out[name] = [r["labels"], r["num_components"], r["rounds"], lists,
                     gpu.core_number()["core"], gpu.triangles_per_node()["triangles"]]
    print(json.dumps(out))
""")


def _smallest_member_labels(lists):
    """Per node the smallest node of its weakly connected component (union-find)."""
    parent = list(range(len(lists)))

    def root(v):
        while parent[v] != v:
            parent[v] = parent[parent[v]]
            v = parent[v]
        return v

    for u, targets in enumerate(lists):
        for v in targets:
            a, b = root(u), root(v)
            parent[max(a, b)] = min(a, b)
    return [root(v) for v in range(len(lists))]


@pytest.mark.skipif(not on_software_gpu(), reason="scheduling seeds belong to the software GPU")
@pytest.mark.parametrize("seed", [0, 3, 11])
def test_labels_cores_and_triangles_in_any_schedule(seed):
    import os

    here = os.path.dirname(os.path.abspath(__file__))
    pythonpath = os.pathsep.join(filter(None, [here, os.environ.get("PYTHONPATH")]))
    result = run_python(
        SCRIPT, extra_env={"VORLAN_EMU_SEED": str(seed), "PYTHONPATH": pythonpath}, timeout=600
    )
    assert result.returncode == 0, result.stderr
    for name, (labels, count, rounds, lists, cores, triangles) in json.loads(result.stdout).items():
        expected = _smallest_member_labels(lists)
        if name != "one direction only":
            G = nx.Graph()
            G.add_nodes_from(range(len(lists)))
            G.add_edges_from((u, v) for u, targets in enumerate(lists) for v in targets)
            assert cores == list(nx.core_number(G).values()), name
            assert triangles == list(nx.triangles(G).values()), name
        assert labels == expected, name
        assert count == len(set(expected)), name
        if name in ("path in index order", "pairs"):
            # One round joins them all; a second finds nothing left to join.
            assert rounds == 2, name


def test_views_convert_as_they_iterate():
    """A multigraph's edge subgraph reports list lengths other than what it yields."""
    G = nx.MultiGraph([(0, 1), (0, 1), (1, 2), (2, 3), (3, 0), (4, 5)])
    for edges in ([(0, 1, 0), (1, 2, 0), (2, 3, 0)], [(0, 1, 1), (4, 5, 0)]):
        view = G.edge_subgraph(edges)
        assert nx.is_connected(view, backend="vorlan") == nx.is_connected(view)
        assert list(nx.connected_components(view, backend="vorlan")) == list(
            nx.connected_components(view)
        )


class _NoNeighbours(nx.Graph):
    """A class that means something else by its adjacency, as NetworkX's own
    complement graph in k_components does."""

    def neighbors(self, n):
        return iter(())


@pytest.mark.parametrize("call", [nx.core_number, nx.is_connected, nx.triangles])
def test_classes_that_redefine_adjacency_stay_with_networkx(call):
    G = _NoNeighbours(nx.karate_club_graph())
    with pytest.raises(NotImplementedError):
        call(G, backend="vorlan")


def test_functions_networkx_deprecates_stay_with_it(monkeypatch):
    """A deprecated function warns in NetworkX; the backend leaves it there."""
    from nx_vorlan import rules

    G = nx.path_graph(4)
    assert list(nx.bfs_predecessors(G, 0, backend="vorlan")) == list(nx.bfs_predecessors(G, 0))
    # How NetworkX 3.7 marks it; a deprecated use of a function (k_core's
    # multigraphs in 3.4) leaves the function itself with the backend.
    assert nx.k_core(nx.path_graph(3), backend="vorlan").number_of_nodes() == 3
    doc = (
        nx.bfs_predecessors.__doc__
        + "\n    .. deprecated:: 3.7\n       bfs_predecessors is deprecated\n"
    )
    monkeypatch.setattr(nx.bfs_predecessors, "__doc__", doc)
    rules._deprecated.cache_clear()
    try:
        with pytest.raises(NotImplementedError):
            list(nx.bfs_predecessors(G, 0, backend="vorlan"))
    finally:
        monkeypatch.undo()
        rules._deprecated.cache_clear()
