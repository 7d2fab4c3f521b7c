"""Times the four algorithms on a generated R-MAT graph.

    python3 bench/algorithms.py [--scale 20] [--edges 2000000] [--repeat 3] [--json FILE]

Each algorithm runs once cold (its first call compiles the PTX module) and
then --repeat times warm; the report gives the cold time and the best warm
time as the module measures them ("time_seconds"), plus edges per second for
the warm runs. Runs on whatever driver the process finds (a GPU, or the
software GPU when build/emulator is first on LD_LIBRARY_PATH).
"""

import argparse
import json
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples"))

from graphs import rmat_graph  # noqa: E402

import vorlan_cuda  # noqa: E402


def time_runs(call, repeat):
    cold = call()
    warm = [call() for _ in range(repeat)]
    return cold, warm


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=int, default=20, help="log2 of the node count")
    parser.add_argument("--edges", type=int, default=2_000_000, help="R-MAT edge draws")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--json", help="write the results to this file")
    args = parser.parse_args()

    generated = time.perf_counter()
    offsets, targets = rmat_graph(args.scale, args.edges)
    generated = time.perf_counter() - generated
    device = vorlan_cuda.GpuDevice(0)
    uploaded = time.perf_counter()
    graph = vorlan_cuda.GpuGraph.from_csr(offsets, targets, device)
    uploaded = time.perf_counter() - uploaded
    degrees = [offsets[v + 1] - offsets[v] for v in range(graph.num_nodes)]
    hub = max(range(graph.num_nodes), key=degrees.__getitem__)

    runs = {
        "triangle_count": lambda: graph.triangle_count(),
        "bfs": lambda: graph.bfs(hub),
        "pagerank": lambda: graph.pagerank(max_iterations=20, tolerance=0.0),
        "k_truss_3": lambda: graph.k_truss(3),
    }
    results = {"device": device.name, "num_nodes": graph.num_nodes, "num_edges": graph.num_edges,
               "generate_seconds": generated, "from_csr_seconds": uploaded, "algorithms": {}}
    print(f"{device.name}: R-MAT scale {args.scale}, {graph.num_nodes:,} nodes, "
          f"{graph.num_edges:,} stored edges (graph built in {generated:.1f} s, "
          f"uploaded in {uploaded:.2f} s)")
    for name, call in runs.items():
        cold, warm = time_runs(call, args.repeat)
        best = min(run["time_seconds"] for run in warm)
        results["algorithms"][name] = {"cold_seconds": cold["time_seconds"], "warm_seconds": best,
                                       "edges_per_second": graph.num_edges / best if best else None}
        print(f"  {name:<15} cold {cold['time_seconds'] * 1000:9.2f} ms   "
              f"warm {best * 1000:9.2f} ms   {graph.num_edges / best / 1e6:10.1f} M edges/s")
    if args.json:
        with open(args.json, "w") as out:
            json.dump(results, out, indent=2)


if __name__ == "__main__":
    main()
