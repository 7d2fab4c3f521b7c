"""k-truss on the GPU, handed back as the NetworkX graph NetworkX would build.

NetworkX copies G and then deletes, round by round, the edges in fewer than
k - 2 triangles and the nodes left without edges. The GPU finds the surviving
edges; the host then builds the copy with only those (subgraph_copy), in the
order and with the attribute copies that G.copy() followed by the deletions
leaves.
"""

import math

import networkx as nx
import numpy as np

from nx_vorlan.graph import U32_MAX
from nx_vorlan.subgraphs import subgraph_copy

_SELF_LOOP_MESSAGE = (
    "Input graph has self loops which is not permitted; "
    "Consider using G.remove_edges_from(nx.selfloop_edges(G))."
)


def _engine_k(k):
    """The integer k the GPU peels with, or None when no edge can fall.

    An edge falls when its support s < k - 2; supports are integers, so that is
    s < ceil(k) - 2.
    """
    if math.isnan(k) or k == -math.inf:
        return None
    if k == math.inf:
        return U32_MAX
    k = math.ceil(k)
    return None if k <= 2 else min(k, U32_MAX)


def _surviving_entries(G, k):
    """Per entry of G.targets: whether its edge is in the k-truss."""
    engine_k = _engine_k(k)
    if engine_k is None:
        return np.ones(len(G.targets), dtype=bool)
    edges = G.gpu_graph().k_truss(engine_k)["edges"]
    if not edges:
        return np.zeros(len(G.targets), dtype=bool)
    pairs = np.array(edges, dtype=np.uint64)
    kept = np.sort((pairs[:, 0] << np.uint64(32)) | pairs[:, 1])
    rows = G.rows.astype(np.uint64)
    cols = G.targets.astype(np.uint64)
    keys = (np.minimum(rows, cols) << np.uint64(32)) | np.maximum(rows, cols)
    found = np.searchsorted(kept, keys)
    found[found == len(kept)] = 0
    return kept[found] == keys


def k_truss(G, k):
    if G.has_self_loops:
        raise nx.NetworkXNotImplemented(_SELF_LOOP_MESSAGE)
    alive = _surviving_entries(G, k)
    # NetworkX drops the nodes left without edges.
    kept_nodes = np.flatnonzero(np.bincount(G.rows[alive], minlength=len(G.nodes)))
    return subgraph_copy(G, kept_nodes, alive)
