"""Runs the algorithms in vorlan_cuda and in the CPU libraries that are
importable (NetworkX, SciPy, igraph), on generated graphs of growing size,
checks that every comparable answer agrees, and writes what it measured.

    python3 -m bench.compare [--quick] --json FILE [--edge-list FILE ...]
                             [--rmat-scales 10,11,12,13] [--budget 20] ...

Each system converts a graph once (timed apart as its load) and then runs each
algorithm up to --repeat times; the record keeps the best time of the library
call. vorlan_cuda's first call of each algorithm compiles its kernels and is
run once untimed. A system whose call would take longer than --budget seconds
(measured, or predicted from the smaller sizes) is skipped at that size and
above, and marked so. Peers run in a forked child, so one that overruns is
stopped; vorlan_cuda, which holds the GPU, runs in this process and is only
skipped by prediction.

The JSON is rewritten after every result (atomically: a temporary file,
then a rename) and marked incomplete until the run ends, so a run that is
stopped leaves what it finished.

Arguments, edge-list files, --cost-model and the --json folder are checked
before any work; a bad one is refused in one line with exit status 2.
Exits with status 1 when any comparable result disagrees, when a
vorlan_cuda call failed, or when no answer could be compared with another
system's.
"""

import argparse
import datetime
import multiprocessing
import os
import platform
import sys
import time
import warnings

import vorlan_graphs

from bench import analysis, bandwidth, cli, directed_pagerank
from bench.peers import ALGORITHMS, KNOWN_SYSTEMS, Params, available_systems

