"""BFS trees and unweighted shortest paths on the GPU.

bfs_edges, bfs_tree, bfs_successors, bfs_predecessors and the single-source
paths come from the GPU's search tree (GpuGraph.bfs_tree): the nodes in the
order NetworkX's queue reaches them, each with the node it reaches it from.
predecessor, which wants every parent, and the source-target path, which
NetworkX finds from both ends, rebuild what they need on the host from the
GPU's hop distances, level by level (layers.discoveries). Every function here
yields or returns what NetworkX's own does, in its order; rules.py sends the
calls they cannot answer (a source not in G, sort_neighbors, reverse on a
directed graph, ...) to NetworkX.
"""

import math

import networkx as nx
import numpy as np

from nx_vorlan.in_lists import in_lists, reverse_gpu_graph
from nx_vorlan.layers import discoveries, scan


def distances_from(G, source):
    """Hop distances (int64, -1 where unreached) from node index `source`, and the depth.

    The last search is kept with the converted graph: has_path, predecessor
    and their like are often called one after another from one source.
    """
    last = G.__networkx_cache__.get("vorlan_last_bfs")
    if last is None or last[0] != source:
        result = G.gpu_graph().bfs(source)
        distances = np.array(result["distances"], dtype=np.int64)
        distances.flags.writeable = False
        last = (source, distances, result["max_depth"])
        G.__networkx_cache__["vorlan_last_bfs"] = last
    return last[1], last[2]


def levels_for(limit, num_nodes):
    """The levels NetworkX expands while `limit > level`, or None where that
    is every level a graph of `num_nodes` nodes can have."""
    if limit is None or limit >= num_nodes:
        return None
    return math.ceil(limit) if limit > 0 else 0


class _Tree:
    """A search tree from the GPU: `order` (node indices in NetworkX's queue
    order, source first) and `parents` (per node, -1 for the source and the
    nodes not reached), over `levels` levels (None: all)."""

    __slots__ = ("source", "levels", "order", "parents", "depths")

    def __init__(self, G, source, levels):
        result = G.ordered_gpu_graph().bfs_tree(source, levels)
        self.source, self.levels = source, levels
        self.order = np.array(result["order"], dtype=np.int64)
        self.parents = np.array(result["parents"], dtype=np.int64)
        self.depths = np.array(result["depths"], dtype=np.int64)
        if levels is not None and result["max_depth"] < levels:
            self.levels = None  # the search ran out before the limit: it is complete

    def covers(self, source, levels):
        if source != self.source:
            return False
        return self.levels is None or (levels is not None and levels <= self.levels)

    def within(self, levels):
        """(order, parents of order) of the nodes at most `levels` deep."""
        order = self.order
        if levels is not None and levels != self.levels:
            order = order[: np.count_nonzero((self.depths >= 0) & (self.depths <= levels))]
        return order, self.parents[order]


def search_tree(G, source, limit):
    """The tree from node `source` (a label) over the levels NetworkX expands
    under `limit`: (order, parents), node indices, source first.

    The last search is kept with the converted graph: bfs_edges, bfs_tree and
    their like are often called one after another from one source; one that
    went deeper serves a shallower limit.
    """
    start = G.index[source]
    levels = levels_for(limit, len(G))
    tree = G.__networkx_cache__.get("vorlan_last_bfs_tree")
    if tree is None or not tree.covers(start, levels):
        tree = _Tree(G, start, levels)
        G.__networkx_cache__["vorlan_last_bfs_tree"] = tree
    return tree.within(levels)


def _labels(G, indices):
    return list(map(G.nodes.__getitem__, indices.tolist()))


def bfs_edges(G, source, reverse=False, depth_limit=None, sort_neighbors=None):
    # reverse matters only on directed graphs, which can_run keeps with NetworkX.
    order, parents = search_tree(G, source, depth_limit)
    yield from zip(_labels(G, parents[1:]), _labels(G, order[1:]))


def bfs_tree(G, source, reverse=False, depth_limit=None, sort_neighbors=None):
    T = nx.DiGraph()
    T.add_node(source)
    T.add_edges_from(bfs_edges(G, source, depth_limit=depth_limit))
    return T


def bfs_predecessors(G, source, depth_limit=None, sort_neighbors=None):
    for parent, child in bfs_edges(G, source, depth_limit=depth_limit):
        yield (child, parent)


def bfs_successors(G, source, depth_limit=None, sort_neighbors=None):
    # NetworkX's grouping, comparisons included, over the same edges.
    parent = source
    children = []
    for p, c in bfs_edges(G, source, depth_limit=depth_limit):
        if p == parent:
            children.append(c)
            continue
        yield (parent, children)
        children = [c]
        parent = p
    yield (parent, children)


