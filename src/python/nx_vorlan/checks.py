"""Facts about a NetworkX graph that decide whether the GPU may answer.

Each costs a pass over the graph, so the answer is kept in the graph's
`__networkx_cache__`, which NetworkX empties whenever the graph is changed
through its methods (the same rule that keeps its cached conversions valid).
"""

import itertools
import math
import numbers
import operator

import numpy as np

_CACHE_KEY = "vorlan"


def cached(G, key, compute):
    cache = getattr(G, "__networkx_cache__", None)
    if cache is None:
        return compute(G)
    facts = cache.setdefault(_CACHE_KEY, {})
    if key not in facts:
        facts[key] = compute(G)
    return facts[key]


def uniform_weight(G, attr, default=1):
    """Whether every edge has the same finite, non-zero `attr` (`default` where missing).

    Scaling every weight by one factor leaves PageRank's transition matrix as
    it is; a zero would make every node dangling.
    """

    def compute(G):
        get = operator.methodcaller("get", attr, default)
        data = itertools.chain.from_iterable(nbrs.values() for nbrs in G.adj.values())
        if G.is_multigraph():
            data = itertools.chain.from_iterable(keys.values() for keys in data)
        try:
            values = set(map(get, data))
        except TypeError:  # an unhashable weight
            return False
        if len(values) > 1:
            return False
        value = next(iter(values), default)
        return isinstance(value, numbers.Real) and math.isfinite(value) and value != 0

    return cached(G, ("uniform_weight", attr, default), compute)


class DegreeProfile:
    """What PageRank's float32 accuracy depends on, from the adjacency list lengths."""

    __slots__ = ("isolated", "total", "sum_squares", "max_square")

    def __init__(self, degrees):
        degrees = degrees.astype(np.float64)
        self.isolated = bool(len(degrees)) and degrees.min() == 0
        self.total = float(degrees.sum())
        self.sum_squares = float(np.dot(degrees, degrees))
        self.max_square = float(degrees.max()) ** 2 if len(degrees) else 0.0


def degree_profile(G):
    """The DegreeProfile of a NetworkX graph or of a converted one (which has CSR offsets)."""

    def compute(G):
        offsets = getattr(G, "offsets", None)
        if offsets is not None:
            return DegreeProfile(np.diff(offsets))
        adj = G.adj
        return DegreeProfile(np.fromiter(map(len, adj.values()), dtype=np.int64, count=len(adj)))

    return cached(G, "degree_profile", compute)
