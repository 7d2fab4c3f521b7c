"""Times the node-parallel and the edge-parallel kernels on one graph, in one run.

    python3 -m bench.kernel_paths [--scale 14] [--k 3] [--repeat 1] [--json FILE]

Builds the R-MAT graph of vorlan_graphs (canonical: sorted,
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
On the software GPU the kernels each path launched are counted too and
written beside its time ("node_kernels", "edge_kernels"); paths that ran the
same kernels fail the run, since their times would compare nothing.
Bad arguments and an unwritable --json are refused in one line, exit status
2, before any work.
"""

import sys

import vorlan_cuda
import vorlan_graphs

from bench import cli, cost_model
from bench.timing import best_time


def kernels_launched(emu, call):
    """The names of the kernels call() launches, sorted; None where no
    software GPU counts them."""
    if emu is None:
        return None
    return sorted(cost_model.counted(emu, cost_model.kernel_names(), call))


def compare(name, edge_call, node_call, same, repeat):
    # The node kernels first, so that the edge path cannot profit from a
    # module the other loaded; each path loads its own modules anyway.
    node = best_time(node_call, repeat)
    edge = best_time(edge_call, repeat)
    if not same(edge.result, node.result):
        sys.exit(f"{name}: the two paths disagree")
    emu = cost_model.vorlan_emu.load()
    node_kernels, edge_kernels = kernels_launched(emu, node_call), kernels_launched(emu, edge_call)
    if node_kernels is not None and node_kernels == edge_kernels:
        sys.exit(f"{name}: both paths ran the same kernels ({', '.join(node_kernels)})")
    return {
        "node_seconds": node.seconds,
        "edge_seconds": edge.seconds,
        "ratio": node.seconds / edge.seconds,
        "node_kernels": node_kernels,
        "edge_kernels": edge_kernels,
    }


def main(argv=None):
    parser = cli.Parser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=cli.integer_at_least(1), default=14)
    # k_truss refuses k < 3 (every edge of a graph is in a 2-truss).
    parser.add_argument("--k", type=cli.integer_at_least(3), default=3)
    parser.add_repeat(1)
    parser.add_argument("--json", help="also write the figures to this file")
    args = parser.parse_args(argv)

    made = vorlan_graphs.rmat(args.scale)
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
        cli.write_json_atomically(args.json, report)
    return 0


if __name__ == "__main__":
    sys.exit(cli.run(main))
