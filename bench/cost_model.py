"""What each algorithm costs on a GPU, counted on the software GPU.

    PYTHONPATH=build/python LD_LIBRARY_PATH=build/emulator \\
        python3 -m bench.cost_model [--scales 10 16] [--algorithms NAME,...] [--json FILE [--update]]

Runs the algorithms on R-MAT graphs (Graph500 parameters, vorlan_graphs,
edge factor 16: the graphs bench/compare.py makes) of every scale from FIRST
to LAST on the software GPU and reads its per-kernel cost counters
(vemu_kernel_stats, through build/python/vorlan_emu.py). The counts follow
from each thread's path alone, so they are the same on any host and in any
run; they describe what the kernels ask of a GPU rather than how fast an
interpreter is.

bench/cost_model.json is made in two steps, so that the cheap algorithms need
not wait for k-truss:

    python3 -m bench.cost_model --scales 10 16 --algorithms triangle_count,bfs,pagerank \\
        --json bench/cost_model.json
    python3 -m bench.cost_model --scales 10 16 --algorithms k_truss_3 --json bench/cost_model.json --update

--update keeps the runs FILE already holds for other algorithms and scales,
replaces those counted again, and works every figure out anew from the stored
counters with this model.

Per algorithm and scale it reports sectors, warp instructions and atomics per
stored edge, lane utilisation (thread instructions over 32 x warp
instructions), the busiest warp's share of all warp instructions; per
algorithm the growth exponent of each total against the stored edge count
(least squares on log-log, analysis.fit_exponent; 1 means it grows like the
edges); and a lower bound on an H100 SXM's time (figures in bench/h100.py),
the largest of:

  memory:  compulsory traffic: the distinct 32-byte sectors each launch
           touches x 32 B, summed over launches, at the peak HBM bandwidth
           (3.35 TB/s);
  issue:   warp instructions / (132 SMs x 4 schedulers x 1.98 GHz);
  latency: each launch's busiest warp's instructions x LATENCY cycles
           / 1.98 GHz, summed over all launches of all kernels.

Beside the bound, not part of it:

  l2:      the requested sectors (per warp-level access, as the warps ask for
           them) x 32 B at an L2 bandwidth of 8.986 TB/s, a third-party figure
           (NVIDIA publishes none; source in h100.L2_SOURCE). Where it exceeds
           the memory term, reuse is served by L2 and L2 traffic is what the
           kernels should shed; L1 hits can serve some of it, so it is no bound.

The bound holds for every schedule of these instructions and accesses under
these assumptions (also written into the JSON as "assumptions"):
  1. A launch finds none of the data it touches in L2 when it starts, so each
     sector it touches crosses between HBM and the chip at least once during
     it. A real card keeps data in its 50 MB L2 from one launch to the next;
     where a call's working set fits there (R-MAT up to about scale 18), the
     memory term is what a card that empties L2 between launches would need.
  2. HBM moves at most 3.35 TB/s; a sector moves as 32 bytes.
  3. A scheduler issues at most one warp instruction per cycle, at 1.98 GHz.
  4. Launches on one stream run one after another, and a warp's
     instructions issue in order, each LATENCY cycles after the one before.
     With --latency-cycles 1 this is the issue rate alone and holds for any
     program; the default 4 is the dependent-issue latency of Hopper's
     integer and FP32 pipes, which our kernels' chains of dependent address
     arithmetic, loads, compares and branches pay at the least (a global load
     alone takes hundreds of cycles).
  5. Launch overheads, host work and copies cost nothing.

JSON written with --json (bench/compare.py reads each run's "num_edges" and
"predicted_seconds"["lower_bound"], and "pagerank_iterations"):
  "source":      "software GPU cost counters"
  "model":       {"card", "hbm_bytes_per_second", "hbm_source",
                  "l2_bytes_per_second", "l2_source", "l2_bytes", "sms",
                  "schedulers_per_sm", "clock_hz", "latency_cycles",
                  "sector_bytes"}
  "assumptions": [the five above, as sentences]
  "edge_factor": R-MAT edge draws per node
  "pagerank_iterations": the iterations each PageRank run makes
  "algorithms":  {name: {
      "runs": [{"scale", "num_nodes", "num_edges" (stored, i.e. CSR entries),
                "kernels": {kernel: {the vemu_kernel_stats fields}},
                the fields summed over the kernels, except
                "busiest_warp_instructions" (the largest of them),
                "sectors_per_edge" (requested), "distinct_sectors_per_edge",
                "sector_reuse" (requested over distinct),
                "warp_instructions_per_edge", "atomics_per_edge",
                "lane_utilisation", "busiest_warp_share",
                "predicted_seconds": {"memory", "issue", "latency",
                                      "lower_bound", "l2"},
                "bound_by": "memory" | "issue" | "latency"}],
      "growth_exponents": {field: exponent or null, for GROWTH_FIELDS}}}
Names: "triangle_count", "bfs" (from the highest-degree node), "pagerank"
(20 iterations, no tolerance), "k_truss_3", "pagerank_directed" (20 iterations,
the first call's transpose included), "core_number" (every node's core number),
"bfs_tree" (queue order and parents, from the highest-degree node).
"""

