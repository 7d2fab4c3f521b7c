"""From a NetworkX graph to the four algorithms, each checked against NetworkX.

    python3 examples/from_networkx.py

NetworkX hands out its adjacency as a SciPy CSR matrix, whose arrays from_csr
reads straight from memory. Node i of the GPU graph is the i-th node of
`list(G)`.
"""

import networkx as nx
import numpy as np
import vorlan_cuda


def gpu_graph(graph: nx.Graph, device: vorlan_cuda.GpuDevice) -> vorlan_cuda.GpuGraph:
    adjacency = nx.to_scipy_sparse_array(graph, format="csr", weight=None, dtype=np.int8)
    adjacency.sort_indices()
    return vorlan_cuda.GpuGraph.from_csr(adjacency.indptr, adjacency.indices, device)


def check(name: str, agrees: bool) -> None:
    print(f"{name:<10} {'agrees with NetworkX' if agrees else 'DIFFERS from NetworkX'}")
    if not agrees:
        raise SystemExit(1)


def main() -> None:
    graph = nx.les_miserables_graph()
    graph.remove_edges_from(nx.selfloop_edges(graph))
    names = list(graph)
    device = vorlan_cuda.GpuDevice(0)
    gpu = gpu_graph(graph, device)
    print(
        f"{device.name}: Les Miserables, {gpu.num_nodes} characters, "
        f"{gpu.num_edges // 2} co-appearances"
    )

    check(
        "triangles",
        gpu.triangle_count()["total_triangles"] == sum(nx.triangles(graph).values()) // 3,
    )

    hops = nx.single_source_shortest_path_length(graph, names[0])
    distances = gpu.bfs(0)["distances"]
    check("bfs", all(distances[i] == hops.get(name, -1) for i, name in enumerate(names)))

    # The GPU graph has no edge weights; Les Miserables has, so leave them out.
    # Both are given the damping, rather than each relying on its own default.
    damping = 0.85
    expected = nx.pagerank(graph, alpha=damping, tol=1e-8, weight=None)
    ranks = gpu.pagerank(damping=damping, tolerance=1e-7)["ranks"]
    check("pagerank", all(abs(ranks[i] - expected[name]) < 1e-4 for i, name in enumerate(names)))

    truss = nx.k_truss(graph, 4)
    kept = {frozenset((names[u], names[v])) for u, v in gpu.k_truss(4)["edges"]}
    check("4-truss", kept == {frozenset(edge) for edge in truss.edges()})


if __name__ == "__main__":
    main()
