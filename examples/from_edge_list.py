"""From an edge-list file, as the public graph collections publish them, to the
four algorithms.

    python3 examples/from_edge_list.py FILE [--source NODE]

FILE holds one edge per line, two node labels separated by whitespace, with
comment lines starting with '#' (the layout of the SNAP collection; a .gz file
is read as it is). The labels need not be contiguous. The edges are made
undirected: the CSR holds both directions of every edge, each row sorted, with
no repeated entries and no self-loops. Everything is vectorised NumPy, so a
file of millions of edges loads in seconds.
"""

import argparse

import numpy as np
import numpy.typing as npt

import vorlan_cuda


def read_edges(path: str) -> npt.NDArray[np.int64]:
    """The (label, label) pairs of the file, one row per edge."""
    return np.loadtxt(path, comments="#", dtype=np.int64, usecols=(0, 1), ndmin=2)


def undirected_csr(pairs: npt.NDArray[np.int64]) -> tuple[
        npt.NDArray[np.uint32], npt.NDArray[np.uint32], npt.NDArray[np.int64]]:
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


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("file")
    parser.add_argument("--source", type=int, help="BFS source label (default: the first node)")
    args = parser.parse_args()

    offsets, targets, labels = undirected_csr(read_edges(args.file))
    device = vorlan_cuda.GpuDevice(0)
    graph = vorlan_cuda.GpuGraph.from_csr(offsets, targets, device)
    print(f"{device.name}: {graph.num_nodes} nodes, {graph.num_edges // 2} undirected edges")

    print(f"triangles: {graph.triangle_count()['total_triangles']}")
    source = 0 if args.source is None else int(np.searchsorted(labels, args.source))
    if source >= len(labels) or (args.source is not None and labels[source] != args.source):
        raise SystemExit(f"node {args.source} is not in {args.file}")
    bfs = graph.bfs(source)
    print(f"bfs from {labels[source]}: {bfs['reachable']} reachable, depth {bfs['max_depth']}")
    ranks = graph.pagerank()["ranks"]
    best = int(np.argmax(ranks))
    print(f"pagerank: highest rank {ranks[best]:.6f} at node {labels[best]}")
    truss = graph.k_truss(3)
    print(f"3-truss: {len(truss['edges']) // 2} undirected edges")


if __name__ == "__main__":
    main()