import glob
import os
import re
import sys

import vorlan_emu
import vorlan_graphs

from bench import analysis, cli, h100

HERE = os.path.dirname(os.path.abspath(__file__))
ALGORITHMS = (
    "triangle_count",
    "bfs",
    "pagerank",
    "k_truss_3",
    "pagerank_directed",
    "core_number",
    "bfs_tree",
)
PAGERANK_ITERATIONS = 20
SECTOR_BYTES = 32
DEFAULT_LATENCY_CYCLES = 4.0
GROWTH_FIELDS = (
    "global_sectors",
    "distinct_global_sectors",
    "warp_instructions",
    "atomics",
    "busiest_warp_instructions",
    "summed_busiest_warp_instructions",
    "thread_instructions",
)
ASSUMPTIONS = [
    "A launch finds none of the data it touches in L2 when it starts, so each sector it touches crosses "
    "between HBM and the chip at least once during it (a real card keeps data in L2 between launches; where "
    "a call's working set fits in L2, the memory term is that of a card that empties L2 between launches).",
    f"HBM moves at most {h100.HBM_BYTES_PER_SECOND:.3g} B/s; a sector moves as {SECTOR_BYTES} bytes.",
    f"Each of the {h100.SMS} x {h100.SCHEDULERS_PER_SM} schedulers issues at most one warp instruction per "
    f"cycle at {h100.CLOCK_HZ:.3g} Hz.",
    "Launches on one stream run one after another and a warp's instructions issue in order, each "
    "latency_cycles after the one before (latency_cycles 1: the issue rate alone, true of any program).",
    "Launch overheads, host work and copies cost nothing.",
]


def kernel_names():
    names = []
    for path in sorted(glob.glob(os.path.join(HERE, "..", "src", "engine", "kernels", "*.ptx"))):
        with open(path) as source:
            names += re.findall(r"\.entry\s+(\w+)\s*\(", source.read())
    return names


def counted(emu, names, call):
    """Runs call() and returns the counters of every kernel it launched."""
    emu.reset_stats()
    call()
    return {name: stats for name in names if (stats := emu.kernel_stats(name)) is not None}


def summarise(kernels, num_edges, latency_cycles):
    """The totals, ratios and predicted times of one run from its kernels' counters."""
    total = {
        field: sum(k[field] for k in kernels.values()) for field in vorlan_emu.KERNEL_STATS_FIELDS
    }
    # One warp's figure; the latency term takes the launches' busiest warps summed instead.
    total["busiest_warp_instructions"] = max(
        (k["busiest_warp_instructions"] for k in kernels.values()), default=0
    )
    warp = max(total["warp_instructions"], 1)
    distinct = total["distinct_global_sectors"]
    predicted = {
        "memory": distinct * SECTOR_BYTES / h100.HBM_BYTES_PER_SECOND,
        "issue": total["warp_instructions"] / (h100.SMS * h100.SCHEDULERS_PER_SM * h100.CLOCK_HZ),
        "latency": total["summed_busiest_warp_instructions"] * latency_cycles / h100.CLOCK_HZ,
    }
    bound_by = max(predicted, key=predicted.get)
    predicted["lower_bound"] = predicted[bound_by]
    predicted["l2"] = total["global_sectors"] * SECTOR_BYTES / h100.L2_BYTES_PER_SECOND
    return {
        **total,
        "sectors_per_edge": total["global_sectors"] / num_edges,
        "distinct_sectors_per_edge": distinct / num_edges,
        "sector_reuse": total["global_sectors"] / distinct if distinct else None,
        "warp_instructions_per_edge": total["warp_instructions"] / num_edges,
        "atomics_per_edge": total["atomics"] / num_edges,
        "lane_utilisation": total["thread_instructions"] / (32 * warp),
        "busiest_warp_share": total["busiest_warp_instructions"] / warp,
        "predicted_seconds": predicted,
        "bound_by": bound_by,
    }


