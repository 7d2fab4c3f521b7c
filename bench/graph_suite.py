"""The graphs the comparison runs on, all made here without network access.

Every graph is undirected and stored the way vorlan_cuda expects it: both
directions of each edge, each node's list sorted ascending, no repeated
entries and no self-loops.
"""

import os
import sys
from dataclasses import dataclass, field

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples"))

from graphs import rmat_edges, symmetric_csr_arrays  # noqa: E402

# Graph500's R-MAT quadrant probabilities (a, b, c, d).
GRAPH500 = (0.57, 0.19, 0.19, 0.05)


@dataclass
class Graph:
    """A CSR graph and where it came from: `family` groups the graphs whose
    cost growth is fitted together, `label` names this one in reports."""

    family: str
    label: str
    offsets: np.ndarray  # int64, num_nodes + 1
    targets: np.ndarray  # int64, num_edges
    _degrees: np.ndarray | None = field(default=None, repr=False)

    @property
    def num_nodes(self):
        return len(self.offsets) - 1

    @property
    def num_edges(self):
        """Stored CSR entries: twice the undirected edges."""
        return len(self.targets)

    @property
    def degrees(self):
        if self._degrees is None:
            self._degrees = np.diff(self.offsets)
        return self._degrees

    def hub(self):
        """The node of highest degree (the lowest such id): every system's BFS source."""
        return int(np.argmax(self.degrees)) if self.num_nodes else 0

    def dangling_nodes(self):
        """Nodes without out-edges: PageRank implementations differ on their rank."""
        return int(np.count_nonzero(self.degrees == 0))

    def upper_edges(self):
        """Each undirected edge once, as (u, v) arrays with u < v."""
        rows = np.repeat(np.arange(self.num_nodes, dtype=np.int64), self.degrees)
        keep = rows < self.targets
        return rows[keep], self.targets[keep]

    def summary(self):
        return {"family": self.family, "label": self.label, "num_nodes": self.num_nodes,
                "num_edges": self.num_edges, "dangling_nodes": self.dangling_nodes(),
                "max_degree": int(self.degrees.max()) if self.num_nodes else 0}


def _from_edges(family, label, num_nodes, sources, targets):
    offsets, columns = symmetric_csr_arrays(num_nodes, np.asarray(sources, dtype=np.int64),
                                            np.asarray(targets, dtype=np.int64))
    return Graph(family, label, offsets, columns)


def rmat_draws(scale, edge_factor=16, seed=1):
    """edge_factor * 2**scale directed R-MAT draws with Graph500 parameters."""
    return rmat_edges(scale, edge_factor << scale, seed, GRAPH500)


def rmat(scale, edge_factor=16, seed=1):
    """R-MAT with Graph500 parameters: 2**scale nodes, edge_factor * 2**scale
    edge draws (fewer edges remain once repeats and self-loops go)."""
    sources, targets = rmat_draws(scale, edge_factor, seed)
    return _from_edges("rmat", f"R-MAT scale {scale}", 1 << scale, sources, targets)


def uniform(scale, edge_factor=16, seed=1):
    """Uniform random (Erdos-Renyi style) graph of the same node count and
    edge draws as rmat(scale, edge_factor)."""
    rng = np.random.default_rng(seed)
    draws = edge_factor << scale
    sources = rng.integers(0, 1 << scale, draws, dtype=np.int64)
    targets = rng.integers(0, 1 << scale, draws, dtype=np.int64)
    return _from_edges("uniform", f"uniform scale {scale}", 1 << scale, sources, targets)


def grid(scale):
    """A 2-D grid of about 2**scale nodes (side 2**(scale // 2) by the rest):
    degree at most 4 and a diameter in the thousands, like a road network."""
    rows = 1 << (scale // 2)
    columns = 1 << (scale - scale // 2)
    ids = np.arange(rows * columns, dtype=np.int64).reshape(rows, columns)
    sources = np.concatenate([ids[:, :-1].ravel(), ids[:-1, :].ravel()])
    targets = np.concatenate([ids[:, 1:].ravel(), ids[1:, :].ravel()])
    return _from_edges("grid", f"grid {rows}x{columns}", rows * columns, sources, targets)


def edge_list(path):
    """An undirected graph from a text file of 'u v' lines ('#' and '%' start
    comments; further columns such as weights are ignored). Node ids may be
    any integers; they are renumbered 0..n-1 in ascending order."""
    pairs = np.loadtxt(path, dtype=np.int64, comments=("#", "%"), usecols=(0, 1), ndmin=2)
    ids, renumbered = np.unique(pairs.ravel(), return_inverse=True)
    renumbered = renumbered.reshape(-1, 2)
    name = os.path.basename(path)
    return _from_edges(f"file:{name}", name, len(ids), renumbered[:, 0], renumbered[:, 1])


def edge_list_from_pairs(pairs, num_nodes=None):
    """An undirected graph on nodes 0..num_nodes-1 (default: the largest id
    plus one) from (u, v) pairs."""
    pairs = np.asarray(pairs, dtype=np.int64).reshape(-1, 2)
    if num_nodes is None:
        num_nodes = int(pairs.max()) + 1 if len(pairs) else 0
    return _from_edges("pairs", f"{len(pairs)} pairs", num_nodes, pairs[:, 0], pairs[:, 1])


FAMILIES = ("rmat", "uniform", "grid")


def make(family, scale, edge_factor=16):
    """One graph of a generated family at the given scale."""
    if family == "grid":
        return grid(scale)
    return {"rmat": rmat, "uniform": uniform}[family](scale, edge_factor)
