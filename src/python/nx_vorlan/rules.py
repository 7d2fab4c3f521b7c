"""can_run: which calls the GPU answers exactly as NetworkX would.

Each rule gets the call's arguments bound to the function's parameters and
returns None to accept, or the reason the call stays with NetworkX. Rules
read the NetworkX graph the caller passed (before any conversion), so they
must not consume iterators or convert anything.
"""

import collections.abc
import math
import numbers

import networkx as nx
import numpy as np

from nx_vorlan.checks import has_isolated_nodes, uniform_weight
from nx_vorlan.graph import VorlanGraph

# Below this L1 change a float32 power iteration may never get: the sum of
# the last-bit noise in N ranks that add up to 1 is a few float32 epsilons.
PAGERANK_MIN_L1_TOLERANCE = 1e-5
# Above this damping float32 round-off, amplified by 1 / (1 - alpha), could
# exceed the 1e-6 per node the backend promises.
PAGERANK_MAX_ALPHA = 0.95


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
    return _undirected(G)


def pagerank(G, alpha=0.85, personalization=None, max_iter=100, tol=1.0e-6, nstart=None,
             weight="weight", dangling=None):
    if G.is_directed():
        return "the GPU's PageRank pulls along a node's own list: undirected graphs only"
    if G.is_multigraph():
        return "parallel edges weigh more in NetworkX"
    if personalization is not None or nstart is not None or dangling is not None:
        return "personalization, nstart and dangling run in NetworkX"
    for reason in (_real(alpha, "alpha"), _real(tol, "tol")):
        if reason:
            return reason
    if not isinstance(max_iter, numbers.Integral):
        return "max_iter is not an integer"
    if not 0 <= alpha <= PAGERANK_MAX_ALPHA:
        return f"alpha outside 0 .. {PAGERANK_MAX_ALPHA}: too sensitive to float32 round-off"
    if len(G) == 0:
        return None
    if not math.isfinite(tol) or len(G) * tol < PAGERANK_MIN_L1_TOLERANCE:
        return "len(G) * tol is below what a float32 iteration can resolve"
    if weight is not None and not _uniform(G, weight):
        return f"edge weights ({weight!r}) differ"
    if _isolated(G):
        return "isolated nodes: NetworkX spreads their rank, the GPU does not"
    return None


def _uniform(G, weight):
    if isinstance(G, VorlanGraph):
        return G.uniform_weights.get(weight, False)
    return uniform_weight(G, weight)


def _isolated(G):
    if isinstance(G, VorlanGraph):
        return bool((np.diff(G.offsets) == 0).any())
    return has_isolated_nodes(G)


RULES = {rule.__name__: rule for rule in (
    single_source_shortest_path_length, shortest_path_length, descendants_at_distance,
    bfs_layers, k_truss, transitivity, pagerank)}


def reason_to_decline(name, args, kwargs):
    """None when the backend runs `name` with these arguments, else why not."""
    import inspect

    rule = RULES.get(name)
    if rule is None:
        return f"{name} is not backed"
    try:
        bound = inspect.signature(rule).bind(*args, **kwargs)
    except TypeError as error:
        return f"arguments the backend does not take: {error}"
    G = bound.arguments.get("G")
    if reason := _graph_kind(G):
        return reason
    return rule(*bound.args, **bound.kwargs)