def run_record(scale, num_nodes, num_edges, kernels, latency_cycles):
    return {
        "scale": scale,
        "num_nodes": num_nodes,
        "num_edges": num_edges,
        "kernels": kernels,
        **summarise(kernels, num_edges, latency_cycles),
    }


def growth_exponents(series):
    edges = [run["num_edges"] for run in series]
    return {
        field: analysis.fit_exponent(list(zip(edges, (run.get(field, 0) for run in series))))
        for field in GROWTH_FIELDS
    }


def stored_runs(stored, latency_cycles):
    """{(algorithm, scale): run} of `stored` (a JSON of this script), each
    worked out anew from its counters with this model. Raises ValueError for
    a stored run whose counters lack a field this model needs."""
    runs = {}
    for name, algorithm in stored.get("algorithms", {}).items():
        for run in algorithm["runs"]:
            missing = [
                f
                for f in vorlan_emu.KERNEL_STATS_FIELDS
                if any(f not in k for k in run["kernels"].values())
            ]
            if missing:
                raise ValueError(
                    f"{name} at scale {run['scale']} has no {missing[0]} counts; count it again"
                )
            runs[(name, run["scale"])] = run_record(
                run["scale"], run["num_nodes"], run["num_edges"], run["kernels"], latency_cycles
            )
    return runs


def merged(stored, fresh):
    """Per algorithm, the runs of `stored` ({(algorithm, scale): run}, from
    stored_runs) that `fresh` did not count again, beside those of `fresh`;
    ordered by algorithm, then scale."""
    runs = dict(stored)
    for name, series in fresh.items():
        for run in series:
            runs[(name, run["scale"])] = run
    algorithms = {}
    order = {name: i for i, name in enumerate(ALGORITHMS)}
    for (name, _), run in sorted(
        runs.items(), key=lambda item: (order.get(item[0][0], len(order)), item[0])
    ):
        algorithms.setdefault(name, []).append(run)
    return algorithms


def algorithm_calls(graph, hub):
    return {
        "triangle_count": lambda: graph.triangle_count(),
        "bfs": lambda: graph.bfs(hub),
        "pagerank": lambda: graph.pagerank(max_iterations=PAGERANK_ITERATIONS, tolerance=0.0),
        "k_truss_3": lambda: graph.k_truss(3),
        # Its first call on a graph builds the transpose, counted with it.
        "pagerank_directed": lambda: graph.pagerank_directed(
            max_iterations=PAGERANK_ITERATIONS, tolerance=1e-300
        ),
        "core_number": lambda: graph.core_number(),
        "bfs_tree": lambda: graph.bfs_tree(hub),
    }


def microseconds(seconds):
    return f"{seconds * 1e6:>10.2f}"


def print_table(name, runs, exponents):
    print(
        f"\n{name}   (times: microseconds on an H100 SXM; l2 is beside the bound, not part of it)"
    )
    print(
        f"  {'scale':>5} {'edges':>10} {'sect/edge':>9} {'dist/edge':>9} {'winst/edge':>10} {'lanes':>6} "
        f"{'busiest':>8} {'memory':>10} {'l2':>10} {'issue':>10} {'latency':>10}  bound by"
    )
    for run in runs:
        predicted = run["predicted_seconds"]
        print(
            f"  {run['scale']:>5} {run['num_edges']:>10,} {run['sectors_per_edge']:>9.3f} "
            f"{run['distinct_sectors_per_edge']:>9.3f} {run['warp_instructions_per_edge']:>10.3f} "
            f"{run['lane_utilisation']:>6.3f} {run['busiest_warp_share']:>8.4f} "
            f"{microseconds(predicted['memory'])} {microseconds(predicted['l2'])} "
            f"{microseconds(predicted['issue'])} {microseconds(predicted['latency'])}  {run['bound_by']}"
        )
    print(
        "  growth exponents vs edges: "
        + ", ".join(
            f"{field} {value:.2f}" if value is not None else f"{field} -"
            for field, value in exponents.items()
        )
    )


