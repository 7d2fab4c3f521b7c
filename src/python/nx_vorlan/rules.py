"""can_run: which calls the GPU answers exactly as NetworkX would.

Every decline is decided here, and nowhere else: first for every backed
function alike (an argument of the wrong kind, a graph of another library, a
parameter the GPU does not answer given a value other than its default, by
info.FUNCTIONS), then by the function's own rule below, if it has one. A rule
has the function's signature, gets the call's arguments, and returns None to
accept or the reason the call stays with NetworkX. Rules read the NetworkX
graph the caller passed (before any conversion), so they must not consume
iterators or convert anything.
"""

import collections.abc
import functools
import numbers
import sys

import networkx as nx
import numpy as np

from nx_vorlan import backed
from nx_vorlan import pagerank as _pagerank
from nx_vorlan.checks import cached
from nx_vorlan.graph import VorlanGraph
from nx_vorlan.info import FUNCTIONS

# What the conversion reads a graph through; a class that redefines any of
# them (as k_components' complement graph does) means something else by them.
_ADJACENCY_NAMES = ("adj", "succ", "pred", "__getitem__", "__iter__", "neighbors", "degree")
_NETWORKX_CLASSES = (nx.MultiDiGraph, nx.MultiGraph, nx.DiGraph, nx.Graph)


@functools.cache
def _redefines_adjacency(cls):
    base = next(base for base in _NETWORKX_CLASSES if issubclass(cls, base))
    return any(
        getattr(cls, name, None) is not getattr(base, name, None) for name in _ADJACENCY_NAMES
    )


def _graph_kind(G):
    if isinstance(G, VorlanGraph):
        return None
    if not isinstance(G, nx.Graph):
        return f"the graph is a {type(G).__name__}, not a NetworkX or vorlan graph"
    if _redefines_adjacency(type(G)):
        return f"{type(G).__name__} redefines how its adjacency reads"
    return None


def _undirected(G):
    return "the graph is directed" if G.is_directed() else None


def _real(value, what):
    if isinstance(value, numbers.Real) and not isinstance(value, np.bool_):
        return None
    return f"{what} is not a real number"


def single_source_shortest_path_length(G, source, cutoff=None):
    return None if cutoff is None else _real(cutoff, "cutoff")


def shortest_path_length(G, source=None, target=None, weight=None, method="dijkstra"):
    if source is None:
        return "no source: all-pairs or single-target lengths run in NetworkX"
    return None


def bfs_layers(G, sources):
    if sources in G:
        return None
    if isinstance(sources, collections.abc.Iterator):
        return "sources is an iterator; looking at it would use it up"
    if not isinstance(sources, collections.abc.Collection):
        return None  # NetworkX fails on it; so does the backend, the same way
    if len(sources) <= 1 or not all(source in G for source in sources):
        return None  # one source, or NetworkX's error for a missing one
    return "several sources"


def k_truss(G, k):
    if G.is_directed() or G.is_multigraph():
        return "directed graphs and multigraphs are refused by NetworkX"
    return _real(k, "k")


def transitivity(G):
    if G.is_multigraph():
        return "multigraphs are refused by NetworkX"
    return _undirected(G)


def _nbunch(G, nodes):
    """A reason when `nodes` is not None, a node, or a container of hashables."""
    if nodes is None or nodes in G:
        return None
    if isinstance(nodes, collections.abc.Iterator) or not isinstance(
        nodes, collections.abc.Collection
    ):
        return "nodes is neither a node nor a container of them"
    if not all(isinstance(v, collections.abc.Hashable) for v in nodes):
        return "nodes holds an unhashable element: NetworkX raises the error"
    return None


def triangles(G, nodes=None):
    if nodes is not None and G.is_multigraph():
        return "multigraphs are refused by NetworkX for chosen nodes"
    return _undirected(G) or _nbunch(G, nodes)


def clustering(G, nodes=None, weight=None):
    return transitivity(G) or _nbunch(G, nodes)


def average_clustering(G, nodes=None, weight=None, count_zeros=True):
    return clustering(G, nodes)


def pagerank(
    G,
    alpha=0.85,
    personalization=None,
    max_iter=100,
    tol=1.0e-6,
    nstart=None,
    weight="weight",
    dangling=None,
):
    return _pagerank.decline_reason(G, alpha)


