"""The undirected CSR every generator and reader hands back."""

from dataclasses import dataclass, field

import numpy as np


@dataclass
class Graph:
    """A CSR graph and where it came from: `family` groups the graphs whose
    cost growth is fitted together, `label` names this one in reports.
    `labels`, where the graph was read from a file, holds each node's label
    in the file (node i is labels[i])."""

    family: str
    label: str
    offsets: np.ndarray  # int64, num_nodes + 1
    targets: np.ndarray  # int64, num_edges
    labels: np.ndarray | None = None
    _degrees: np.ndarray | None = field(default=None, repr=False)

    @property
    def num_nodes(self) -> int:
        return len(self.offsets) - 1

    @property
    def num_edges(self) -> int:
        """Stored CSR entries: twice the undirected edges."""
        return len(self.targets)

    @property
    def degrees(self) -> np.ndarray:
        if self._degrees is None:
            self._degrees = np.diff(self.offsets)
        return self._degrees

    def hub(self) -> int:
        """The node of highest degree (the lowest such id): every system's BFS source."""
        return int(np.argmax(self.degrees)) if self.num_nodes else 0

    def dangling_nodes(self) -> int:
        """Nodes without out-edges: PageRank implementations differ on their rank."""
        return int(np.count_nonzero(self.degrees == 0))

    def upper_edges(self) -> tuple[np.ndarray, np.ndarray]:
        """Each undirected edge once, as (u, v) arrays with u < v."""
        rows = np.repeat(np.arange(self.num_nodes, dtype=np.int64), self.degrees)
        keep = rows < self.targets
        return rows[keep], self.targets[keep]

    def summary(self) -> dict:
        return {
            "family": self.family,
            "label": self.label,
            "num_nodes": self.num_nodes,
            "num_edges": self.num_edges,
            "dangling_nodes": self.dangling_nodes(),
            "max_degree": int(self.degrees.max()) if self.num_nodes else 0,
        }


def symmetric_csr_arrays(
    num_nodes: int, sources: np.ndarray, targets: np.ndarray
) -> tuple[np.ndarray, np.ndarray]:
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


def from_edges(family, label, num_nodes, sources, targets, labels=None) -> Graph:
    """The Graph of the undirected simple graph on the given edges."""
    offsets, columns = symmetric_csr_arrays(
        num_nodes, np.asarray(sources, dtype=np.int64), np.asarray(targets, dtype=np.int64)
    )
    return Graph(family, label, offsets, columns, labels)