def parse_arguments(argv):
    parser = cli.Parser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--scales",
        type=int,
        nargs=2,
        default=[10, 16],
        metavar=("FIRST", "LAST"),
        help="R-MAT scales to count, both included (default 10 16)",
    )
    parser.add_argument(
        "--algorithms",
        default=",".join(ALGORITHMS),
        help=f"comma-separated, of {', '.join(ALGORITHMS)} (default all)",
    )
    # The graphs of bench/compare.py, so that its R-MAT graphs of these scales
    # find their floors counted rather than extrapolated.
    parser.add_argument("--edge-factor", type=int, default=16, help="R-MAT edge draws per node")
    parser.add_argument("--latency-cycles", type=float, default=DEFAULT_LATENCY_CYCLES)
    parser.add_argument("--json", help="write the results to this file")
    parser.add_argument(
        "--update",
        action="store_true",
        help="keep the runs the --json file holds for other algorithms and scales",
    )
    args = parser.parse_args(argv)
    args.names = [name for name in args.algorithms.split(",") if name]
    unknown = sorted(set(args.names) - set(ALGORITHMS))
    if unknown or not args.names:
        parser.error(
            f"--algorithms: unknown {', '.join(unknown)}" if unknown else "--algorithms: none given"
        )
    if not 1 <= args.scales[0] <= args.scales[1] <= 26:
        parser.error("--scales: FIRST and LAST must satisfy 1 <= FIRST <= LAST <= 26")
    if args.edge_factor < 1 or args.latency_cycles <= 0:
        parser.error("--edge-factor and --latency-cycles must be positive")
    if args.update and not args.json:
        parser.error("--update needs --json FILE")
    # The stored runs are read and worked out here, once, so that a file that
    # cannot be used is refused before hours of counting.
    args.stored = {}
    if args.update and os.path.exists(args.json):
        stored = cli.read_json(args.json, "--update")
        try:
            if stored.get("edge_factor", args.edge_factor) != args.edge_factor:
                parser.error(
                    f"--update: {args.json} was counted with edge factor {stored['edge_factor']}"
                )
            args.stored = stored_runs(stored, args.latency_cycles)
        except (ValueError, KeyError, TypeError, AttributeError) as error:
            parser.error(f"--update: cannot use {args.json}: {error}")
    return args


def count(args):
    """{algorithm: [run, ...]} counted on the software GPU."""
    # A launch of a hub-heavy kernel at scale 16 runs past the software GPU's
    # default budget of 2^32 instructions; a GPU without a display has none.
    os.environ.setdefault("VORLAN_EMU_BUDGET", "0")
    import vorlan_cuda

    emu = vorlan_emu.load()
    if emu is None:
        raise cli.ToolError(
            "the cost model needs the software GPU: put build/emulator first on LD_LIBRARY_PATH"
        )
    names = kernel_names()
    device = vorlan_cuda.GpuDevice(0)
    runs = {}
    for scale in range(args.scales[0], args.scales[1] + 1):
        made = vorlan_graphs.rmat(scale, args.edge_factor)
        graph = vorlan_cuda.GpuGraph.from_csr(made.offsets, made.targets, device)
        print(
            f"scale {scale}: {graph.num_nodes:,} nodes, {graph.num_edges:,} stored edges",
            file=sys.stderr,
        )
        calls = algorithm_calls(graph, made.hub())
        for name in args.names:
            kernels = counted(emu, names, calls[name])
            runs.setdefault(name, []).append(
                run_record(scale, graph.num_nodes, graph.num_edges, kernels, args.latency_cycles)
            )
    return runs


def main(argv=None):
    args = parse_arguments(argv)
    fresh = count(args)
    algorithms = {
        name: {"runs": series, "growth_exponents": growth_exponents(series)}
        for name, series in merged(args.stored, fresh).items()
    }
    for name, algorithm in algorithms.items():
        print_table(name, algorithm["runs"], algorithm["growth_exponents"])
    if args.json:
        model = {
            "card": h100.NAME,
            "hbm_bytes_per_second": h100.HBM_BYTES_PER_SECOND,
            "hbm_source": h100.HBM_SOURCE,
            "l2_bytes_per_second": h100.L2_BYTES_PER_SECOND,
            "l2_source": h100.L2_SOURCE,
            "l2_bytes": h100.L2_BYTES,
            "sms": h100.SMS,
            "schedulers_per_sm": h100.SCHEDULERS_PER_SM,
            "clock_hz": h100.CLOCK_HZ,
            "latency_cycles": args.latency_cycles,
            "sector_bytes": SECTOR_BYTES,
        }
        data = {
            "source": "software GPU cost counters",
            "model": model,
            "assumptions": ASSUMPTIONS,
            "edge_factor": args.edge_factor,
            "pagerank_iterations": PAGERANK_ITERATIONS,
            "algorithms": algorithms,
        }
        cli.write_json_atomically(args.json, data)
    return 0


if __name__ == "__main__":
    sys.exit(cli.run(main))