def single_source_shortest_path(G, source, cutoff=None):
    order, parents = search_tree(G, source, cutoff)
    paths = {source: [source]}
    for parent, node in zip(_labels(G, parents[1:]), _labels(G, order[1:])):
        paths[node] = paths[parent] + [node]
    return paths


def last_level(limit, num_nodes, max_depth):
    """The deepest level NetworkX expands under `limit` in a search that
    reached `max_depth` levels."""
    levels = levels_for(limit, num_nodes)
    return max_depth if levels is None else min(levels, max_depth)


def _levels(G, source, limit):
    start = G.index[source]
    distances, max_depth = distances_from(G, start)
    last = last_level(limit, len(G), max_depth)
    return discoveries(G.offsets, G.targets, distances, start, last)


def predecessor(G, source, target=None, cutoff=None, return_seen=None):
    # NetworkX stops after level `cutoff` only when cutoff is true, and never
    # before level 1.
    limit = max(cutoff, 1) if cutoff else None
    pred = {source: []}
    seen = {source: 0}
    for level, step in enumerate(_levels(G, source, limit), start=1):
        for node in _labels(G, step.nodes):
            pred[node] = []
            seen[node] = level
        # Every node of the previous level that lists the node, in scan order.
        for owner, node in zip(_labels(G, step.owners), _labels(G, step.entries)):
            pred[node].append(owner)
    if target is None:
        return (pred, seen) if return_seen else pred
    if return_seen:
        return (pred[target], seen[target]) if target in pred else ([], -1)
    return pred[target] if target in pred else []


def has_path(G, source, target):
    distances, _ = distances_from(G, G.index[source])
    return bool(distances[G.index[target]] >= 0)


def shortest_path(G, source=None, target=None, weight=None, method="dijkstra"):
    if method not in ("dijkstra", "bellman-ford"):
        raise ValueError(f"method not supported: {method}")
    # can_run lets through only unweighted calls with a source.
    if target is None:
        return single_source_shortest_path(G, source)
    return _bidirectional_path(G, source, target)


class _Side:
    """One end of NetworkX's bidirectional search, from the GPU's distances
    along the lists it scans (out-lists forward; in-lists backward on a
    directed graph, the same lists on an undirected one)."""

    def __init__(self, offsets, targets, distances, node):
        self.offsets, self.targets, self.distances = offsets, targets, distances
        self.fringe = np.array([node], dtype=np.int64)
        self.level = 0  # the fringe's level; the side has seen levels 0 .. level
        self.parent = {node: None}

    def seen(self, nodes):
        return (self.distances[nodes] >= 0) & (self.distances[nodes] <= self.level)

    def expand(self, other):
        """Scans the fringe's lists; the (owner, node) where the other side's
        seen nodes are first met, or None after moving to the next level."""
        entries, owners = scan(self.offsets, self.targets, self.fringe)
        met = np.flatnonzero(other.seen(entries))
        if len(met):
            return int(owners[met[0]]), int(entries[met[0]])
        self.level += 1
        new = self.distances[entries] == self.level
        _, first = np.unique(entries[new], return_index=True)
        first.sort()
        nodes, parents = entries[new][first], owners[new][first]
        self.parent.update(zip(nodes.tolist(), parents.tolist()))
        self.fringe = nodes.astype(np.int64)
        return None

    def chain(self, node, owner):
        """node, its parent, ... up to this side's start (node may be newly met)."""
        out = [node]
        step = self.parent[node] if node in self.parent else owner
        while step is not None:
            out.append(step)
            step = self.parent[step]
        return out


def _backward_side(G, target):
    """The search from the target: along G.pred's lists on a directed graph,
    with the distances of a BFS on the reversed graph."""
    if not G.is_directed():
        return _Side(G.offsets, G.targets, distances_from(G, target)[0], target)
    offsets, sources = in_lists(G)
    result = reverse_gpu_graph(G).bfs(target)
    return _Side(offsets, sources, np.array(result["distances"], dtype=np.int64), target)


def _bidirectional_path(G, source, target):
    """nx.bidirectional_shortest_path, met where NetworkX's search meets."""
    if source == target:
        return [source]
    start = G.index[source]
    forward = _Side(G.offsets, G.targets, distances_from(G, start)[0], start)
    backward = _backward_side(G, G.index[target])
    while len(forward.fringe) and len(backward.fringe):
        if len(forward.fringe) <= len(backward.fringe):
            meeting = forward.expand(backward)
            if meeting is not None:
                owner, node = meeting
                indices = forward.chain(node, owner)[::-1] + backward.chain(node, None)[1:]
                return _labels(G, np.array(indices))
        else:
            meeting = backward.expand(forward)
            if meeting is not None:
                owner, node = meeting
                indices = forward.chain(node, None)[::-1] + backward.chain(node, owner)[1:]
                return _labels(G, np.array(indices))
    raise nx.NetworkXNoPath(f"No path between {source} and {target}.")
