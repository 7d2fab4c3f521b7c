"""From a SciPy sparse matrix to the four algorithms.

    python3 examples/from_scipy.py [--nodes 2000] [--edges 10000] [--seed 1]

A symmetric CSR matrix hands its `indptr` and `indices` to from_csr as they
are: NumPy integer arrays are copied straight from their memory, with no
Python object per element. The breadth-first distances are checked against
scipy.sparse.csgraph and the triangle total against the matrix's own algebra.
"""

import argparse

import numpy as np
import scipy.sparse as sp
import vorlan_cuda
from scipy.sparse import csgraph


def random_undirected(nodes: int, edges: int, seed: int) -> sp.csr_array:
    """A random simple undirected graph as a symmetric 0/1 CSR matrix with
    sorted column indices, no self-loops and no repeated entries."""
    rng = np.random.default_rng(seed)
    rows = rng.integers(0, nodes, edges)
    cols = rng.integers(0, nodes, edges)
    keep = rows != cols
    ones = np.ones(int(keep.sum()), dtype=np.int8)
    upper = sp.coo_array((ones, (rows[keep], cols[keep])), shape=(nodes, nodes)).tocsr()
    matrix = (upper + upper.T).tocsr()
    matrix.data[:] = 1  # repeated draws summed up; the graph is unweighted
    matrix.sort_indices()
    return matrix


def triangles_by_algebra(matrix: sp.csr_array) -> int:
    # Summing A^2 over the edges counts each triangle six times, as trace(A^3).
    squared = matrix @ matrix
    return int(squared.multiply(matrix).sum()) // 6


def check_bfs(matrix: sp.csr_array, distances: list[int]) -> None:
    expected = csgraph.shortest_path(matrix, method="D", unweighted=True, indices=0)
    expected = np.where(np.isinf(expected), -1, expected).astype(np.int64)
    if not np.array_equal(expected, np.asarray(distances, dtype=np.int64)):
        raise SystemExit("BFS distances differ from scipy.sparse.csgraph")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--nodes", type=int, default=2000)
    parser.add_argument("--edges", type=int, default=10_000)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()

    matrix = random_undirected(args.nodes, args.edges, args.seed)
    device = vorlan_cuda.GpuDevice(0)
    graph = vorlan_cuda.GpuGraph.from_csr(matrix.indptr, matrix.indices, device)
    print(f"{device.name}: {graph.num_nodes} nodes, {graph.num_edges} edge entries")

    triangles = graph.triangle_count()["total_triangles"]
    if triangles != triangles_by_algebra(matrix):
        raise SystemExit("triangle total differs from the matrix algebra")
    print(f"triangles: {triangles}")

    bfs = graph.bfs(0)
    check_bfs(matrix, bfs["distances"])
    print(
        f"bfs from 0: {bfs['reachable']} reachable, depth {bfs['max_depth']} "
        "(matches scipy.sparse.csgraph)"
    )

    pagerank = graph.pagerank()
    top = np.argsort(pagerank["ranks"])[::-1][:3]
    print(f"pagerank: {pagerank['iterations']} iterations, top nodes {top.tolist()}")

    truss = graph.k_truss(3)
    print(f"3-truss: {len(truss['edges'])} edge entries after {truss['iterations']} rounds")


if __name__ == "__main__":
    main()
