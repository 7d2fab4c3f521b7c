"""vorlan_cuda demo: the four algorithms on a generated social-network-like graph.

Builds a deterministic R-MAT graph, uploads it to the GPU and runs triangle
counting, breadth-first search, PageRank and k-truss extraction on it, then
prints a short report. Runs on a real GPU, or on the software GPU where no
NVIDIA driver is installed (./dev demo arranges that).

    python3 examples/demo.py

The graph is the benchmark's own (vorlan_graphs, installed with vorlan_cuda):
Graph500's R-MAT at scale 10, a size bench/compare.py --quick and
bench/cost_model.py also run.
Its hubs make k-truss the slowest step on the software GPU.
"""

import time

import vorlan_cuda
import vorlan_graphs

SCALE = 10  # 1,024 nodes
EDGE_FACTOR = 16  # 16,384 edge draws: 21,004 stored edge entries once symmetrised


def describe_device(device):
    software = "software gpu" in device.name.lower()
    where = "the software GPU (PTX interpreted on the CPU)" if software else "a GPU"
    print(f"Running on {where}: {device.name}, {device.total_memory / 2**30:.1f} GiB")


def report(title, result, details):
    print(f"  {title:<16} {details}  ({result['time_seconds'] * 1000:.1f} ms)")


def main():
    started = time.perf_counter()
    made = vorlan_graphs.rmat(SCALE, EDGE_FACTOR)
    offsets, targets = made.offsets.tolist(), made.targets.tolist()
    device = vorlan_cuda.GpuDevice(0)
    describe_device(device)
    graph = vorlan_cuda.GpuGraph.from_csr(offsets, targets, device)
    degrees = [offsets[v + 1] - offsets[v] for v in range(graph.num_nodes)]
    hub = max(range(graph.num_nodes), key=degrees.__getitem__)
    print(
        f"Graph: R-MAT, {graph.num_nodes:,} nodes, {graph.num_edges:,} stored edges "
        f"({graph.num_edges // 2:,} undirected), largest degree {degrees[hub]:,} at node {hub}"
    )

    triangles = graph.triangle_count()
    report("triangles", triangles, f"{triangles['total_triangles']:,} triangles")

    bfs = graph.bfs(hub)
    report(
        "BFS", bfs, f"from node {hub}: {bfs['reachable']:,} nodes reached, depth {bfs['max_depth']}"
    )

    ranks = graph.pagerank()
    top = sorted(range(len(ranks["ranks"])), key=ranks["ranks"].__getitem__, reverse=True)[:3]
    state = "converged" if ranks["converged"] else "did not converge"
    report(
        "PageRank",
        ranks,
        f"{state} after {ranks['iterations']} iterations; top nodes "
        + ", ".join(f"{v} ({ranks['ranks'][v]:.5f})" for v in top),
    )

    for k in (3, 4):
        truss = graph.k_truss(k)
        report(
            f"{k}-truss",
            truss,
            f"{len(truss['edges']):,} edges remain after {truss['iterations']} rounds",
        )

    print(f"Done in {time.perf_counter() - started:.1f} s.")


if __name__ == "__main__":
    main()
