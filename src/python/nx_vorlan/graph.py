"""The backend's graph: a NetworkX graph's adjacency as CSR, held on the GPU.

Node i is the i-th node of `list(G)`. Two CSR views of the adjacency exist:

- host `offsets`/`targets` in NetworkX's own neighbour order, which is what
  makes BFS layers and k-truss results come out in NetworkX's order;
- on the GPU each list sorted ascending, without self-loops (the canonical
  form the triangle and k-truss kernels need, and BFS does not mind). PageRank
  counts self-loops, so a graph that has some gets a second upload with them
  kept, the first time PageRank asks for it.
"""

import itertools

import numpy as np
import vorlan_cuda

from nx_vorlan.checks import uniform_weight
from nx_vorlan.device import default_device

U32_MAX = 2**32 - 1


class VorlanGraph:
    """A NetworkX graph converted for the vorlan backend (read-only snapshot)."""

    __networkx_backend__ = "vorlan"

    def __init__(
        self,
        *,
        nodes,
        offsets,
        targets,
        directed,
        multigraph,
        graph_class,
        graph_attrs=None,
        node_data=None,
        edge_data=None,
        uniform_weights=None,
    ):
        self.nodes = nodes
        self.offsets = offsets  # int64, len(nodes) + 1
        self.targets = targets  # uint32, NetworkX's neighbour order
        self._directed = directed
        self._multigraph = multigraph
        self.graph_class = graph_class
        self.graph = {} if graph_attrs is None else graph_attrs
        self.node_data = node_data  # list of the nodes' attribute dicts, or None
        self.edge_data = edge_data  # list aligned with targets, or None
        # weight attribute -> whether every edge has the same usable value
        self.uniform_weights = {} if uniform_weights is None else uniform_weights
        self.__networkx_cache__ = {}
        self._index = None
        self._rows = None
        self._gpu = {}
        self._canonical = canonical_lists(self.rows, targets, len(nodes))

    # -- what NetworkX and the algorithms ask of a graph --------------------

    def is_directed(self):
        return self._directed

    def is_multigraph(self):
        return self._multigraph

    def __len__(self):
        return len(self.nodes)

    def number_of_nodes(self):
        return len(self.nodes)

    def __contains__(self, node):
        try:
            return node in self.index
        except TypeError:
            return False

    @property
    def index(self):
        """node -> position in `nodes`."""
        if self._index is None:
            self._index = dict(zip(self.nodes, range(len(self.nodes))))
        return self._index

    @property
    def rows(self):
        """The node of each entry of `targets`."""
        if self._rows is None:
            degrees = np.diff(self.offsets)
            self._rows = np.repeat(np.arange(len(self.nodes), dtype=np.uint32), degrees)
        return self._rows

    @property
    def has_self_loops(self):
        return self._canonical.loops > 0

    @property
    def loop_free_degrees(self):
        return np.diff(self._canonical.offsets)

    # -- the GPU copies -----------------------------------------------------

    def gpu_graph(self, *, self_loops=False):
        """The sorted CSR on the default device; with self-loops only on request."""
        key = bool(self_loops and self.has_self_loops)
        if key not in self._gpu:
            if key:
                offsets, targets = sorted_lists(self.rows, self.targets, self.offsets)
            else:
                offsets, targets = self._canonical.offsets, self._canonical.targets
            self._gpu[key] = vorlan_cuda.GpuGraph.from_csr(
                offsets.astype(np.uint32), targets, default_device()
            )
        return self._gpu[key]

    def upload(self):
        """Uploads the canonical graph now rather than at the first algorithm."""
        self.gpu_graph()
        return self


class _Canonical:
    __slots__ = ("offsets", "targets", "loops")

    def __init__(self, offsets, targets, loops):
        self.offsets, self.targets, self.loops = offsets, targets, loops


