"""Triangles at each node, clustering and transitivity from the GPU's counts.

The GPU counts the triangles each node lies on (GpuGraph.triangles_per_node)
on the canonical graph: lists sorted, no self-loops, which NetworkX ignores
here as well. The counts are kept with the converted graph, so that
triangles, clustering, average_clustering and transitivity on one graph cost
one GPU run. NetworkX's t for a node is twice its triangles and its degree d
leaves out self-loops; clustering is t / (d (d - 1)), which float64 divides
exactly as Python divides the two ints for any graph of fewer than 2**32
entries (both are below 2**53).
"""

import numpy as np

from nx_vorlan.checks import cached


def node_triangles(G):
    """Per node index, the triangles it lies on (uint64)."""

    def compute(G):
        counts = G.gpu_graph().triangles_per_node()["triangles"]
        return np.array(counts, dtype=np.uint64)

    return cached(G, "node_triangles", compute)


def _chosen(G, nodes):
    """Node indices in the order NetworkX's nbunch_iter gives (can_run checked `nodes`)."""
    if nodes is None:
        return None
    index = G.index
    if nodes in G:
        return [index[nodes]]
    return [index[v] for v in nodes if v in index]


def triangles(G, nodes=None):
    counts = node_triangles(G)
    if nodes is not None and nodes in G:
        return int(counts[G.index[nodes]])
    chosen = _chosen(G, nodes)
    if chosen is None:
        return dict(zip(G.nodes, counts.tolist()))
    return {G.nodes[i]: int(counts[i]) for i in chosen}


def _coefficients(G, indices):
    twice = 2 * node_triangles(G)[indices]
    degrees = G.loop_free_degrees[indices].astype(np.float64)
    with np.errstate(divide="ignore", invalid="ignore"):
        ratios = twice.astype(np.float64) / (degrees * (degrees - 1))
    # NetworkX gives the int 0 where a node has no triangle.
    return [0 if t == 0 else r for t, r in zip(twice.tolist(), ratios.tolist())]


def clustering(G, nodes=None, weight=None):
    chosen = _chosen(G, nodes)
    indices = np.arange(len(G)) if chosen is None else np.array(chosen, dtype=np.int64)
    names = G.nodes if chosen is None else [G.nodes[i] for i in chosen]
    clusterc = dict(zip(names, _coefficients(G, indices)))
    if nodes in G:
        return clusterc[nodes]
    return clusterc


def average_clustering(G, nodes=None, weight=None, count_zeros=True):
    # NetworkX's own steps, so that the sum runs over the same floats in the same order.
    c = clustering(G, nodes).values()
    if not count_zeros:
        c = [v for v in c if abs(v) > 0]
    return sum(c) / len(c)


def transitivity(G):
    if len(G) == 0:
        return 0
    twice = int(2 * node_triangles(G).sum(dtype=np.uint64))
    if twice == 0:
        return 0
    degrees = G.loop_free_degrees.astype(np.uint64)
    # uint64 holds the sum for any graph of fewer than 2**32 entries.
    contributions = int(np.dot(degrees, degrees - np.uint64(1)))
    return twice / contributions
