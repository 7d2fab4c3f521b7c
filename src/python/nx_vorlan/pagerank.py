"""PageRank on the GPU, made to stop and answer where NetworkX does.

NetworkX hands the rank of nodes without out-edges to every node; the GPU
kernel does not. On a graph where every node has an edge (undirected, so
out-edges are edges) nothing is dangling, the two iterations are the same
map, and the L1 change NetworkX stops on (below N x tol) is the one the GPU
measures, so tolerance = N x tol stops both on the same iteration. can_run
keeps every other graph with NetworkX.
"""

import networkx as nx
import numpy as np

from nx_vorlan.graph import U32_MAX


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
    N = len(G)
    if N == 0:
        return {}
    if personalization is not None or nstart is not None or dangling is not None:
        raise NotImplementedError("the vorlan backend runs PageRank with a uniform teleport")
    if weight is not None and not G.uniform_weights.get(weight, False):
        raise NotImplementedError("the vorlan backend runs PageRank with equal edge weights")
    if max_iter <= 0:
        raise nx.PowerIterationFailedConvergence(max_iter)
    result = G.gpu_graph(self_loops=True).pagerank(
        damping=alpha, max_iterations=min(max_iter, U32_MAX), tolerance=N * tol
    )
    if not result["converged"]:
        raise nx.PowerIterationFailedConvergence(max_iter)
    ranks = np.array(result["ranks"], dtype=np.float64)
    ranks /= ranks.sum()
    return dict(zip(G.nodes, ranks.tolist()))
