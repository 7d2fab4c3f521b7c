"""Generated graphs: Graph500's R-MAT, uniform random graphs and 2-D grids.

The draws are part of the contract: the benchmark's committed cost counts
were made on exactly these graphs, so any change to the order of the random
numbers changes every graph they describe.
"""

import numpy as np

from vorlan_graphs.csr import Graph, from_edges

# Graph500's R-MAT quadrant probabilities (a, b, c, d).
GRAPH500 = (0.57, 0.19, 0.19, 0.05)

FAMILIES = ("rmat", "uniform", "grid")


def rmat_edges(scale: int, num_edges: int, seed: int = 1) -> tuple[np.ndarray, np.ndarray]:
    """num_edges directed R-MAT edges over 2**scale nodes with Graph500's
    quadrant probabilities, as two int64 arrays (self-loops and repeats
    included).

    Each edge picks one quadrant of the adjacency matrix per bit of the node
    ids, which gives the skewed degrees of real networks.
    """
    rng = np.random.default_rng(seed)
    a, b, c, _ = GRAPH500
    sources = np.zeros(num_edges, dtype=np.int64)
    targets = np.zeros(num_edges, dtype=np.int64)
    for bit in range(scale):
        draw = rng.random(num_edges)
        right = (draw >= a) & (draw < a + b) | (draw >= a + b + c)
        down = draw >= a + b
        sources |= down.astype(np.int64) << bit
        targets |= right.astype(np.int64) << bit
    return sources, targets


def rmat_draws(scale: int, edge_factor: int = 16, seed: int = 1) -> tuple[np.ndarray, np.ndarray]:
    """edge_factor * 2**scale directed R-MAT draws with Graph500 parameters."""
    return rmat_edges(scale, edge_factor << scale, seed)


def rmat(scale: int, edge_factor: int = 16, seed: int = 1) -> Graph:
    """R-MAT with Graph500 parameters: 2**scale nodes, edge_factor * 2**scale
    edge draws (fewer edges remain once repeats and self-loops go)."""
    sources, targets = rmat_draws(scale, edge_factor, seed)
    return from_edges("rmat", f"R-MAT scale {scale}", 1 << scale, sources, targets)


def uniform(scale: int, edge_factor: int = 16, seed: int = 1) -> Graph:
    """Uniform random (Erdos-Renyi style) graph of the same node count and
    edge draws as rmat(scale, edge_factor)."""
    rng = np.random.default_rng(seed)
    draws = edge_factor << scale
    sources = rng.integers(0, 1 << scale, draws, dtype=np.int64)
    targets = rng.integers(0, 1 << scale, draws, dtype=np.int64)
    return from_edges("uniform", f"uniform scale {scale}", 1 << scale, sources, targets)


def grid(scale: int) -> Graph:
    """A 2-D grid of about 2**scale nodes (side 2**(scale // 2) by the rest):
    degree at most 4 and a diameter in the thousands, like a road network."""
    rows = 1 << (scale // 2)
    columns = 1 << (scale - scale // 2)
    ids = np.arange(rows * columns, dtype=np.int64).reshape(rows, columns)
    sources = np.concatenate([ids[:, :-1].ravel(), ids[:-1, :].ravel()])
    targets = np.concatenate([ids[:, 1:].ravel(), ids[1:, :].ravel()])
    return from_edges("grid", f"grid {rows}x{columns}", rows * columns, sources, targets)


def make(family: str, scale: int, edge_factor: int = 16) -> Graph:
    """One graph of a generated family (one of FAMILIES) at the given scale."""
    if family == "grid":
        return grid(scale)
    return {"rmat": rmat, "uniform": uniform}[family](scale, edge_factor)
