"""The systems the comparison runs: vorlan_cuda and the CPU libraries people
use today for the same algorithms.

Each system turns a Graph into its own form once (`load`, timed apart) and
then answers the algorithms it offers. Every answer is brought to one shape so
that results can be compared across systems:

    triangle_count -> int (each triangle once)
    bfs            -> int64 array of hop distances, -1 where unreached
    pagerank       -> float64 array of ranks
    k_truss        -> sorted int64 array of u * num_nodes + v for surviving u < v
    connected_components -> int64 array: per node the smallest node of its component
    node_triangles -> int64 array: per node the triangles it lies on

An answer is a `Run`: the value, the seconds of the library call that made
it (bringing the answer to the common shape is not timed), plus what the
system says about itself (vorlan_cuda's own "time_seconds", PageRank's
iteration count).
"""

import importlib
import time
from dataclasses import dataclass, field

import numpy as np

ALGORITHMS = (
    "triangle_count",
    "bfs",
    "pagerank",
    "k_truss",
    "connected_components",
    "node_triangles",
)
# graph_tool and networkit have no adapter yet; naming them records why.
KNOWN_SYSTEMS = ("vorlan_cuda", "networkx", "scipy", "igraph", "graph_tool", "networkit")


@dataclass
class Params:
    """What every system is asked for. PageRank's fields default to
    vorlan_cuda's own defaults (GpuGraph.pagerank), which the comparison
    uses; the tests hold the two together."""

    source: int
    damping: float = 0.85
    max_iterations: int = 100
    tolerance: float = 1e-6
    k: int = 3


@dataclass
class Run:
    value: object
    seconds: float
    engine_seconds: float | None = None
    details: dict = field(default_factory=dict)


def timed(call, *args, **kwargs):
    """(what call returns, the seconds it took)."""
    started = time.perf_counter()
    result = call(*args, **kwargs)
    return result, time.perf_counter() - started


def edge_keys(sources, targets, num_nodes):
    """Undirected edges as sorted unique keys u * n + v with u < v."""
    sources = np.asarray(sources, dtype=np.int64)
    targets = np.asarray(targets, dtype=np.int64)
    low, high = np.minimum(sources, targets), np.maximum(sources, targets)
    return np.unique(low * num_nodes + high)


def smallest_members(membership):
    """Component ids per node -> per node the smallest node of its component."""
    membership = np.asarray(membership, dtype=np.int64)
    smallest = np.full(int(membership.max(initial=-1)) + 1, len(membership), dtype=np.int64)
    np.minimum.at(smallest, membership, np.arange(len(membership), dtype=np.int64))
    return smallest[membership]


def _importable(name):
    try:
        return importlib.import_module(name)
    except ImportError:
        return None


class VorlanCuda:
    name = "vorlan_cuda"
    # vorlan_cuda compiles each algorithm's kernels on its first call in the
    # process: that call is run once untimed.
    needs_warmup = True

    def __init__(self):
        import vorlan_cuda

        self.device = vorlan_cuda.GpuDevice(0)
        self.module = vorlan_cuda

    @property
    def device_name(self):
        return self.device.name

    def load(self, graph):
        return self.module.GpuGraph.from_csr(
            graph.offsets.tolist(), graph.targets.tolist(), self.device
        )

    def triangle_count(self, handle, graph, params):
        result, seconds = timed(handle.triangle_count)
        return Run(result["total_triangles"], seconds, result["time_seconds"])

    def bfs(self, handle, graph, params):
        result, seconds = timed(handle.bfs, params.source)
        return Run(
            np.array(result["distances"], dtype=np.int64),
            seconds,
            result["time_seconds"],
            {"max_depth": result["max_depth"]},
        )

    def pagerank(self, handle, graph, params):
        result, seconds = timed(
            handle.pagerank, params.damping, params.max_iterations, params.tolerance
        )
        return Run(
            np.array(result["ranks"]),
            seconds,
            result["time_seconds"],
            {"iterations": result["iterations"], "converged": result["converged"]},
        )

    def k_truss(self, handle, graph, params):
        result, seconds = timed(handle.k_truss, params.k)
        pairs = np.array(result["edges"], dtype=np.int64).reshape(-1, 2)
        return Run(
            edge_keys(pairs[:, 0], pairs[:, 1], graph.num_nodes),
            seconds,
            result["time_seconds"],
            {"iterations": result["iterations"]},
        )

    def connected_components(self, handle, graph, params):
        result, seconds = timed(handle.connected_components)
        labels = np.array(result["labels"], dtype=np.int64)
        return Run(labels, seconds, result["time_seconds"], {"rounds": result["rounds"]})

    def node_triangles(self, handle, graph, params):
        result, seconds = timed(handle.triangles_per_node)
        return Run(np.array(result["triangles"], dtype=np.int64), seconds, result["time_seconds"])

    def pagerank_fixed(self, handle, iterations, damping):
        """Engine seconds of exactly `iterations` PageRank iterations."""
        return handle.pagerank(damping, iterations, 0.0)["time_seconds"]


