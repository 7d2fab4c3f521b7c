"""From an edge-list file, as the public graph collections publish them, to the
four algorithms.

    python3 -m examples.from_edge_list FILE [--source NODE]   (from the repository root)

FILE holds one edge per line, two integer node labels separated by
whitespace, with comment lines starting with '#' or '%' (the layouts of the
SNAP and Matrix Market collections; a .gz file is read as it is; further
columns such as weights are ignored). The labels need not be contiguous. The
edges are made undirected: the CSR holds both directions of every edge, each
row sorted, with no repeated entries and no self-loops.

The file is read by the benchmark's reader (bench/graph_suite.py), which
checks every line first: a malformed file, a missing --source node or a file
that cannot be read is refused in one line with exit status 2.
"""

import sys

import numpy as np
import numpy.typing as npt
import vorlan_cuda

from bench import cli, graph_suite


def read_edges(path: str) -> npt.NDArray[np.int64]:
    """The (label, label) pairs of the file, one row per edge."""
    try:
        return graph_suite.read_edge_pairs(path)
    except graph_suite.EdgeListError as error:
        raise cli.ToolError(str(error)) from None


def undirected_csr(
    pairs: npt.NDArray[np.int64],
) -> tuple[npt.NDArray[np.uint32], npt.NDArray[np.uint32], npt.NDArray[np.int64]]:
    """(offsets, targets, labels): node i of the CSR is labels[i]."""
    labels, nodes = np.unique(pairs, return_inverse=True)
    nodes = nodes.reshape(pairs.shape)
    count = len(labels)
    sources = np.concatenate([nodes[:, 0], nodes[:, 1]])
    targets = np.concatenate([nodes[:, 1], nodes[:, 0]])
    keep = sources != targets
    # One key per directed edge: sorting the unique keys sorts by source, then
    # by target, which is exactly CSR order.
    keys = np.unique(sources[keep] * count + targets[keep])
    degrees = np.bincount(keys // count, minlength=count)
    offsets = np.zeros(count + 1, dtype=np.uint32)
    np.cumsum(degrees, out=offsets[1:])
    return offsets, (keys % count).astype(np.uint32), labels


def source_index(labels: npt.NDArray[np.int64], label: int | None, path: str) -> int:
    """The CSR node of the BFS source label (default: the smallest label)."""
    if label is None:
        return 0
    index = int(np.searchsorted(labels, label)) if -(2**63) <= label < 2**63 else len(labels)
    if index >= len(labels) or labels[index] != label:
        raise cli.ToolError(f"--source {label}: no such node in {path}")
    return index


def main(argv: list[str] | None = None) -> int:
    parser = cli.Parser(description=__doc__.splitlines()[0])
    parser.add_argument("file")
    parser.add_argument("--source", type=int, help="BFS source label (default: the smallest label)")
    args = parser.parse_args(argv)

    offsets, targets, labels = undirected_csr(read_edges(args.file))
    source = source_index(labels, args.source, args.file)
    device = vorlan_cuda.GpuDevice(0)
    graph = vorlan_cuda.GpuGraph.from_csr(offsets, targets, device)
    print(f"{device.name}: {graph.num_nodes} nodes, {graph.num_edges // 2} undirected edges")

    print(f"triangles: {graph.triangle_count()['total_triangles']}")
    bfs = graph.bfs(source)
    print(f"bfs from {labels[source]}: {bfs['reachable']} reachable, depth {bfs['max_depth']}")
    ranks = graph.pagerank()["ranks"]
    best = int(np.argmax(ranks))
    print(f"pagerank: highest rank {ranks[best]:.6f} at node {labels[best]}")
    truss = graph.k_truss(3)
    print(f"3-truss: {len(truss['edges']) // 2} undirected edges")
    return 0


if __name__ == "__main__":
    sys.exit(cli.run(main))