THREAD_VARIABLES = ("OMP_NUM_THREADS", "OMP_WAIT_POLICY", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS")
QUICK_SCALES = {"rmat": [7, 8, 9, 10], "uniform": [8], "grid": [8]}
FULL_SCALES = {"rmat": [10, 11, 12, 13, 14], "uniform": [10, 12, 14], "grid": [10, 12, 14]}


# Node ids are 32-bit on the GPU; scale 31 is already 2**31 nodes.
MAX_SCALE = 31


def scale_list(text):
    """Scales such as "10,12 14"; empty text asks for none of that family."""
    scales = []
    for part in text.replace(",", " ").split():
        try:
            scale = int(part)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{part!r} is not an integer scale") from None
        if not 1 <= scale <= MAX_SCALE:
            raise argparse.ArgumentTypeError(f"scale {scale} is outside 1..{MAX_SCALE}")
        scales.append(scale)
    return scales


def name_list(known, what):
    """An argparse type: a comma-separated, non-empty list of names from `known`."""

    def parse(text):
        names = [name for name in text.split(",") if name]
        unknown = [name for name in names if name not in known]
        if unknown:
            raise argparse.ArgumentTypeError(
                f"unknown {what} {', '.join(unknown)} (known: {', '.join(known)})"
            )
        if not names:
            raise argparse.ArgumentTypeError(f"no {what} named")
        return names

    return parse


def system_limit(text):
    """SYSTEM=EDGES of --limit, as (system, edges)."""
    name, equals, edges = text.partition("=")
    if not equals or name not in KNOWN_SYSTEMS:
        raise argparse.ArgumentTypeError(
            f"{text!r} is not SYSTEM=EDGES with SYSTEM one of {', '.join(KNOWN_SYSTEMS)}"
        )
    try:
        return name, cli.integer_at_least(0)(edges)
    except argparse.ArgumentTypeError as error:
        raise argparse.ArgumentTypeError(f"{text!r}: the edge count {error}") from None


def parse_arguments(argv=None):
    parser = cli.Parser(description=__doc__.splitlines()[0])
    parser.add_argument("--json", required=True, help="write the results here")
    parser.add_argument("--quick", action="store_true", help="the smallest sizes only")
    for family in vorlan_graphs.FAMILIES:
        parser.add_argument(
            f"--{family}-scales",
            type=scale_list,
            default=None,
            help=f"log2 node counts of the {family} graphs, e.g. 10,12,14",
        )
    parser.add_argument(
        "--edge-factor",
        type=cli.integer_at_least(1),
        default=16,
        help="edge draws per node (R-MAT, uniform)",
    )
    parser.add_argument(
        "--edge-list", action="append", default=[], help="also run on this edge-list file"
    )
    parser.add_argument(
        "--systems", type=name_list(KNOWN_SYSTEMS, "system"), default=list(KNOWN_SYSTEMS)
    )
    parser.add_argument(
        "--algorithms", type=name_list(ALGORITHMS, "algorithm"), default=list(ALGORITHMS)
    )
    parser.add_argument(
        "--limit",
        type=system_limit,
        action="append",
        default=[],
        metavar="SYSTEM=EDGES",
        help="run SYSTEM only on graphs of at most EDGES stored edges",
    )
    parser.add_argument(
        "--budget", type=cli.positive_float, default=20.0, help="seconds one peer call may take"
    )
    parser.add_argument(
        "--deadline",
        type=cli.positive_float,
        default=None,
        help="seconds after which no further call starts (the rest is marked skipped)",
    )
    parser.add_repeat(3)
    # vorlan_cuda refuses k < 3 (every edge of a graph is in a 2-truss).
    parser.add_argument("--k", type=cli.integer_at_least(3), default=3, help="the k of k-truss")
    parser.add_argument(
        "--cost-model", help="JSON of predicted floors to place beside measured times"
    )
    args = parser.parse_args(argv)
    chosen = QUICK_SCALES if args.quick else FULL_SCALES
    args.scales = {
        family: getattr(args, f"{family}_scales")
        if getattr(args, f"{family}_scales") is not None
        else chosen[family]
        for family in vorlan_graphs.FAMILIES
    }
    args.limits = dict(args.limit)
    args.algorithm_names = args.algorithms
    if not any(args.scales.values()) and not args.edge_list:
        parser.error(
            "no graphs to run: every family's scales are empty and no --edge-list is given"
        )
    return args


def read_edge_lists(paths):
    """(graph, seconds to read it) of every --edge-list file, read before any
    generated graph runs, so that a malformed one is refused at once."""
    graphs = []
    for path in paths:
        started = time.perf_counter()
        try:
            graph = vorlan_graphs.edge_list(path)
        except vorlan_graphs.EdgeListError as error:
            raise cli.ToolError(f"--edge-list {error}") from None
        graphs.append((graph, time.perf_counter() - started))
    return graphs


def make_graphs(args, edge_lists):
    """(graph, seconds to make it) for every requested graph, smallest scale
    first across the families, so that a run cut short by --deadline has
    covered every family it could; then the edge lists, already read."""
    wanted = sorted(
        (scale, vorlan_graphs.FAMILIES.index(family), family)
        for family in vorlan_graphs.FAMILIES
        for scale in args.scales[family]
    )
    for scale, _, family in wanted:
        started = time.perf_counter()
        graph = vorlan_graphs.make(family, scale, args.edge_factor)
        yield graph, time.perf_counter() - started
    yield from edge_lists


def timed_calls(call, repeat, budget):
    """Best time of up to `repeat` calls, stopping early when another call
    would take the total past `budget`; returns (best, last run, calls).
    A call's time is its Run's (the library call alone); the budget counts
    whole calls."""
    times, spent, run = [], 0.0, None
    while len(times) < repeat:
        started = time.perf_counter()
        run = call()
        whole = time.perf_counter() - started
        times.append(run.seconds)
        spent += whole
        if spent + whole > budget:
            break
    return min(times), run, len(times)


def _child(call, repeat, budget, pipe):
    try:
        pipe.send(("ok", timed_calls(call, repeat, budget)))
    except BaseException as error:  # reported to the parent, which records it
        pipe.send(("failed", f"{type(error).__name__}: {error}"))
    finally:
        pipe.close()


def timed_in_child(call, repeat, budget, grace=5.0):
    """timed_calls in a forked child that is stopped after `budget` seconds
    (plus `grace` for handing back the answer). Returns (status, payload)."""
    context = multiprocessing.get_context("fork")
    receive, send = context.Pipe(duplex=False)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork with BLAS threads about
        child = context.Process(target=_child, args=(call, repeat, budget, send))
        child.start()
    send.close()
    try:
        if receive.poll(budget + grace):
            return receive.recv()
        return "over budget", f"stopped after {budget + grace:.0f} s (budget {budget:g} s)"
    except EOFError:
        return "failed", f"the child died (exit {child.exitcode})"
    finally:
        child.kill()
        child.join()
        receive.close()


class Comparison:
    def __init__(self, args, systems, rates, on_result=lambda: None):
        self.args = args
        self.systems = systems
        self.rates = rates
        # Called after every result, so that what is finished is saved at once.
        self.on_result = on_result
        self.started = time.perf_counter()
        self.params = None
        self.results = []
        self.loads = []
        self.warmed = set()
        # (system, algorithm, family) -> [(edges, seconds)], and why it stopped.
        self.history = {}
        self.stopped = {}

    def record(self, graph_id, system, algorithm, status, note="", **fields):
        entry = {
            "graph": graph_id,
            "system": system,
            "algorithm": algorithm,
            "status": status,
            "note": note,
        }
        entry.update(fields)
        self.results.append(entry)
        self.on_result()
        return entry

    def past_deadline(self):
        return (
            self.args.deadline is not None
            and time.perf_counter() - self.started > self.args.deadline
        )

    def skip_reason(self, system, algorithm, graph):
        """Why `system` does not run `algorithm` on `graph`, or None."""
        if not hasattr(system, algorithm):
            return "not offered"
        if self.past_deadline():
            return "skipped: past the --deadline"
        key = (system.name, algorithm, graph.family)
        if key in self.stopped:
            return self.stopped[key]
        predicted = analysis.predict_seconds(self.history.get(key, []), graph.num_edges)
        if predicted is not None and predicted > self.args.budget:
            self.stopped[key] = (
                f"skipped: predicted {predicted:.0f} s > budget {self.args.budget:g} s"
            )
            return self.stopped[key]
        return None

    def run_graph(self, graph, graph_id):
        self.params = Params(source=graph.hub(), k=self.args.k)
        answers = {}
        for system in self.systems:
            handle, why_not = self.load(system, graph, graph_id)
            for algorithm in self.args.algorithm_names:
                entry = self.run_one(system, handle, algorithm, graph, graph_id, why_not)
                if entry["status"] == "ok":
                    answers.setdefault(algorithm, {})[system.name] = entry.pop("_value")
            if handle is not None and system.name == "vorlan_cuda" and self.rates:
                add_floors(self, graph, graph_id, system, handle, answers)
            del handle
        self.check_agreement(graph, graph_id, answers)

    def load(self, system, graph, graph_id):
        """(the system's form of the graph, None) or (None, why it was not made)."""
        limit = self.args.limits.get(system.name)
        if limit is not None and graph.num_edges > limit:
            return None, f"skipped: above --limit {limit} edges"
        key = (system.name, "load", graph.family)
        predicted = analysis.predict_seconds(self.history.get(key, []), graph.num_edges)
        if predicted is not None and predicted > self.args.budget:
            return (
                None,
                f"skipped: loading predicted {predicted:.0f} s > budget {self.args.budget:g} s",
            )
        started = time.perf_counter()
        try:
            handle = system.load(graph)
        except Exception as error:  # e.g. out of memory: the system's runs are marked failed
            return None, f"failed to load: {type(error).__name__}: {error}"
        seconds = time.perf_counter() - started
        self.history.setdefault(key, []).append((graph.num_edges, seconds))
        self.loads.append({"graph": graph_id, "system": system.name, "seconds": seconds})
        return handle, None

    def run_one(self, system, handle, algorithm, graph, graph_id, why_not_loaded):
        reason = self.skip_reason(system, algorithm, graph) or why_not_loaded
        if reason == "not offered":
            return self.record(graph_id, system.name, algorithm, "not offered")
        if reason:
            status = "skipped" if reason.startswith("skipped") else "failed"
            return self.record(graph_id, system.name, algorithm, status, reason)
        call = lambda: getattr(system, algorithm)(handle, graph, self.params)  # noqa: E731
        fields = {}
        if system.needs_warmup:
            status, payload = self.run_in_process(system, algorithm, call, fields)
        else:
            status, payload = timed_in_child(call, self.args.repeat, self.args.budget)
        key = (system.name, algorithm, graph.family)
        if status != "ok":
            self.stopped[key] = f"skipped: {status} at {graph_id}"
            return self.record(
                graph_id,
                system.name,
                algorithm,
                "failed" if status == "failed" else "skipped",
                payload,
            )
        seconds, run, calls = payload
        self.history.setdefault(key, []).append((graph.num_edges, seconds))
        entry = self.record(
            graph_id,
            system.name,
            algorithm,
            "ok",
            seconds=seconds,
            calls=calls,
            edges_per_second=graph.num_edges / seconds if seconds > 0 else None,
            engine_seconds=run.engine_seconds,
            details=run.details,
            **fields,
        )
        entry["_value"] = run.value
        return entry

    def run_in_process(self, system, algorithm, call, fields):
        try:
            if (system.name, algorithm) not in self.warmed:
                fields["cold_seconds"] = call().seconds
                self.warmed.add((system.name, algorithm))
            return "ok", timed_calls(call, self.args.repeat, self.args.budget)
        except Exception as error:
            return "failed", f"{type(error).__name__}: {error}"

    def check_agreement(self, graph, graph_id, answers):
        """Every answer against vorlan_cuda's (or, where it did not run, the
        first system's); each result gets `agrees` True, False or None."""
        for algorithm, by_system in answers.items():
            names = list(by_system)
            reference = "vorlan_cuda" if "vorlan_cuda" in by_system else names[0]
            for entry in self.results:
                if (
                    entry["graph"] != graph_id
                    or entry["algorithm"] != algorithm
                    or entry["status"] != "ok"
                ):
                    continue
                if entry["system"] == reference:
                    entry["agrees"], entry["agreement"] = None, "reference"
                    continue
                why_not = None
                if algorithm == "pagerank":
                    why_not = analysis.pagerank_incomparable(
                        entry["system"], graph
                    ) or analysis.pagerank_incomparable(reference, graph)
                if why_not:
                    entry["agrees"], entry["agreement"] = None, why_not
                    continue
                agrees, note = analysis.agreement(
                    algorithm, by_system[reference], by_system[entry["system"]]
                )
                entry["agrees"], entry["agreement"] = bool(agrees), f"vs {reference}: {note}"


def our_results(comparison, graph_id):
    """vorlan_cuda's results on the graph `graph_id` that ran."""
    return [
        e
        for e in comparison.results
        if e["graph"] == graph_id and e["system"] == "vorlan_cuda" and e["status"] == "ok"
    ]


def add_floors(comparison, graph, graph_id, vorlan, handle, answers):
    """On a GPU: PageRank's time per iteration (the difference of two fixed
    iteration counts, so set-up and copies cancel) and BFS's time, each over
    the time its bytes need at the measured bandwidth."""
    for entry in our_results(comparison, graph_id):
        if entry["algorithm"] == "pagerank":
            few, many = 10, 30
            damping = comparison.params.damping
            best = {
                count: min(vorlan.pagerank_fixed(handle, count, damping) for _ in range(2))
                for count in (few, many)
            }
            per_iteration = (best[many] - best[few]) / (many - few)
            floor = analysis.floor_seconds(
                analysis.pagerank_iteration_bytes(graph.num_nodes, graph.num_edges),
                None,
                comparison.rates,
            )
            entry["floor"] = {
                "what": "one iteration",
                "measured_seconds": per_iteration,
                "floor_seconds": floor,
                "ratio": per_iteration / floor if floor and per_iteration > 0 else None,
            }
        elif entry["algorithm"] == "bfs":
            reached = answers["bfs"]["vorlan_cuda"] >= 0
            device, host = analysis.bfs_bytes(
                graph.num_nodes, int(reached.sum()), int(graph.degrees[reached].sum())
            )
            floor = analysis.floor_seconds(device, host, comparison.rates)
            seconds = entry["engine_seconds"]
            entry["floor"] = {
                "what": "one search",
                "measured_seconds": seconds,
                "floor_seconds": floor,
                "ratio": seconds / floor if floor else None,
            }


# Our algorithm names for the cost model's (bench/cost_model.py), which runs
# k-truss at k = 3 only.
COST_MODEL_NAMES = {
    "triangle_count": "triangle_count",
    "bfs": "bfs",
    "pagerank": "pagerank",
    "k_truss_3": "k_truss",
}


def load_cost_model(path):
    """The lower bounds of bench/cost_model.py's JSON: per algorithm, the
    (stored edges, seconds) of each R-MAT graph it counted. PageRank's is
    per iteration, since calls here run as many iterations as they need."""
    data = cli.read_json(path, "--cost-model")
    model = {}
    try:
        for name, algorithm in data["algorithms"].items():
            ours = COST_MODEL_NAMES.get(name)
            if ours is None:
                continue
            per_call = data.get("pagerank_iterations", 20) if ours == "pagerank" else 1
            points = sorted(
                (int(run["num_edges"]), float(run["predicted_seconds"]["lower_bound"]) / per_call)
                for run in algorithm["runs"]
            )
            if not points or any(edges <= 0 or not seconds > 0 for edges, seconds in points):
                raise ValueError(f"{name} needs runs of positive edges and seconds")
            model[ours] = points
    except (KeyError, TypeError, ValueError, AttributeError, ZeroDivisionError) as error:
        what = f"no {error}" if isinstance(error, KeyError) else str(error)
        raise cli.ToolError(
            f"--cost-model {path}: not the JSON of bench/cost_model.py ({what})"
        ) from None
    return model


def main(argv=None):
    args = parse_arguments(argv)
    cost_model = load_cost_model(args.cost_model) if args.cost_model else {}
    edge_lists = read_edge_lists(args.edge_list)
    systems, missing = available_systems(args.systems)
    if "vorlan_cuda" in missing:
        # A module that does not load must fail the run, not leave the peers to agree among themselves.
        raise cli.ToolError(
            f"vorlan_cuda is {missing['vorlan_cuda']}; leave it out of --systems "
            "to compare the peers alone"
        )
    vorlan = next((s for s in systems if s.name == "vorlan_cuda"), None)
    device_name = vorlan.device_name if vorlan else None
    software = device_name is not None and "software GPU" in device_name
    rates = bandwidth.measure(device_name) if vorlan and not software else None
    pagerank = {name: getattr(Params, name) for name in ("damping", "max_iterations", "tolerance")}
    meta = {
        "date": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
        "device": device_name,
        "software_gpu": software,
        "timing_label": analysis.SOFTWARE_LABEL if software else None,
        "host": {
            "python": platform.python_version(),
            "machine": platform.machine(),
            "cpus": os.cpu_count(),
            "platform": platform.platform(),
            # Peers' own threads (igraph's OpenMP, BLAS) follow these; on a
            # machine whose cores are busy, spinning OpenMP threads slow them.
            "thread_settings": {
                name: os.environ[name] for name in THREAD_VARIABLES if name in os.environ
            },
        },
        "systems": [s.name for s in systems],
        "missing_systems": missing,
        "algorithms": args.algorithm_names,
        "budget_seconds": args.budget,
        "repeat": args.repeat,
        "k": args.k,
        "pagerank": pagerank,
        "bandwidth": rates,
        "cost_model": args.cost_model,
        "quick": args.quick,
        "deadline_seconds": args.deadline,
        "graphs_not_run": [],
    }

    graphs = []
    save = lambda: write_json(args.json, meta, comparison, graphs, complete=False)  # noqa: E731
    comparison = Comparison(args, systems, rates if rates and rates.get("source") else None, save)
    for graph, made in make_graphs(args, edge_lists):
        if comparison.past_deadline():
            meta["graphs_not_run"].append(f"{graph.label}: past the --deadline")
            continue
        graph_id = f"{graph.family}-{graph.num_nodes}-{graph.num_edges}"
        graphs.append(
            {"id": graph_id, **graph.summary(), "source": graph.hub(), "generate_seconds": made}
        )
        print(
            f"{graph.label}: {graph.num_nodes:,} nodes, {graph.num_edges:,} stored edges "
            f"(made in {made:.1f} s)",
            flush=True,
        )
        comparison.run_graph(graph, graph_id)
        attach_cost_model(comparison, graph, graph_id, cost_model)
        print_graph(comparison, graph_id)
        save()

    # PageRank as users call it (directed, dangling nodes, weighted, personalised),
    # on the smallest and largest R-MAT scales, each system against NetworkX.
    scales = (
        sorted(set(args.scales.get("rmat") or [])) if "pagerank" in args.algorithm_names else []
    )
    meta["directed_pagerank"] = [
        row
        for scale in scales[:1] + scales[1:][-1:]
        for row in directed_pagerank.rows(scale, 1, meta["systems"])
    ]
    disagreements = write_json(args.json, meta, comparison, graphs, complete=True)
    disagreements += [
        {
            "system": row["system"],
            "algorithm": "pagerank_directed",
            "graph": row["graph"],
            "agreement": f"max |diff| {row['max_difference_from_networkx']:.2e} from NetworkX",
        }
        for row in meta["directed_pagerank"]
        if not row["agrees"] and "error" not in row
    ]
    for entry in disagreements:
        print(
            f"DISAGREES: {entry['system']} {entry['algorithm']} on {entry['graph']}: {entry['agreement']}",
            file=sys.stderr,
        )
    print(
        f"{len(comparison.results)} results, {len(disagreements)} disagreements; JSON in {args.json}"
    )
    failures = run_failures(comparison.results) + [
        f"{row['system']} pagerank_directed on {row['graph']}: {row['error']}"
        for row in meta["directed_pagerank"]
        if "error" in row
    ]
    for failure in failures:
        print(f"FAILED: {failure}", file=sys.stderr)
    return 1 if disagreements or failures else 0


def run_failures(results):
    """Why the run fails apart from disagreements: each failed call of ours,
    and a run in which no answer was held against another system's."""
    failures = [
        f"vorlan_cuda {e['algorithm']} on {e['graph']}: {e['note']}"
        for e in results
        if e["system"] == "vorlan_cuda" and e["status"] == "failed"
    ]
    if not any(e.get("agrees") is not None for e in results):
        failures.append("nothing was compared: no answer was checked against another system's")
    return failures


def write_json(path, meta, comparison, graphs, complete):
    """Writes everything measured so far; returns the disagreeing results.
    The summaries (each time over the fastest peer's, the growth fits) are
    worked out once, for the complete run; a file saved on the way holds the
    results alone, and bench.report works its summaries out when it draws it."""
    if complete:
        analysis.add_ratios(comparison.results, meta["software_gpu"])
    disagreements = [e for e in comparison.results if e.get("agrees") is False]
    meta = dict(meta, complete=complete, total_seconds=time.perf_counter() - comparison.started)
    # An answer is held on its entry (as "_value") only until it is compared.
    results = [
        {key: value for key, value in e.items() if not key.startswith("_")}
        for e in comparison.results
    ]
    data = {
        "meta": meta,
        "graphs": graphs,
        "loads": comparison.loads,
        "results": results,
        "growth": analysis.growth(comparison.results, graphs) if complete else [],
        "disagreements": len(disagreements),
    }
    cli.write_json_atomically(path, analysis.json_ready(data))
    return disagreements


def attach_cost_model(comparison, graph, graph_id, cost_model):
    """Places the cost model's predicted floor beside vorlan_cuda's R-MAT
    times: at a size it counted, its own figure; elsewhere the nearest one's
    scaled by the fitted exponent, and marked as extrapolated."""
    if graph.family != "rmat" or not cost_model:
        return
    for entry in our_results(comparison, graph_id):
        if entry["algorithm"] == "k_truss" and comparison.args.k != 3:
            continue
        points = cost_model.get(entry["algorithm"])
        if not points:
            continue
        floor, basis = analysis.floor_at(points, graph.num_edges)
        if entry["algorithm"] == "pagerank":
            floor *= entry["details"]["iterations"]
        entry["predicted_floor_seconds"], entry["predicted_floor_basis"] = floor, basis


def print_graph(comparison, graph_id):
    for entry in comparison.results:
        if entry["graph"] != graph_id:
            continue
        if entry["status"] == "ok":
            agrees = {True: "agrees", False: "DISAGREES", None: ""}[entry.get("agrees")]
            print(
                f"  {entry['algorithm']:<15} {entry['system']:<12} {entry['seconds'] * 1000:10.2f} ms  {agrees}",
                flush=True,
            )
        elif entry["status"] != "not offered":
            print(
                f"  {entry['algorithm']:<15} {entry['system']:<12} {analysis.outcome_text(entry)}",
                flush=True,
            )


if __name__ == "__main__":
    sys.exit(cli.run(main))
