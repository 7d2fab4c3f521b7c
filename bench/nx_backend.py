"""NetworkX with and without the vorlan backend, on the same graphs in one run.

    python3 -m bench.nx_backend [--conversion-edges 1000000] [--scales 10 12]
                                [--repeat 3] [--json FILE]

Two tables:
  conversion  BackendInterface.convert_from_nx(G) (CSR arrays, sorting, the
              upload to the device) against nx.to_scipy_sparse_array(G), the
              conversion NetworkX itself makes for its SciPy algorithms, on an
              undirected R-MAT graph of --conversion-edges edges;
  functions   each backed function through backend="vorlan", with the graph's
              conversion already cached (as from the second call on), against
              NetworkX's own implementation, on R-MAT graphs of 2**scale nodes
              and 8 edges per node. "gpu_seconds" is the time the GPU work
              reported in the same run, "host_seconds" the rest of the
              backend's time (dispatch, results into NetworkX's form), which
              no GPU shortens. Every answer is checked against NetworkX's.
Best of --repeat runs each. On the software GPU every backend time is that
of the CPU interpreter and says nothing about a GPU. Bad arguments and an
unwritable --json are refused in one line, exit status 2, before any work.
"""

import sys

import networkx as nx
import numpy as np
from nx_vorlan.device import default_device, on_software_gpu
from nx_vorlan.interface import BackendInterface
from vorlan_graphs import rmat_edges

from bench import cli
from bench.directed_pagerank import Case
from bench.timing import best_time

SOFTWARE_LABEL = "software GPU (CPU interpreter), not a GPU timing"


def rmat_nx_graph(scale, num_edges, seed=1):
    """The undirected simple graph on R-MAT edges; nodes only where edges are
    (so that PageRank has no isolated node to decline)."""
    sources, targets = rmat_edges(scale, num_edges, seed=seed)
    keep = sources != targets
    G = nx.Graph()
    G.add_edges_from(zip(sources[keep].tolist(), targets[keep].tolist()))
    return G


def conversion_row(G, repeat):
    baseline = best_time(lambda: nx.to_scipy_sparse_array(G), repeat).seconds
    converted, _, graph = best_time(lambda: BackendInterface.convert_from_nx(G), repeat)
    return {
        "nodes": len(G),
        "edges": G.number_of_edges(),
        "adjacency_entries": len(graph.targets),
        "to_scipy_sparse_array_seconds": baseline,
        "convert_from_nx_seconds": converted,
        "ratio": converted / baseline,
    }


_TIMED_METHODS = {
    "bfs",
    "bfs_tree",
    "pagerank",
    "pagerank_directed",
    "k_truss",
    "triangle_count",
    "connected_components",
    "triangles_per_node",
    "core_number",
}


class _TimedGpuGraph:
    """A GpuGraph whose algorithm calls add their time_seconds to a total."""

    def __init__(self, gpu, total):
        self.gpu, self.total = gpu, total

    def __getattr__(self, name):
        method = getattr(self.gpu, name)
        if name not in _TIMED_METHODS:
            return method

        def call(*args, **kwargs):
            result = method(*args, **kwargs)
            self.total[0] += result["time_seconds"]
            return result

        return call


def _gpu_seconds(function):
    """function's result and the GPU time it reported; the backend reaches
    the GPU only through VorlanGraph.gpu_graph()."""
    from nx_vorlan.graph import VorlanGraph

    total = [0.0]
    plain = VorlanGraph.gpu_graph
    VorlanGraph.gpu_graph = lambda self, **kw: _TimedGpuGraph(plain(self, **kw), total)
    try:
        result = function()
    finally:
        VorlanGraph.gpu_graph = plain
    return total[0], result


def _ranks_agree(a, b):
    return list(a) == list(b) and max(abs(a[v] - b[v]) for v in a) < 1e-10


def _same_graph(a, b):
    """Equal graphs, node and neighbour order included."""
    return list(a.nodes) == list(b.nodes) and [list(a[v]) for v in a] == [list(b[v]) for v in b]


