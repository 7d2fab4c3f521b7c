"""From an edge-list file, as the public graph collections publish them, to the
four algorithms.

    python3 examples/from_edge_list.py FILE [--source NODE]

FILE holds one edge per line, two integer node labels separated by
whitespace, with comment lines starting with '#' or '%' (the layouts of the
SNAP and Matrix Market collections; a .gz file is read as it is; further
columns such as weights are ignored). The labels need not be contiguous. The
edges are made undirected: the CSR holds both directions of every edge, each
row sorted, with no repeated entries and no self-loops.

vorlan_graphs (installed with vorlan_cuda) reads the file and checks every
line first: a malformed file, a missing --source node or a file that cannot
be read is refused in one line with exit status 2.
"""

import argparse
import sys
from typing import NoReturn

import numpy as np
import vorlan_cuda
import vorlan_graphs


class Parser(argparse.ArgumentParser):
    """argparse whose errors are one line, without the usage block."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message}\n")


def source_index(labels: np.ndarray, label: int | None) -> int | None:
    """The CSR node of the BFS source label (default: the smallest label),
    or None where no node has that label."""
    if label is None:
        return 0
    index = int(np.searchsorted(labels, label)) if -(2**63) <= label < 2**63 else len(labels)
    return index if index < len(labels) and labels[index] == label else None


def main(argv: list[str] | None = None) -> int:
    parser = Parser(description=__doc__.splitlines()[0])
    parser.add_argument("file")
    parser.add_argument("--source", type=int, help="BFS source label (default: the smallest label)")
    args = parser.parse_args(argv)
    try:
        made = vorlan_graphs.edge_list(args.file)
    except vorlan_graphs.EdgeListError as error:
        parser.error(str(error))
    labels = made.labels
    assert labels is not None  # a graph read from a file knows its labels
    source = source_index(labels, args.source)
    if source is None:
        parser.error(f"--source {args.source}: no such node in {args.file}")

    device = vorlan_cuda.GpuDevice(0)
    graph = vorlan_cuda.GpuGraph.from_csr(made.offsets, made.targets, device)
    print(f"{device.name}: {graph.num_nodes} nodes, {graph.num_edges // 2} undirected edges")

    print(f"triangles: {graph.triangle_count()['total_triangles']}")
    bfs = graph.bfs(source)
    print(f"bfs from {labels[source]}: {bfs['reachable']} reachable, depth {bfs['max_depth']}")
    ranks = graph.pagerank()["ranks"]
    best = int(np.argmax(ranks))
    print(f"pagerank: highest rank {ranks[best]:.6f} at node {labels[best]}")
    truss = graph.k_truss(3)
    print(f"3-truss: {len(truss['edges'])} undirected edges")
    return 0


if __name__ == "__main__":
    sys.exit(main())