def sorted_lists(rows, targets, offsets):
    """Each CSR list sorted ascending (lists already sorted are left alone)."""
    if len(targets) < 2:
        return offsets, targets
    rising = targets[1:] > targets[:-1]
    # A list's first entry need not exceed the previous list's last one.
    starts = offsets[1:-1]
    rising[starts[(starts > 0) & (starts < len(targets))] - 1] = True
    if rising.all():
        return offsets, targets
    keys = (rows.astype(np.uint64) << np.uint64(32)) | targets
    keys.sort()
    return offsets, (keys & np.uint64(0xFFFFFFFF)).astype(np.uint32)


def canonical_lists(rows, targets, n):
    """Sorted lists without self-loops: what the GPU kernels are fastest on."""
    loops_at = rows == targets
    loops = int(np.count_nonzero(loops_at))
    if loops:
        kept = ~loops_at
        rows, targets = rows[kept], targets[kept]
    offsets = np.zeros(n + 1, dtype=np.int64)
    np.cumsum(np.bincount(rows, minlength=n), out=offsets[1:])
    offsets, targets = sorted_lists(rows, targets, offsets)
    return _Canonical(offsets, np.ascontiguousarray(targets, dtype=np.uint32), loops)


def from_networkx(G, *, edge_data=False, node_data=False, graph_data=False, weights=None):
    """Converts G; `weights` ({attribute: default}) are the edge attributes whose
    uniformity PageRank needs to know."""
    nodes = list(G)
    n = len(nodes)
    if n > U32_MAX:
        raise NotImplementedError("the vorlan backend holds fewer than 2**32 nodes")
    adj = G._adj
    lists = list(map(adj.__getitem__, nodes))
    if not isinstance(adj, dict):
        # A view's filtered lists may report lengths other than what they
        # yield (a multigraph's edge subgraph does): take what they yield.
        lists = [dict(nbrs.items()) for nbrs in lists]
    degrees = np.fromiter(map(len, lists), dtype=np.int64, count=n)
    offsets = np.zeros(n + 1, dtype=np.int64)
    np.cumsum(degrees, out=offsets[1:])
    m = int(offsets[-1])
    if m > U32_MAX:
        raise NotImplementedError("the vorlan backend holds fewer than 2**32 adjacency entries")
    index = dict(zip(nodes, range(n)))
    targets = np.fromiter(
        map(index.__getitem__, itertools.chain.from_iterable(lists)), dtype=np.uint32, count=m
    )
    graph = VorlanGraph(
        nodes=nodes,
        offsets=offsets,
        targets=targets,
        directed=G.is_directed(),
        multigraph=G.is_multigraph(),
        graph_class=G.__class__,
        graph_attrs=dict(G.graph) if graph_data else None,
        node_data=list(map(G._node.__getitem__, nodes)) if node_data else None,
        edge_data=(
            list(itertools.chain.from_iterable(nbrs.values() for nbrs in lists))
            if edge_data
            else None
        ),
        uniform_weights={
            attr: uniform_weight(G, attr, default) for attr, default in (weights or {}).items()
        },
    )
    graph._index = index
    return graph.upload()


def to_networkx(graph):
    """A new NetworkX graph of the converted graph's class, with what it kept.

    Without edge data a multigraph comes back with one edge per neighbour pair:
    the conversion keeps only who is adjacent to whom.
    """
    G = graph.graph_class()
    G.graph.update(graph.graph)
    nodes = graph.nodes
    if graph.node_data is None:
        G.add_nodes_from(nodes)
    else:
        G.add_nodes_from(zip(nodes, (d.copy() for d in graph.node_data)))
    rows, targets = graph.rows, graph.targets
    # An undirected edge is stored from both ends; add it once.
    positions = np.arange(len(targets)) if graph.is_directed() else np.flatnonzero(rows <= targets)
    heads = map(nodes.__getitem__, rows[positions].tolist())
    tails = map(nodes.__getitem__, targets[positions].tolist())
    if graph.edge_data is None:
        G.add_edges_from(zip(heads, tails))
        return G
    data = map(graph.edge_data.__getitem__, positions.tolist())
    if graph.is_multigraph():
        G.add_edges_from(
            (u, v, key, d.copy())
            for u, v, keys in zip(heads, tails, data)
            for key, d in keys.items()
        )
    else:
        G.add_edges_from((u, v, d.copy()) for u, v, d in zip(heads, tails, data))
    return G
