"""can_run: which calls the GPU answers exactly as NetworkX would.

Each rule gets the call's arguments bound to the function's parameters and
returns None to accept, or the reason the call stays with NetworkX. Rules
read the NetworkX graph the caller passed (before any conversion), so they
must not consume iterators or convert anything.
"""

import collections.abc
import functools
import inspect
import numbers

import networkx as nx
import numpy as np

from nx_vorlan import pagerank as _pagerank
from nx_vorlan.graph import VorlanGraph


def _graph_kind(G):
    if isinstance(G, VorlanGraph | nx.Graph):
        return None
    return f"the graph is a {type(G).__name__}, not a NetworkX or vorlan graph"


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
    if target is not None:
        return "a source-target length runs in NetworkX"
    if weight is not None:
        return "weighted lengths run in NetworkX"
    return None


def descendants_at_distance(G, source, distance):
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


RULES = {
    rule.__name__: rule
    for rule in (
        single_source_shortest_path_length,
        shortest_path_length,
        descendants_at_distance,
        bfs_layers,
        k_truss,
        transitivity,
        pagerank,
    )
}


@functools.cache
def _signature(rule):
    return inspect.signature(rule)


def reason_to_decline(name, args, kwargs):
    """None when the backend runs `name` with these arguments, else why not."""
    rule = RULES.get(name)
    if rule is None:
        return f"{name} is not backed"
    try:
        bound = _signature(rule).bind(*args, **kwargs)
    except TypeError as error:
        return f"arguments the backend does not take: {error}"
    G = bound.arguments.get("G")
    if reason := _graph_kind(G):
        return reason
    return rule(*bound.args, **bound.kwargs)