def _far_node(G, source):
    """The last node of G: a target for the path functions."""
    return list(G)[-1]


# (name, call with a backend keyword, how to compare two answers)
FUNCTIONS = [
    (
        "single_source_shortest_path_length",
        lambda G, s, **kw: nx.single_source_shortest_path_length(G, s, **kw),
        lambda a, b: list(a.items()) == list(b.items()),
    ),
    (
        "shortest_path_length",
        lambda G, s, **kw: nx.shortest_path_length(G, s, **kw),
        lambda a, b: list(a.items()) == list(b.items()),
    ),
    (
        "descendants_at_distance",
        lambda G, s, **kw: nx.descendants_at_distance(G, s, 2, **kw),
        lambda a, b: a == b,
    ),
    ("bfs_layers", lambda G, s, **kw: list(nx.bfs_layers(G, s, **kw)), lambda a, b: a == b),
    ("transitivity", lambda G, s, **kw: nx.transitivity(G, **kw), lambda a, b: a == b),
    (
        "pagerank",
        lambda G, s, **kw: nx.pagerank(G, weight=None, **kw),
        _ranks_agree,
    ),
    (
        "k_truss",
        lambda G, s, **kw: nx.k_truss(G, 3, **kw),
        lambda a, b: nx.utils.graphs_equal(a, b),
    ),
    (
        "connected_components",
        lambda G, s, **kw: list(nx.connected_components(G, **kw)),
        lambda a, b: a == b,
    ),
    (
        "number_connected_components",
        lambda G, s, **kw: nx.number_connected_components(G, **kw),
        lambda a, b: a == b,
    ),
    ("is_connected", lambda G, s, **kw: nx.is_connected(G, **kw), lambda a, b: a == b),
    (
        "node_connected_component",
        lambda G, s, **kw: nx.node_connected_component(G, s, **kw),
        lambda a, b: a == b,
    ),
    ("bfs_edges", lambda G, s, **kw: list(nx.bfs_edges(G, s, **kw)), lambda a, b: a == b),
    ("bfs_tree", lambda G, s, **kw: nx.bfs_tree(G, s, **kw), _same_graph),
    (
        "bfs_predecessors",
        lambda G, s, **kw: list(nx.bfs_predecessors(G, s, **kw)),
        lambda a, b: a == b,
    ),
    (
        "bfs_successors",
        lambda G, s, **kw: list(nx.bfs_successors(G, s, **kw)),
        lambda a, b: a == b,
    ),
    (
        "predecessor",
        lambda G, s, **kw: nx.predecessor(G, s, **kw),
        lambda a, b: list(a.items()) == list(b.items()),
    ),
    (
        "single_source_shortest_path",
        lambda G, s, **kw: nx.single_source_shortest_path(G, s, cutoff=3, **kw),
        lambda a, b: list(a.items()) == list(b.items()),
    ),
    (
        "shortest_path",
        lambda G, s, **kw: nx.shortest_path(G, s, _far_node(G, s), **kw),
        lambda a, b: a == b,
    ),
    ("has_path", lambda G, s, **kw: nx.has_path(G, s, _far_node(G, s), **kw), lambda a, b: a == b),
    (
        "triangles",
        lambda G, s, **kw: nx.triangles(G, **kw),
        lambda a, b: list(a.items()) == list(b.items()),
    ),
    (
        "clustering",
        lambda G, s, **kw: nx.clustering(G, **kw),
        lambda a, b: list(a.items()) == list(b.items()),
    ),
    ("average_clustering", lambda G, s, **kw: nx.average_clustering(G, **kw), lambda a, b: a == b),
    (
        "core_number",
        lambda G, s, **kw: nx.core_number(G, **kw),
        lambda a, b: list(a.items()) == list(b.items()),
    ),
    ("k_core", lambda G, s, **kw: nx.k_core(G, **kw), _same_graph),
    ("k_shell", lambda G, s, **kw: nx.k_shell(G, 2, **kw), _same_graph),
    ("k_crust", lambda G, s, **kw: nx.k_crust(G, **kw), _same_graph),
]


