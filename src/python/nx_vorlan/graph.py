"""The backend's graph: a NetworkX graph's adjacency as CSR, held on the GPU.

Node i is the i-th node of `list(G)`. Two CSR views of the adjacency exist:

- host `offsets`/`targets` in NetworkX's own neighbour order, which is what
  makes BFS layers and k-truss results come out in NetworkX's order;
- on the GPU each list sorted ascending, without self-loops (the canonical
  form the triangle and k-truss kernels need, and BFS does not mind). PageRank
  wants the lists as NetworkX stores them, self-loops and all, with weights
  aligned with them: that is a second upload, made the first time it asks.

Edge weights are read when the graph is converted, as one float64 array per
attribute the call names, and kept with the conversion (never with the
NetworkX graph, whose changes the conversion does not see: NetworkX decides
when a conversion is reused). A conversion that kept every attribute reads
weights from them at each call, so it answers as a fresh conversion would.
"""

import itertools
import operator

import numpy as np
import vorlan_cuda

from nx_vorlan.device import default_device
from nx_vorlan.in_lists import remember_origin

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
        weights=None,
        multiplicity=None,
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
        # weight attribute -> float64 per entry of targets (None: not numbers)
        self.weights = {} if weights is None else weights
        # a multigraph's parallel edges per entry of targets, else None
        self.multiplicity = multiplicity
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

    def edge_weights(self, attr, default=1):
        """float64 `attr` per entry of targets (`default` where an edge lacks it);
        for attr None, 1 per edge: None on a simple graph, where every entry is
        one edge, and the count of parallel edges on a multigraph.

        Raises NotImplementedError for values that are not real numbers, which
        NetworkX refuses in its own way.
        """
        if attr is None:
            return None if self.multiplicity is None else self.multiplicity.astype(np.float64)
        if attr in self.weights:
            values = self.weights[attr]
        elif self.edge_data is not None:
            values = edge_weights(self.edge_data, attr, default, self._multigraph)
        else:  # converted without it: no edge carries it
            values = np.full(len(self.targets), float(default))
            if self.multiplicity is not None:
                values *= self.multiplicity
        if values is None:
            raise NotImplementedError(f"edge attribute {attr!r} holds values that are not numbers")
        return values

    # -- the GPU copies -----------------------------------------------------

    def gpu_graph(self, *, self_loops=False, as_stored=False):
        """The sorted CSR on the default device; with self-loops only on request;
        or, as_stored, the lists in NetworkX's order, aligned with `weights`."""
        key = "stored" if as_stored else bool(self_loops and self.has_self_loops)
        if key not in self._gpu:
            if key == "stored":
                offsets, targets = self.offsets, self.targets
            elif key:
                offsets, targets = sorted_lists(self.rows, self.targets, self.offsets)
            else:
                offsets, targets = self._canonical.offsets, self._canonical.targets
            self._gpu[key] = vorlan_cuda.GpuGraph.from_csr(
                offsets.astype(np.uint32), targets, default_device()
            )
        return self._gpu[key]

    def ordered_gpu_graph(self):
        """The GPU graph whose lists are in NetworkX's neighbour order: the
        canonical one when that is the order NetworkX keeps (sorted lists, no
        self-loops), otherwise the lists as stored."""
        if self._canonical.targets is self.targets:
            return self.gpu_graph()
        return self.gpu_graph(as_stored=True)

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


def edge_weights(data, attr, default, multigraph):
    """float64 `attr` of each edge data dict (of each key's, summed, in a multigraph),
    or None when some value is not a real number."""
    get = operator.methodcaller("get", attr, default)
    try:
        if multigraph:
            return np.array([sum(map(get, keys.values())) for keys in data], dtype=np.float64)
        return np.fromiter(map(get, data), dtype=np.float64, count=len(data))
    except (TypeError, ValueError):
        return None


def from_networkx(G, *, edge_data=False, node_data=False, graph_data=False, weights=None):
    """Converts G; `weights` ({attribute: default}) are the edge attributes read
    as numbers."""
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
    data = (
        list(itertools.chain.from_iterable(nbrs.values() for nbrs in lists))
        if edge_data or weights or G.is_multigraph()
        else None
    )
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
        edge_data=data if edge_data else None,
        weights={
            attr: edge_weights(data, attr, default, G.is_multigraph())
            for attr, default in (weights or {}).items()
        },
        multiplicity=(
            np.fromiter(map(len, data), dtype=np.int64, count=m) if G.is_multigraph() else None
        ),
    )
    graph._index = index
    remember_origin(graph, G)
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