class NetworkX:
    name = "networkx"
    needs_warmup = False

    def __init__(self):
        import networkx

        self.nx = networkx

    def load(self, graph):
        g = self.nx.Graph()
        g.add_nodes_from(range(graph.num_nodes))
        g.add_edges_from(zip(*(side.tolist() for side in graph.upper_edges())))
        return g

    def triangle_count(self, g, graph, params):
        counts, seconds = timed(self.nx.triangles, g)
        return Run(sum(counts.values()) // 3, seconds)

    def bfs(self, g, graph, params):
        reached, seconds = timed(self.nx.single_source_shortest_path_length, g, params.source)
        distances = np.full(graph.num_nodes, -1, dtype=np.int64)
        distances[np.fromiter(reached.keys(), np.int64)] = np.fromiter(reached.values(), np.int64)
        return Run(distances, seconds)

    def pagerank(self, g, graph, params):
        # NetworkX stops when the L1 change is below num_nodes * tol; this
        # asks for the same test as ours, an L1 change below `tolerance`.
        ranks, seconds = timed(
            self.nx.pagerank,
            g,
            alpha=params.damping,
            max_iter=params.max_iterations,
            tol=params.tolerance / max(graph.num_nodes, 1),
        )
        return Run(np.array([ranks[v] for v in range(graph.num_nodes)]), seconds)

    def k_truss(self, g, graph, params):
        # NetworkX's k-truss keeps the edges in at least k - 2 triangles, as ours does.
        kept, seconds = timed(self.nx.k_truss, g, params.k)
        pairs = np.array(list(kept.edges()), dtype=np.int64).reshape(-1, 2)
        return Run(edge_keys(pairs[:, 0], pairs[:, 1], graph.num_nodes), seconds)

    def connected_components(self, g, graph, params):
        components, seconds = timed(lambda: list(self.nx.connected_components(g)))
        labels = np.empty(graph.num_nodes, dtype=np.int64)
        for members in components:
            labels[list(members)] = min(members)
        return Run(labels, seconds)

    def node_triangles(self, g, graph, params):
        counts, seconds = timed(self.nx.triangles, g)
        return Run(np.array([counts[v] for v in range(graph.num_nodes)], dtype=np.int64), seconds)


class SciPy:
    """SciPy's sparse matrices: csgraph's BFS, and the other three written as
    sparse products, PageRank with exactly vorlan_cuda's recurrence."""

    name = "scipy"
    needs_warmup = False

    def __init__(self):
        import scipy.sparse
        import scipy.sparse.csgraph

        self.sparse = scipy.sparse
        self.csgraph = scipy.sparse.csgraph

    def load(self, graph):
        index = np.int32 if graph.num_edges < 2**31 else np.int64
        data = np.ones(graph.num_edges, dtype=np.float32)
        shape = (graph.num_nodes, graph.num_nodes)
        return self.sparse.csr_matrix(
            (data, graph.targets.astype(index), graph.offsets.astype(index)), shape=shape
        )

    def triangle_count(self, a, graph, params):
        count, seconds = timed(self.triangles, a)
        return Run(count, seconds)

    def triangles(self, a):
        # Each triangle u > v > w is one path u-v-w in the strictly lower
        # triangle closed by the edge u-w.
        lower = self.sparse.tril(a, -1, format="csr")
        return int(round(float((lower @ lower).multiply(lower).sum(dtype=np.float64))))

    def bfs(self, a, graph, params):
        # Distances are what a BFS is asked for here; csgraph gives a tree,
        # so turning it into distances is part of SciPy's time.
        distances, seconds = timed(self.distances, a, params.source, graph.num_nodes)
        return Run(distances, seconds)

    def distances(self, a, source, num_nodes):
        order, parents = self.csgraph.breadth_first_order(
            a, source, directed=True, return_predecessors=True
        )
        return depths_from_parents(order, parents, source, num_nodes)

    def pagerank(self, a, graph, params):
        (ranks, details), seconds = timed(pagerank_power_iteration, a, graph.degrees, params)
        return Run(ranks, seconds, None, details)

    def k_truss(self, a, graph, params):
        live, seconds = timed(self.truss, a, params.k)
        rows = np.repeat(np.arange(graph.num_nodes, dtype=np.int64), np.diff(live.indptr))
        keep = rows < live.indices
        return Run(edge_keys(rows[keep], live.indices[keep], graph.num_nodes), seconds)

    def connected_components(self, a, graph, params):
        (_, membership), seconds = timed(self.csgraph.connected_components, a, directed=False)
        return Run(smallest_members(membership), seconds)

    def node_triangles(self, a, graph, params):
        # Row sums of (A @ A) masked by A: each triangle at u counted from both its edges.
        counts, seconds = timed(lambda: (a @ a).multiply(a).sum(axis=1, dtype=np.float64))
        return Run(np.rint(np.asarray(counts).ravel() / 2).astype(np.int64), seconds)

    def truss(self, a, k):
        """The adjacency matrix of the k-truss: edges peeled in rounds until
        every live edge has k - 2 live common neighbours."""
        live = a
        while True:
            # Support of each live edge: its common neighbours among live edges.
            support = (live @ live).multiply(live).tocsr()
            support.data = (support.data >= k - 2).astype(np.float32)
            support.eliminate_zeros()
            if support.nnz == live.nnz:
                return live
            live = support


def depths_from_parents(order, parents, source, num_nodes):
    """Hop distances from a BFS tree given as parent pointers: each node's
    depth by pointer jumping, log2(depth) vectorised steps."""
    depth = np.full(num_nodes, -1, dtype=np.int64)
    reached = np.asarray(order, dtype=np.int64)
    hop = np.zeros(num_nodes, dtype=np.int64)
    jump = np.arange(num_nodes, dtype=np.int64)
    others = reached[reached != source]
    hop[others] = 1
    jump[others] = parents[others]
    while True:
        pending = others[jump[others] != source]
        if len(pending) == 0:
            break
        # Both reads use the pointers of the previous step.
        hop_step = hop[jump[pending]]
        jump_step = jump[jump[pending]]
        hop[pending] += hop_step
        jump[pending] = jump_step
    depth[reached] = hop[reached]
    return depth


def pagerank_power_iteration(a, degrees, params):
    """vorlan_cuda's recurrence in float32: node v pulls rank / degree from
    every node in its own list; a node without out-edges passes nothing on;
    stop after the first iteration whose L1 change is below tolerance."""
    n = a.shape[0]
    damping = np.float32(params.damping)
    teleport = (np.float32(1) - damping) / np.float32(n)
    divisor = np.where(degrees > 0, degrees, 1).astype(np.float32)
    passes_on = degrees > 0
    ranks = np.full(n, np.float32(1) / np.float32(n), dtype=np.float32)
    iterations = 0
    converged = False
    tolerance = np.float32(params.tolerance)
    while iterations < params.max_iterations:
        contributions = np.where(passes_on, ranks / divisor, np.float32(0))
        new_ranks = (a @ contributions).astype(np.float32) * damping + teleport
        change = np.float32(np.abs(ranks - new_ranks).sum(dtype=np.float32))
        ranks = new_ranks
        iterations += 1
        if tolerance > change:
            converged = True
            break
    return ranks.astype(np.float64), {"iterations": iterations, "converged": converged}


class IGraph:
    name = "igraph"
    needs_warmup = False

    def __init__(self):
        import igraph

        self.ig = igraph

    def load(self, graph):
        sources, targets = graph.upper_edges()
        return self.ig.Graph(n=graph.num_nodes, edges=np.column_stack([sources, targets]).tolist())

    def triangle_count(self, g, graph, params):
        triangles, seconds = timed(g.list_triangles)
        return Run(len(triangles), seconds)

    def bfs(self, g, graph, params):
        (visited, layers, _), seconds = timed(g.bfs, params.source)
        distances = np.full(graph.num_nodes, -1, dtype=np.int64)
        level_sizes = np.diff(layers)
        distances[np.asarray(visited, dtype=np.int64)] = np.repeat(
            np.arange(len(level_sizes)), level_sizes
        )
        return Run(distances, seconds)

    def pagerank(self, g, graph, params):
        # PRPACK solves the linear system exactly; no iteration count.
        ranks, seconds = timed(g.pagerank, damping=params.damping)
        return Run(np.array(ranks), seconds)

    def connected_components(self, g, graph, params):
        components, seconds = timed(g.connected_components)
        return Run(smallest_members(components.membership), seconds)

    def node_triangles(self, g, graph, params):
        triangles, seconds = timed(g.list_triangles)
        corners = np.asarray(triangles, dtype=np.int64).ravel()
        return Run(np.bincount(corners, minlength=graph.num_nodes), seconds)


def available_systems(wanted):
    """The importable systems among `wanted` names, and a note for the others."""
    classes = {cls.name: cls for cls in (VorlanCuda, NetworkX, SciPy, IGraph)}
    systems, missing = [], {}
    for name in wanted:
        cls = classes.get(name)
        if cls is None:
            missing[name] = "not importable here" if _importable(name) is None else "no adapter yet"
            continue
        try:
            systems.append(cls())
        except ImportError as error:
            missing[name] = f"not importable here ({error})"
        except Exception as error:  # e.g. vorlan_cuda finds no GPU
            missing[name] = f"unavailable: {type(error).__name__}: {error}"
    return systems, missing
