"""What each algorithm costs on a GPU, counted on the software GPU.

    python3 bench/cost_model.py [--scales 10 14] [--edge-factor 16] [--json FILE]

Runs the four algorithms on R-MAT graphs of growing scale on the software GPU
(build/emulator first on LD_LIBRARY_PATH) and reads its per-kernel cost
counters (vemu_kernel_stats). The counts follow from each thread's path
alone, so they are the same on any host and in any run; they describe what
the kernels ask of a GPU rather than how fast an interpreter is.

Per algorithm and scale it reports global-memory sectors, warp instructions
and atomics per stored edge, lane utilisation (thread instructions over 32 x
warp instructions) and the busiest warp's share of all warp instructions;
per algorithm, the growth exponent of each total against the stored edge
count (least squares on log-log; 1 means it grows like the edges); and a
lower bound on an H100 SXM's time, the largest of:

  memory:  global sectors x 32 B / 2.9 TB/s (HBM3 bandwidth);
  issue:   warp instructions / (132 SMs x 4 schedulers x 1.98 GHz), every
           scheduler issuing one warp instruction per cycle;
  latency: for each kernel, its busiest warp's instructions x LATENCY cycles
           / 1.98 GHz, summed over the kernels (launches on one stream run one
           after another, so each kernel's slowest warp is on the critical
           path at least once). LATENCY defaults to 4 cycles: the dependent-
           issue latency of Hopper's integer and FP32 pipes. Our kernels'
           warps run chains of dependent address arithmetic, loads, compares
           and branches, so a warp seldom issues faster than that, and a
           global load alone takes hundreds of cycles: 4 understates the
           average and keeps the bound a lower bound.

The bound ignores launch overheads and host work; it is what no schedule of
these instructions and accesses can beat.

JSON written with --json (read by tools that place measured GPU times beside
the prediction):
  "source":      "software GPU cost counters"
  "model":       {"bandwidth_bytes_per_second", "sms", "schedulers_per_sm",
                  "clock_hz", "latency_cycles", "sector_bytes"}
  "edge_factor": R-MAT edge draws per node
  "pagerank_iterations": the iterations each PageRank run makes
  "algorithms":  {name: {
      "runs": [{"scale", "num_nodes", "num_edges" (stored, i.e. CSR entries),
                "kernels": {kernel: {the vemu_kernel_stats fields}},
                "launches", "warp_instructions", "thread_instructions",
                "global_sectors", "shared_accesses", "atomics",
                "busiest_warp_instructions" (largest over its kernels),
                "sectors_per_edge", "warp_instructions_per_edge",
                "atomics_per_edge", "lane_utilisation", "busiest_warp_share",
                "predicted_seconds": {"memory", "issue", "latency",
                                      "lower_bound"},
                "bound_by": "memory" | "issue" | "latency"}],
      "growth_exponents": {"global_sectors", "warp_instructions",
                           "atomics", "busiest_warp_instructions",
                           "thread_instructions"}}}
Names: "triangle_count", "bfs" (from the highest-degree node), "pagerank"
(20 iterations, no tolerance), "k_truss_3".
"""

import argparse
import ctypes
import glob
import json
import math
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

import graph_suite  # noqa: E402

import vorlan_cuda  # noqa: E402

BANDWIDTH = 2.9e12
SMS = 132
SCHEDULERS = 4
CLOCK = 1.98e9
SECTOR = 32
FIELDS = ("launches", "warp_instructions", "thread_instructions", "global_sectors", "shared_accesses",
          "atomics", "busiest_warp_instructions")


class KernelStats(ctypes.Structure):
    _fields_ = [(name, ctypes.c_ulonglong) for name in FIELDS]


PAGERANK_ITERATIONS = 20


def software_gpu():
    lib = ctypes.CDLL("libcuda.so")
    if not hasattr(lib, "vemu_kernel_stats"):
        sys.exit("cost_model.py needs the software GPU: put build/emulator first on LD_LIBRARY_PATH")
    lib.vemu_kernel_stats.argtypes = [ctypes.c_char_p, ctypes.POINTER(KernelStats)]
    lib.vemu_kernel_stats.restype = ctypes.c_int
    lib.vemu_reset_stats.restype = None
    return lib


def kernel_names():
    names = []
    for path in sorted(glob.glob(os.path.join(HERE, "..", "src", "engine", "kernels", "*.ptx"))):
        with open(path) as source:
            names += re.findall(r"\.entry\s+(\w+)\s*\(", source.read())
    return names


def counted(lib, names, call):
    """Runs call() and returns the counters of every kernel it launched."""
    lib.vemu_reset_stats()
    call()
    kernels = {}
    for name in names:
        stats = KernelStats()
        if lib.vemu_kernel_stats(name.encode(), ctypes.byref(stats)) == 0:
            kernels[name] = {field: getattr(stats, field) for field in FIELDS}
    return kernels


