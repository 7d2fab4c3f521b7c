"""Core numbers on the GPU, and the k-core, k-shell and k-crust they select.

The GPU peels the canonical graph (can_run keeps graphs with self-loops,
directed graphs and multigraphs with NetworkX). The subgraphs are
G.subgraph(nodes).copy() of the nodes NetworkX's filters keep, built as
NetworkX builds them (subgraph_copy). The core numbers are kept with the
converted graph, so that several calls on one graph cost one GPU run.
"""

import numpy as np

from nx_vorlan.checks import cached
from nx_vorlan.subgraphs import induced_order, subgraph_copy


def node_cores(G):
    """Per node index, its core number (int64)."""

    def compute(G):
        return np.array(G.gpu_graph().core_number()["core"], dtype=np.int64)

    return cached(G, "node_cores", compute)


def core_number(G):
    return dict(zip(G.nodes, node_cores(G).tolist()))


def _subgraph(G, keep):
    order = induced_order(G, np.flatnonzero(keep))
    return subgraph_copy(G, order, keep[G.rows] & keep[G.targets])


def k_core(G, k=None, core_number=None):
    core = node_cores(G)
    if k is None:
        k = max(core.tolist())
    return _subgraph(G, core >= k)


def k_shell(G, k=None, core_number=None):
    core = node_cores(G)
    if k is None:
        k = max(core.tolist())
    return _subgraph(G, core == k)


def k_crust(G, k=None, core_number=None):
    core = node_cores(G)
    if k is None:
        k = max(core.tolist()) - 1
    return _subgraph(G, core <= k)
