"""BFS layers in NetworkX's order, from the distances the GPU computed.

NetworkX's breadth-first search visits the nodes of one layer in order and
each node's neighbours in adjacency order, and appends a neighbour the first
time it sees it. The nodes it appends to layer L + 1 are exactly those at
distance L + 1, so their order is that of their first appearance in the
concatenated neighbour lists of layer L: no Python loop over edges needed.
"""

import numpy as np


def _neighbour_entries(offsets, targets, frontier):
    """targets of every node of `frontier`, lists concatenated in frontier order."""
    starts = offsets[frontier]
    lengths = offsets[frontier + 1] - starts
    total = int(lengths.sum())
    if total == 0:
        return targets[:0]
    ends = np.cumsum(lengths)
    shift = np.repeat(starts - (ends - lengths), lengths)
    return targets[shift + np.arange(total)]


def ordered_layers(offsets, targets, distances, source, last_level):
    """Layers 0 .. last_level (or until one is empty) as arrays of node indices."""
    frontier = np.array([source], dtype=np.int64)
    layers = [frontier]
    for level in range(1, last_level + 1):
        reached = _neighbour_entries(offsets, targets, frontier)
        reached = reached[distances[reached] == level]
        if len(reached) == 0:
            break
        _, first = np.unique(reached, return_index=True)
        frontier = reached[np.sort(first)].astype(np.int64)
        layers.append(frontier)
    return layers


class Discovery:
    """One BFS level as NetworkX's queue makes it.

    `entries` are the neighbour lists of the previous level concatenated in
    its order, filtered to the nodes of this level, and `owners` the node
    whose list each entry came from; `nodes` is the level in NetworkX's order
    (first appearances in `entries`) and `parents` the owner of each one's
    first appearance: the node NetworkX's search reached it from.
    """

    __slots__ = ("entries", "owners", "nodes", "parents")

    def __init__(self, entries, owners):
        self.entries, self.owners = entries, owners
        _, first = np.unique(entries, return_index=True)
        first.sort()
        self.nodes, self.parents = entries[first], owners[first]


def scan(offsets, targets, frontier):
    """Every entry of the lists of `frontier` in NetworkX's scan order, with its owner."""
    entries = _neighbour_entries(offsets, targets, frontier)
    owners = np.repeat(frontier, offsets[frontier + 1] - offsets[frontier])
    return entries, owners


def discoveries(offsets, targets, distances, source, last_level):
    """The Discovery of levels 1 .. last_level, until one is empty."""
    frontier = np.array([source], dtype=np.int64)
    for level in range(1, last_level + 1):
        entries, owners = scan(offsets, targets, frontier)
        found = distances[entries] == level
        if not found.any():
            return
        step = Discovery(entries[found], owners[found])
        yield step
        frontier = step.nodes.astype(np.int64)
