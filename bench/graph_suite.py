"""The graphs the comparison and the examples run on, all made here without
network access: Graph500's R-MAT, uniform random graphs, 2-D grids, and
edge-list files.

Every graph is undirected and stored the way vorlan_cuda expects it: both
directions of each edge, each node's list sorted ascending, no repeated
entries and no self-loops.

The bench scripts import this module as their neighbour (`import graph_suite`);
the examples, run from the repository root as `python3 -m examples.NAME`, as
`bench.graph_suite`. It needs nothing but NumPy, so it works either way.
"""

import gzip
import os
import re
from dataclasses import dataclass, field

import numpy as np

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
        return {
            "family": self.family,
            "label": self.label,
            "num_nodes": self.num_nodes,
            "num_edges": self.num_edges,
            "dangling_nodes": self.dangling_nodes(),
            "max_degree": int(self.degrees.max()) if self.num_nodes else 0,
        }


def _from_edges(family, label, num_nodes, sources, targets):
    offsets, columns = symmetric_csr_arrays(
        num_nodes, np.asarray(sources, dtype=np.int64), np.asarray(targets, dtype=np.int64)
    )
    return Graph(family, label, offsets, columns)


def rmat_edges(scale, num_edges, seed=1):
    """num_edges directed R-MAT edges over 2**scale nodes with Graph500's
    quadrant probabilities, as two int64 arrays.

    Each edge picks one quadrant of the adjacency matrix per bit of the node
    ids, which gives the skewed degrees of real networks. The cost model's
    committed counts (bench/cost_model.json) were made on these draws: any
    change to the order of the random numbers changes every graph.
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


def rmat_draws(scale, edge_factor=16, seed=1):
    """edge_factor * 2**scale directed R-MAT draws with Graph500 parameters."""
    return rmat_edges(scale, edge_factor << scale, seed)


def symmetric_csr_arrays(num_nodes, sources, targets):
    """(offsets, targets) as int64 arrays: the CSR of the undirected simple
    graph on the given edges, both directions stored, lists sorted
    ascending, self-loops and repeats removed."""
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


class EdgeListError(ValueError):
    """An edge-list file that cannot be read; the message is one line that
    names the file (and the line) and what is wrong."""


_INTEGER = re.compile(r"[+-]?[0-9]+")
_INT64_MAX = 2**63 - 1


def _edge_list_lines(path):
    """The file's text lines: gzip-compressed when the name ends in .gz,
    UTF-8 with or without a byte-order mark."""
    try:
        with (gzip.open if path.endswith(".gz") else open)(path, "rb") as source:
            raw = source.read()
    except IsADirectoryError:
        raise EdgeListError(f"{path}: is a directory, not an edge-list file") from None
    except FileNotFoundError:
        raise EdgeListError(f"{path}: no such file") from None
    except (OSError, EOFError) as error:
        raise EdgeListError(
            f"{path}: cannot be read ({getattr(error, 'strerror', None) or error})"
        ) from None
    try:
        return raw.decode("utf-8-sig").splitlines()
    except UnicodeDecodeError as error:
        raise EdgeListError(f"{path}: not UTF-8 text (byte {error.start})") from None


def _edge_label(path, number, token):
    if not _INTEGER.fullmatch(token):
        raise EdgeListError(f"{path}:{number}: {token!r} is not an integer node label")
    value = int(token)
    if not -_INT64_MAX - 1 <= value <= _INT64_MAX:
        raise EdgeListError(f"{path}:{number}: node label {token} does not fit in 64 bits")
    return value


def read_edge_pairs(path):
    """The (label, label) pairs of an edge-list file, one int64 row per edge.

    One edge per line: two integer node labels separated by whitespace; every
    line holds the same number of columns, and those after the second (such
    as weights) are ignored. Lines starting with '#' or '%' are comments.
    Anything else raises EdgeListError before any graph is built, so that a
    malformed file is refused in one line rather than deep inside NumPy.
    """
    labels, columns, first = [], None, None
    for number, line in enumerate(_edge_list_lines(path), start=1):
        tokens = line.split()
        if not tokens or tokens[0][0] in "#%":
            continue
        if len(tokens) < 2:
            raise EdgeListError(f"{path}:{number}: one column; an edge needs two node labels")
        if columns is None:
            columns, first = len(tokens), number
        elif len(tokens) != columns:
            raise EdgeListError(
                f"{path}:{number}: {len(tokens)} columns, but line {first} has {columns}"
            )
        labels.append(_edge_label(path, number, tokens[0]))
        labels.append(_edge_label(path, number, tokens[1]))
    if not labels:
        raise EdgeListError(f"{path}: no edges (only comments or blank lines)")
    return np.array(labels, dtype=np.int64).reshape(-1, 2)


def edge_list(path):
    """An undirected graph from an edge-list file (see read_edge_pairs).
    Node labels may be any 64-bit integers; they are renumbered 0..n-1 in
    ascending order."""
    pairs = read_edge_pairs(path)
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