def summarise(kernels, num_edges, latency_cycles):
    total = {field: sum(k[field] for k in kernels.values()) for field in FIELDS}
    total["busiest_warp_instructions"] = max((k["busiest_warp_instructions"] for k in kernels.values()), default=0)
    warp = max(total["warp_instructions"], 1)
    chain = sum(k["busiest_warp_instructions"] for k in kernels.values())
    predicted = {
        "memory": total["global_sectors"] * SECTOR / BANDWIDTH,
        "issue": total["warp_instructions"] / (SMS * SCHEDULERS * CLOCK),
        "latency": chain * latency_cycles / CLOCK,
    }
    bound_by = max(predicted, key=predicted.get)
    predicted["lower_bound"] = predicted[bound_by]
    return {
        **total,
        "sectors_per_edge": total["global_sectors"] / num_edges,
        "warp_instructions_per_edge": total["warp_instructions"] / num_edges,
        "atomics_per_edge": total["atomics"] / num_edges,
        "lane_utilisation": total["thread_instructions"] / (32 * warp),
        "busiest_warp_share": total["busiest_warp_instructions"] / warp,
        "predicted_seconds": predicted,
        "bound_by": bound_by,
    }


def growth_exponent(edges, values):
    """Least-squares slope of log(value) against log(edges); None without two positive points."""
    points = [(math.log(e), math.log(v)) for e, v in zip(edges, values) if v > 0]
    if len(points) < 2:
        return None
    mx = sum(x for x, _ in points) / len(points)
    my = sum(y for _, y in points) / len(points)
    sxx = sum((x - mx) ** 2 for x, _ in points)
    return sum((x - mx) * (y - my) for x, y in points) / sxx if sxx else None


def algorithm_calls(graph, hub):
    return {
        "triangle_count": lambda: graph.triangle_count(),
        "bfs": lambda: graph.bfs(hub),
        "pagerank": lambda: graph.pagerank(max_iterations=PAGERANK_ITERATIONS, tolerance=0.0),
        "k_truss_3": lambda: graph.k_truss(3),
    }


def print_table(name, runs, exponents):
    print(f"\n{name}")
    print(f"  {'scale':>5} {'edges':>10} {'sect/edge':>10} {'winst/edge':>10} {'atom/edge':>10} "
          f"{'lanes':>6} {'busiest':>8} {'H100 bound':>11}  bound by")
    for run in runs:
        print(f"  {run['scale']:>5} {run['num_edges']:>10,} {run['sectors_per_edge']:>10.3f} "
              f"{run['warp_instructions_per_edge']:>10.3f} {run['atomics_per_edge']:>10.3f} "
              f"{run['lane_utilisation']:>6.3f} {run['busiest_warp_share']:>8.4f} "
              f"{run['predicted_seconds']['lower_bound'] * 1e6:>9.1f}us  {run['bound_by']}")
    print("  growth exponents vs edges: " + ", ".join(
        f"{field} {value:.2f}" if value is not None else f"{field} -" for field, value in exponents.items()))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scales", type=int, nargs=2, default=[10, 14], metavar=("FIRST", "LAST"))
    # The graphs of bench/compare.py, so that its R-MAT graphs of these scales
    # find their floors counted rather than extrapolated.
    parser.add_argument("--edge-factor", type=int, default=16, help="R-MAT edge draws per node")
    parser.add_argument("--latency-cycles", type=float, default=4.0)
    parser.add_argument("--json", help="write the results to this file")
    args = parser.parse_args()

    lib = software_gpu()
    names = kernel_names()
    device = vorlan_cuda.GpuDevice(0)
    runs = {}
    for scale in range(args.scales[0], args.scales[1] + 1):
        made = graph_suite.rmat(scale, args.edge_factor)
        graph = vorlan_cuda.GpuGraph.from_csr(made.offsets, made.targets, device)
        print(f"scale {scale}: {graph.num_nodes:,} nodes, {graph.num_edges:,} stored edges", file=sys.stderr)
        for name, call in algorithm_calls(graph, made.hub()).items():
            kernels = counted(lib, names, call)
            run = {"scale": scale, "num_nodes": graph.num_nodes, "num_edges": graph.num_edges, "kernels": kernels}
            run.update(summarise(kernels, graph.num_edges, args.latency_cycles))
            runs.setdefault(name, []).append(run)

    algorithms = {}
    for name, series in runs.items():
        edges = [run["num_edges"] for run in series]
        exponents = {field: growth_exponent(edges, [run[field] for run in series])
                     for field in ("global_sectors", "warp_instructions", "atomics", "busiest_warp_instructions",
                                   "thread_instructions")}
        algorithms[name] = {"runs": series, "growth_exponents": exponents}
        print_table(name, series, exponents)

    if args.json:
        model = {"bandwidth_bytes_per_second": BANDWIDTH, "sms": SMS, "schedulers_per_sm": SCHEDULERS,
                 "clock_hz": CLOCK, "latency_cycles": args.latency_cycles, "sector_bytes": SECTOR}
        with open(args.json, "w") as out:
            json.dump({"source": "software GPU cost counters", "model": model, "edge_factor": args.edge_factor,
                       "pagerank_iterations": PAGERANK_ITERATIONS, "algorithms": algorithms}, out, indent=1)


if __name__ == "__main__":
    main()
