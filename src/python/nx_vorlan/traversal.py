"""Breadth-first search on the GPU: path lengths from one source, BFS layers.

The GPU gives every node's hop distance; the order NetworkX would report the
nodes in is rebuilt on the host from the distances (`layers`).
"""

import networkx as nx
import numpy as np

from nx_vorlan.layers import ordered_layers
from nx_vorlan.paths import last_level


def _search(G, source):
    """Distances (int64, -1 unreached) from `source` and the deepest level reached."""
    result = G.gpu_graph().bfs(G.index[source])
    return np.array(result["distances"], dtype=np.int64), result["max_depth"]


def _layers(G, source, last_level):
    distances, max_depth = _search(G, source)
    return ordered_layers(
        G.offsets, G.targets, distances, G.index[source], min(last_level, max_depth)
    )


def _labels(G, indices):
    return list(map(G.nodes.__getitem__, indices.tolist()))


def single_source_shortest_path_length(G, source, cutoff=None):
    if source not in G:
        raise nx.NodeNotFound(f"Source {source} is not in G")
    distances, max_depth = _search(G, source)
    # NetworkX expands level L into L + 1 while cutoff > L.
    last = last_level(cutoff, len(G), max_depth)
    layers = ordered_layers(G.offsets, G.targets, distances, G.index[source], last)
    order = np.concatenate(layers)
    levels = np.repeat(np.arange(len(layers)), [len(layer) for layer in layers])
    return dict(zip(_labels(G, order), levels.tolist()))


def shortest_path_length(G, source=None, target=None, weight=None, method="dijkstra"):
    if method not in ("dijkstra", "bellman-ford"):
        raise ValueError(f"method not supported: {method}")
    # can_run lets through only an unweighted call with a source and no target.
    return single_source_shortest_path_length(G, source)


def descendants_at_distance(G, source, distance):
    if source not in G:
        raise nx.NetworkXError(f"The node {source} is not in the graph.")
    distances, max_depth = _search(G, source)
    if distance in range(max_depth + 1):
        return set(_labels(G, np.flatnonzero(distances == distance)))
    return set()


def bfs_layers(G, sources):
    # The same steps, and so the same errors, as NetworkX's own generator.
    if sources in G:
        sources = [sources]
    current_layer = list(sources)
    set(sources)
    for source in current_layer:
        if source not in G:
            raise nx.NetworkXError(f"The node {source} is not in the graph.")
    if not current_layer:
        return
    # can_run sends several sources to NetworkX.
    for layer in _layers(G, current_layer[0], len(G)):
        yield _labels(G, layer)
