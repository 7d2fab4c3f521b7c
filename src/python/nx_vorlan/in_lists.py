"""Who points at each node of a directed graph, in the order G.pred lists them.

NetworkX keeps each in-list in the order its edges were added, which the
out-lists the conversion reads cannot tell (adding 1 -> v before 2 -> v or
after leaves every out-list alike). A search along predecessors that must
meet where NetworkX's does therefore reads the in-lists from the NetworkX
graph itself, the first time it needs them, provided that graph is the one
converted: still alive, and unchanged since. NetworkX empties a graph's
`__networkx_cache__` at every change made through its methods, and with it
the mark the conversion left there; the lists read must also hold exactly the
converted edges. Otherwise (a converted graph kept and used on its own) each
in-list is in source order, which is G.pred's order in the graph to_networkx
rebuilds from the conversion.
"""

import itertools
import weakref

import numpy as np
import vorlan_cuda

from nx_vorlan.device import default_device

# In G's cache, beside checks.cached's facts: one object per unchanged state of G.
_FACTS, _MARK = "vorlan", "state"
_ORIGIN = "vorlan_origin"  # in the conversion's cache: (weak reference, that object)
_LISTS = "vorlan_in_lists"
_REVERSE_GPU = "vorlan_reverse_gpu"


def remember_origin(graph, G):
    """Lets `graph`, converted from G, read G's in-lists later while G stays as it is."""
    cache = getattr(G, "__networkx_cache__", None)
    if cache is None or not G.is_directed():
        return
    try:
        origin = weakref.ref(G)
    except TypeError:  # a class with __slots__ and no weak references
        return
    mark = cache.setdefault(_FACTS, {}).setdefault(_MARK, object())
    graph.__networkx_cache__[_ORIGIN] = (origin, mark)


def _unchanged_origin(graph):
    origin, mark = graph.__networkx_cache__.get(_ORIGIN, (lambda: None, None))
    G = origin()
    if G is None or getattr(G, "__networkx_cache__", {}).get(_FACTS, {}).get(_MARK) is not mark:
        return None
    return G


def _pair_keys(heads, tails):
    return (heads.astype(np.uint64) << np.uint64(32)) | tails.astype(np.uint64)


def _read_from(G, graph):
    """(offsets, sources) from G._pred, or None when they are not the converted edges."""
    nodes, index = graph.nodes, graph.index
    try:
        pred = G._pred
        lists = [list(pred[v]) for v in nodes]
        lengths = np.fromiter(map(len, lists), dtype=np.int64, count=len(nodes))
        m = int(lengths.sum())
        if m != len(graph.targets) or len(G) != len(nodes):
            return None
        sources = np.fromiter(
            map(index.__getitem__, itertools.chain.from_iterable(lists)), dtype=np.uint32, count=m
        )
    except (KeyError, AttributeError, TypeError):
        return None
    columns = np.repeat(np.arange(len(nodes), dtype=np.uint32), lengths)
    if not np.array_equal(
        np.sort(_pair_keys(sources, columns)), np.sort(_pair_keys(graph.rows, graph.targets))
    ):
        return None
    offsets = np.zeros(len(nodes) + 1, dtype=np.int64)
    np.cumsum(lengths, out=offsets[1:])
    return offsets, sources


def _source_order(graph):
    order = np.argsort(graph.targets, kind="stable")
    offsets = np.zeros(len(graph.nodes) + 1, dtype=np.int64)
    np.cumsum(np.bincount(graph.targets, minlength=len(graph.nodes)), out=offsets[1:])
    return offsets, graph.rows[order]


def in_lists(graph):
    """(offsets int64, sources uint32): each node's in-list, as the module says."""
    cache = graph.__networkx_cache__
    if _LISTS not in cache:
        G = _unchanged_origin(graph)
        lists = None if G is None else _read_from(G, graph)
        cache[_LISTS] = _source_order(graph) if lists is None else lists
        cache.pop(_ORIGIN, None)  # read once; the graph need not be kept reachable
    return cache[_LISTS]


def reverse_gpu_graph(graph):
    """The reversed graph on the default device, each list sorted (BFS does not mind)."""
    cache = graph.__networkx_cache__
    if _REVERSE_GPU not in cache:
        offsets, sources = in_lists(graph)
        columns = np.repeat(np.arange(len(graph.nodes), dtype=np.uint64), np.diff(offsets))
        keys = _pair_keys(columns, sources)
        keys.sort()
        targets = (keys & np.uint64(0xFFFFFFFF)).astype(np.uint32)
        cache[_REVERSE_GPU] = vorlan_cuda.GpuGraph.from_csr(
            offsets.astype(np.uint32), targets, default_device()
        )
    return cache[_REVERSE_GPU]