def _missing(G, *nodes):
    """A reason when a node is not in G: NetworkX then raises its own error."""
    for node in nodes:
        if node not in G:
            return f"{node!r} is not in G: NetworkX raises the error"
    return None


def _limit(value, what):
    return None if value is None else _real(value, what)


def connected_components(G):
    return _undirected(G)


def number_connected_components(G):
    return _undirected(G)


def is_connected(G):
    return _undirected(G)


def node_connected_component(G, n):
    return _undirected(G) or _missing(G, n)


def bfs_edges(G, source, reverse=False, depth_limit=None, sort_neighbors=None):
    if reverse and G.is_directed():
        return "reverse on a directed graph follows predecessors, which the GPU does not hold"
    return _missing(G, source) or _limit(depth_limit, "depth_limit")


def bfs_tree(G, source, reverse=False, depth_limit=None, sort_neighbors=None):
    return bfs_edges(G, source, reverse, depth_limit)


def bfs_predecessors(G, source, depth_limit=None, sort_neighbors=None):
    return bfs_edges(G, source, depth_limit=depth_limit)


def bfs_successors(G, source, depth_limit=None, sort_neighbors=None):
    return bfs_edges(G, source, depth_limit=depth_limit)


def predecessor(G, source, target=None, cutoff=None, return_seen=None):
    if target is not None and not isinstance(target, collections.abc.Hashable):
        return "an unhashable target"
    return _missing(G, source) or _limit(cutoff, "cutoff")


def single_source_shortest_path(G, source, cutoff=None):
    return _missing(G, source) or _limit(cutoff, "cutoff")


def shortest_path(G, source=None, target=None, weight=None, method="dijkstra"):
    if source is None:
        return "no source: all-pairs or single-target paths run in NetworkX"
    if method not in ("dijkstra", "bellman-ford"):
        return "an unknown method: NetworkX raises the error"
    if target is None:
        return _missing(G, source)
    return _missing(G, source, target)


def has_path(G, source, target):
    return _missing(G, source, target)


def _self_loops(G):
    if isinstance(G, VorlanGraph):
        return G.has_self_loops
    return cached(G, "self_loops", lambda G: nx.number_of_selfloops(G) > 0)


def _peelable(G):
    if G.is_multigraph() or _self_loops(G):
        return "multigraphs and self-loops are refused by NetworkX"
    return _undirected(G)


def core_number(G):
    return _peelable(G)


def k_core(G, k=None, core_number=None):
    return _peelable(G) or _limit(k, "k")


def k_shell(G, k=None, core_number=None):
    return k_core(G, k)


def k_crust(G, k=None, core_number=None):
    return k_core(G, k)


@functools.cache
def _deprecated(name):
    """A reason when the NetworkX in use deprecates `name` itself (its
    docstring says "<name> is deprecated"; a deprecated use of it, such as
    k_core's multigraphs in 3.4, is not): NetworkX then runs it, with its own
    warning."""
    if f"{name} is deprecated" in (getattr(nx, name).__doc__ or ""):
        return f"{name} is deprecated in NetworkX {nx.__version__}: it warns there"
    return None


def _is_default(value, default):
    if value is default:
        return True
    simple = (bool, int, float, str)
    return type(value) is type(default) and isinstance(value, simple) and value == default


def _unsupported(name, bound):
    """The first parameter given a value the GPU does not answer, if any."""
    supported = FUNCTIONS[name]["supported_parameters"]
    parameters = bound.signature.parameters
    for parameter, value in bound.arguments.items():
        if parameter == "G" or parameter in supported:
            continue
        if not _is_default(value, parameters[parameter].default):
            return f"{parameter}={value!r} runs in NetworkX"
    return None


def reason_to_decline(name, args, kwargs):
    """None when the backend runs `name` with these arguments, else why not."""
    if name not in FUNCTIONS:
        return f"{name} is not backed"
    try:
        bound = backed.signature(name).bind(*args, **kwargs)
    except TypeError as error:
        return f"arguments the backend does not take: {error}"
    G = bound.arguments.get("G")
    if reason := _deprecated(name) or _graph_kind(G) or _unsupported(name, bound):
        return reason
    rule = getattr(sys.modules[__name__], name, None)
    return None if rule is None else rule(*bound.args, **bound.kwargs)