def _directed_pagerank(G, s, **kw):
    # s: the personalization of the directed case
    return nx.pagerank(G, personalization=s, **kw)


def _forget_results(G):
    """Empties what the converted graphs keep of earlier answers (labels,
    counts, the last search), so that every timed call runs its GPU work;
    the conversion itself stays cached."""
    cache = getattr(G, "__networkx_cache__", None) or {}
    for converted in cache.get("backends", {}).get("vorlan", {}).values():
        converted.__networkx_cache__.clear()


def function_rows(scale, repeat):
    G = rmat_nx_graph(scale, 8 << scale, seed=scale)
    source = next(iter(G))
    # PageRank as users call it: directed, dangling nodes, weighted, personalised.
    case = Case(scale, seed=scale)
    directed = ("pagerank directed", _directed_pagerank, _ranks_agree)
    personal = dict(enumerate(case.personalization.tolist()))
    rows = []
    for name, call, agree in FUNCTIONS + [directed]:
        if call is _directed_pagerank:
            G, source, label = case.networkx(), personal, f"directed-rmat-{scale}"
        else:
            label = f"rmat-{scale}"
        nx_seconds, _, expected = best_time(lambda: call(G, source), repeat)
        call(G, source, backend="vorlan")  # converts (and caches) and compiles the kernels
        backend_seconds, _, (gpu_seconds, got) = best_time(
            lambda: _gpu_seconds(
                lambda: (_forget_results(G), call(G, source, backend="vorlan"))[1]
            ),
            repeat,
        )
        rows.append(
            {
                "graph": label,
                "nodes": len(G),
                "edges": G.number_of_edges(),
                "function": name,
                "networkx_seconds": nx_seconds,
                "backend_seconds": backend_seconds,
                "gpu_seconds": gpu_seconds,
                "host_seconds": backend_seconds - gpu_seconds,
                "speedup": nx_seconds / backend_seconds,
                "agrees": bool(agree(got, expected)),
            }
        )
    return rows


def main(argv=None):
    parser = cli.Parser(description=__doc__.splitlines()[0])
    parser.add_argument("--conversion-edges", type=cli.integer_at_least(1), default=1_000_000)
    parser.add_argument("--scales", type=cli.integer_at_least(1), nargs="*", default=[10, 12])
    parser.add_repeat(3)
    parser.add_argument("--json", help="write the results here")
    args = parser.parse_args(argv)
    nx.config.warnings_to_ignore.add("cache")
    software = on_software_gpu()
    report = {
        "device": default_device().name,
        "label": SOFTWARE_LABEL if software else None,
        "networkx": nx.__version__,
    }
    # R-MAT at 8 edges per node keeps about 7 distinct undirected edges per node.
    scale = max(1, int(np.ceil(np.log2(args.conversion_edges / 7))))
    G = rmat_nx_graph(scale, int(args.conversion_edges * 8 / 7), seed=2)
    report["conversion"] = conversion_row(G, args.repeat)
    del G
    row = report["conversion"]
    print(
        f"conversion, {row['edges']} edges: convert_from_nx {row['convert_from_nx_seconds']:.3f} s, "
        f"to_scipy_sparse_array {row['to_scipy_sparse_array_seconds']:.3f} s, "
        f"ratio {row['ratio']:.2f}"
    )
    report["functions"] = []
    for scale in args.scales:
        for row in function_rows(scale, args.repeat):
            report["functions"].append(row)
            print(
                f"{row['graph']:>8} {row['function']:<36} networkx {row['networkx_seconds']:.4f} s"
                f"  vorlan {row['backend_seconds']:.4f} s (GPU {row['gpu_seconds']:.4f} s,"
                f" host {row['host_seconds']:.4f} s)"
                f"  x{row['speedup']:.2f}  {'agrees' if row['agrees'] else 'DIFFERS'}"
            )
    if software:
        print(f"vorlan times: {SOFTWARE_LABEL}")
    if args.json:
        cli.write_json_atomically(args.json, report)
    if not all(row["agrees"] for row in report["functions"]):
        print("some answers differ from NetworkX's", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(cli.run(main))
