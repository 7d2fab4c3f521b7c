"""Times the node-parallel and the edge-parallel kernels on one graph, in one run.

    python3 bench/kernel_paths.py [--scale 14] [--k 3] [--repeat 1] [--json FILE]

Builds the R-MAT graph of bench/graph_suite.py (canonical: sorted,
duplicate-free, symmetric lists without self-loops, so the automatic choice
takes the edge-parallel kernels) and runs k_truss(k) and triangle_count()
through both paths: the kernels the graph's shape selects, and the
node-parallel ones a private hook forces; then pagerank (20 iterations,
tolerance 0) and bfs from the hub, whose default kernels spread the lists by
length (bfs takes bottom-up levels, the graph being known symmetric by then). Each is run --repeat times and the
best wall time is kept. The results of the two paths must be equal (edges,
order, iterations; triangle totals; ranks bit for bit; distances, depth and
reach); the run fails otherwise. The ratio is
node-parallel time over edge-parallel time; on the software GPU it measures
how much interpretation each path needs, on a real GPU the kernels' speed.
"""

import argparse
import json
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import graph_suite  # noqa: E402
import vorlan_cuda  # noqa: E402


def best_time(call, repeat):
    best, result = None, None
    for _ in range(repeat):
        start = time.perf_counter()
        result = call()
        elapsed = time.perf_counter() - start
        best = elapsed if best is None else min(best, elapsed)
    return best, result


def compare(name, edge_call, node_call, same, repeat):
    # The node kernels first, so that the edge path cannot profit from a
    # module the other loaded; each path loads its own modules anyway.
    node_seconds, node_result = best_time(node_call, repeat)
    edge_seconds, edge_result = best_time(edge_call, repeat)
    if not same(edge_result, node_result):
        sys.exit(f"{name}: the two paths disagree")
    return {
        "node_seconds": node_seconds,
        "edge_seconds": edge_seconds,
        "ratio": node_seconds / edge_seconds,
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=int, default=14)
    parser.add_argument("--k", type=int, default=3)
    parser.add_argument("--repeat", type=int, default=1)
    parser.add_argument("--json", help="also write the figures to this file")
    args = parser.parse_args()

    made = graph_suite.rmat(args.scale)
    device = vorlan_cuda.GpuDevice(0)
    graph = vorlan_cuda.GpuGraph.from_csr(made.offsets, made.targets, device)
    report = {"graph": made.summary(), "device": device.name, "k": args.k}

    def same_truss(a, b):
        return (a["edges"], a["iterations"], a["k"]) == (b["edges"], b["iterations"], b["k"])

    report["k_truss"] = compare(
        f"k_truss({args.k})",
        lambda: graph.k_truss(args.k),
        lambda: graph._node_kernels_k_truss(args.k),
        same_truss,
        args.repeat,
    )
    report["triangle_count"] = compare(
        "triangle_count",
        graph.triangle_count,
        graph._node_kernels_triangle_count,
        lambda a, b: a["total_triangles"] == b["total_triangles"],
        args.repeat,
    )

    report["pagerank"] = compare(
        "pagerank",
        lambda: graph.pagerank(max_iterations=20, tolerance=0.0),
        lambda: graph._node_kernels_pagerank(max_iterations=20, tolerance=0.0),
        lambda a, b: (a["ranks"], a["iterations"]) == (b["ranks"], b["iterations"]),
        args.repeat,
    )
    hub = made.hub()
    report["bfs"] = compare(
        "bfs",
        lambda: graph.bfs(hub),
        lambda: graph._node_kernels_bfs(hub),
        lambda a, b: {**a, "time_seconds": 0} == {**b, "time_seconds": 0},
        args.repeat,
    )

    print(f"{made.label}: {made.num_nodes} nodes, {made.num_edges} stored edges, on {device.name}")
    for name in ("k_truss", "triangle_count", "pagerank", "bfs"):
        figures = report[name]
        label = f"k_truss({args.k})" if name == "k_truss" else name
        print(
            f"  {label:16} node kernels {figures['node_seconds']:9.3f} s   "
            f"edge kernels {figures['edge_seconds']:9.3f} s   ratio {figures['ratio']:7.1f}x   "
            "results equal"
        )
    if args.json:
        with open(args.json, "w") as out:
            json.dump(report, out, indent=2)


if __name__ == "__main__":
    main()
