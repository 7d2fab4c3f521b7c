"""Deterministic test graphs for the demo and the benchmarks."""

import numpy as np


def rmat_edges(scale, num_edges, seed=1, probabilities=(0.45, 0.15, 0.15, 0.25)):
    """num_edges directed R-MAT edges over 2**scale nodes, as two int64 arrays.

    Each edge picks one quadrant of the adjacency matrix per bit of the node
    ids, with the given probabilities for (top-left, top-right, bottom-left,
    bottom-right), which gives the skewed degrees of real networks.
    """
    rng = np.random.default_rng(seed)
    a, b, c, _ = probabilities
    sources = np.zeros(num_edges, dtype=np.int64)
    targets = np.zeros(num_edges, dtype=np.int64)
    for bit in range(scale):
        draw = rng.random(num_edges)
        right = (draw >= a) & (draw < a + b) | (draw >= a + b + c)
        down = draw >= a + b
        sources |= down.astype(np.int64) << bit
        targets |= right.astype(np.int64) << bit
    return sources, targets


def symmetric_csr(num_nodes, sources, targets):
    """CSR of the undirected simple graph on the given edges: both directions
    stored, lists sorted ascending, self-loops and duplicates removed."""
    offsets, columns = symmetric_csr_arrays(num_nodes, sources, targets)
    return offsets.tolist(), columns.tolist()


def symmetric_csr_arrays(num_nodes, sources, targets):
    """symmetric_csr as NumPy arrays: int64 offsets and int64 targets."""
    keep = sources != targets
    both_sources = np.concatenate([sources[keep], targets[keep]])
    both_targets = np.concatenate([targets[keep], sources[keep]])
    # Sorting and dropping repeats by hand: np.unique takes fifty times longer
    # on tens of millions of keys.
    pairs = np.sort(both_sources * num_nodes + both_targets)
    pairs = pairs[np.concatenate([[True], pairs[1:] != pairs[:-1]])] if len(pairs) else pairs
    rows, columns = np.divmod(pairs, num_nodes)
    offsets = np.zeros(num_nodes + 1, dtype=np.int64)
    offsets[1:] = np.cumsum(np.bincount(rows, minlength=num_nodes))
    return offsets, columns


def rmat_graph(scale, num_edges, seed=1):
    """A symmetric, sorted, duplicate-free R-MAT graph as (offsets, targets)."""
    sources, targets = rmat_edges(scale, num_edges, seed)
    return symmetric_csr(1 << scale, sources, targets)
