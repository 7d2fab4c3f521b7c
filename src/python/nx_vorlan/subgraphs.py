"""G.subgraph(nodes).copy() of a converted graph, as NetworkX builds it.

The copy lists the kept nodes in the order the subgraph view iterates them
(induced_order), and meets each undirected edge first from whichever end
comes first in that order, walking each node's neighbours in G's order:
adding each kept edge there, in that sequence, gives every neighbour dict
the copy's order. Node, edge and graph attributes are copied as copy()
copies them (when the conversion kept them).
"""

import numpy as np


def induced_order(G, kept):
    """The order G.subgraph(...) iterates the nodes `kept` (ascending indices) in.

    NetworkX's view walks the set of kept nodes instead of G when that set is
    under half of G; the set, built in G's order like NetworkX's own, then
    iterates as NetworkX's does.
    """
    if 2 * len(kept) >= len(G):
        return kept
    nodes, index = G.nodes, G.index
    return np.array([index[v] for v in set(map(nodes.__getitem__, kept.tolist()))], dtype=np.int64)


def subgraph_copy(G, node_order, kept_entries):
    """node_order: the kept nodes' indices in the copy's order; kept_entries:
    per entry of G.targets, whether its edge stays (both ends kept)."""
    H = G.graph_class()
    H.graph.update(G.graph)
    nodes = G.nodes
    if G.node_data is None:
        H.add_nodes_from(map(nodes.__getitem__, node_order.tolist()))
    else:
        H.add_nodes_from((nodes[i], G.node_data[i].copy()) for i in node_order.tolist())
    rank = np.full(len(nodes), len(nodes), dtype=np.int64)
    rank[node_order] = np.arange(len(node_order))
    first = np.flatnonzero(kept_entries & (rank[G.rows] < rank[G.targets]))
    first = first[np.argsort(rank[G.rows[first]], kind="stable")]
    heads = map(nodes.__getitem__, G.rows[first].tolist())
    tails = map(nodes.__getitem__, G.targets[first].tolist())
    if G.edge_data is None:
        H.add_edges_from(zip(heads, tails))
    else:
        data = map(G.edge_data.__getitem__, first.tolist())
        H.add_edges_from(zip(heads, tails, (d.copy() for d in data)))
    return H
