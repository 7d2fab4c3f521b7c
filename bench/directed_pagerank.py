"""PageRank as users run it: a directed R-MAT graph with dangling nodes,
weighted edges and a personalization vector, in GpuGraph.pagerank_directed,
NetworkX, SciPy and igraph, with their answers checked against each other.

    python3 -m bench.directed_pagerank [--scales 10 12] [--repeat N] [--json FILE]

NetworkX's iteration (len(G) * tol on the L1 change) is run by vorlan_cuda,
NetworkX and the SciPy power iteration, which must agree with NetworkX to
1e-10 per node. igraph solves the same system exactly (PRPACK), which the
iterates approach only to within their stopping rule: it must agree to 1e-9
per node with the SciPy iteration run to a tolerance of 1e-15. Times are the
best of --repeat runs, the graph already loaded in each system.
"""

import sys

import numpy as np
from vorlan_graphs import rmat_edges

from bench import cli
from bench.timing import best_time

ALPHA = 0.85
TOL = 1e-6
MAX_ITER = 200
ITERATED_AGREEMENT = 1e-10
EXACT_AGREEMENT = 1e-9


class Case:
    """Edges (distinct pairs, sorted by source), weights and vectors of one graph."""

    def __init__(self, scale, edge_factor=8, seed=1, dangling_share=0.2):
        n = 1 << scale
        rng = np.random.default_rng(seed)
        sources, targets = rmat_edges(scale, edge_factor << scale, seed=seed)
        # A fifth of the nodes lose their out-edges: web pages without links.
        keep = rng.random(n)[sources] >= dangling_share
        pairs = np.unique(sources[keep].astype(np.int64) * n + targets[keep])
        self.n = n
        self.sources, self.targets = pairs // n, pairs % n
        self.weights = rng.uniform(0.5, 2.0, len(pairs))
        self.personalization = rng.random(n) * (rng.random(n) < 0.05)
        self.personalization[0] += 1.0  # never all zero
        self.offsets = np.zeros(n + 1, dtype=np.uint32)
        np.cumsum(np.bincount(self.sources, minlength=n), out=self.offsets[1:])
        self.dangling = int(np.count_nonzero(np.diff(self.offsets) == 0))

    def networkx(self):
        import networkx as nx

        G = nx.DiGraph()
        G.add_nodes_from(range(self.n))
        G.add_weighted_edges_from(
            zip(self.sources.tolist(), self.targets.tolist(), self.weights.tolist())
        )
        return G


def scipy_pagerank(case, tol=TOL, max_iter=MAX_ITER):
    """NetworkX's power iteration, written over a SciPy sparse matrix."""
    import scipy.sparse as sp

    n = case.n
    A = sp.csr_array((case.weights, (case.sources, case.targets)), shape=(n, n))
    out = np.asarray(A.sum(axis=1)).ravel()
    dangling = out == 0
    inverse = np.divide(1.0, out, out=np.zeros(n), where=~dangling)
    P = (sp.diags_array(inverse) @ A).T.tocsr()
    p = case.personalization / case.personalization.sum()
    x = np.full(n, 1.0 / n)
    for _ in range(max_iter):
        last = x
        x = ALPHA * (P @ x + x[dangling].sum() * p) + (1 - ALPHA) * p
        if np.abs(x - last).sum() < n * tol:
            return x
    raise RuntimeError("SciPy power iteration did not converge")


def systems(case):
    """{name: (load, run(loaded) -> ranks)} of every importable system."""
    found = {}
    try:
        import vorlan_cuda

        device = vorlan_cuda.GpuDevice(0)
        found["vorlan_cuda"] = (
            lambda: vorlan_cuda.GpuGraph.from_csr(
                case.offsets, case.targets.astype(np.uint32), device
            ),
            lambda g: np.array(
                g.pagerank_directed(
                    alpha=ALPHA,
                    max_iterations=MAX_ITER,
                    tolerance=TOL,
                    weights=case.weights,
                    personalization=case.personalization,
                )["ranks"]
            ),
        )
    except ImportError:
        pass
    try:
        import networkx as nx

        personal = dict(enumerate(case.personalization.tolist()))
        found["networkx"] = (
            case.networkx,
            lambda G: np.array(
                list(nx.pagerank(G, ALPHA, personal, MAX_ITER, TOL, backend="networkx").values())
            ),
        )
    except ImportError:
        pass
    found["scipy"] = (lambda: case, scipy_pagerank)
    try:
        import igraph

        found["igraph"] = (
            lambda: igraph.Graph(
                n=case.n,
                edges=list(zip(case.sources.tolist(), case.targets.tolist())),
                directed=True,
            ),
            lambda g: np.array(
                g.personalized_pagerank(
                    directed=True,
                    damping=ALPHA,
                    reset=case.personalization.tolist(),
                    weights=case.weights.tolist(),
                )
            ),
        )
    except ImportError:
        pass
    return found


def rows(scale, repeat, names=None):
    """One row per system (of `names`, default all), each with its largest
    difference from NetworkX (or from SciPy, without NetworkX)."""
    case = Case(scale)
    results = {}
    failures = {}
    for name, (load, run) in systems(case).items():
        if names is not None and name not in names and name != "scipy":
            continue
        try:
            loaded = load()
            run(loaded)  # compiles kernels, fills caches
            timed = best_time(lambda: run(loaded), repeat)
            results[name] = (timed.seconds, timed.result)
        except Exception as error:  # noqa: BLE001 - a failed call is a row of its own
            failures[name] = f"{type(error).__name__}: {error}"
    reference = results.get("networkx", results["scipy"])[1]
    solution = scipy_pagerank(case, tol=1e-15, max_iter=10_000)
    table = [
        {"graph": f"directed-rmat-{scale}", "system": name, "error": error, "agrees": False}
        for name, error in failures.items()
    ]
    for name, (seconds, ranks) in results.items():
        difference = float(np.abs(ranks - reference).max())
        if name == "igraph":
            agrees = float(np.abs(ranks - solution).max()) < EXACT_AGREEMENT
        else:
            agrees = difference < ITERATED_AGREEMENT
        table.append(
            {
                "graph": f"directed-rmat-{scale}",
                "nodes": case.n,
                "edges": len(case.targets),
                "dangling": case.dangling,
                "system": name,
                "seconds": seconds,
                "max_difference_from_networkx": difference,
                "agrees": agrees,
            }
        )
    return table


def main(argv=None):
    parser = cli.Parser(description=__doc__.splitlines()[0])
    parser.add_argument("--scales", type=cli.integer_at_least(1), nargs="*", default=[10, 12])
    parser.add_repeat(2)
    parser.add_argument("--json", help="write the rows here")
    args = parser.parse_args(argv)
    table = []
    for scale in args.scales:
        for row in rows(scale, args.repeat):
            table.append(row)
            if "error" in row:
                print(f"{row['graph']:>18} {row['system']:<12} FAILED: {row['error']}")
                continue
            print(
                f"{row['graph']:>18} {row['edges']:>9} edges {row['dangling']:>7} dangling "
                f"{row['system']:<12} {row['seconds']:.4f} s  max |diff| "
                f"{row['max_difference_from_networkx']:.2e}  "
                f"{'agrees' if row['agrees'] else 'DIFFERS'}"
            )
    if args.json:
        cli.write_json_atomically(args.json, table)
    return 0 if all(row["agrees"] for row in table) else 1


if __name__ == "__main__":
    sys.exit(cli.run(main))
