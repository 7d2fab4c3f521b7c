"""Types of vorlan_cuda: graph analytics on an NVIDIA GPU."""

import sys
from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex, TypedDict, final, type_check_only

if sys.version_info >= (3, 12):
    from collections.abc import Buffer
else:
    from typing_extensions import Buffer

__all__ = ["GpuDevice", "GpuGraph"]

# What from_csr reads as u32 elements. Buffers of native-order integers
# (NumPy integer arrays, SciPy's indptr and indices, array.array, bytes) are
# copied at memory speed; exact lists and tuples of ints are read in place;
# other sequences go element by element through __index__.
_U32Array = Sequence[SupportsIndex] | Buffer
_Float = SupportsFloat | SupportsIndex
# What pagerank_directed reads as float64 values: buffers of float64 or
# float32 (NumPy arrays, array.array), or sequences of real numbers.
_F64Array = Sequence[_Float] | Buffer

@type_check_only
class TriangleCountResult(TypedDict):
    total_triangles: int
    time_seconds: float

@type_check_only
class PageRankResult(TypedDict):
    ranks: list[float]
    iterations: int
    converged: bool
    time_seconds: float

@type_check_only
class DirectedPageRankResult(TypedDict):
    ranks: list[float]  # float64
    iterations: int
    converged: bool
    time_seconds: float

@type_check_only
class BfsResult(TypedDict):
    distances: list[int]  # -1 where the source does not reach
    reachable: int
    max_depth: int
    time_seconds: float

@type_check_only
class BfsTreeResult(TypedDict):
    order: list[int]
    parents: list[int]
    depths: list[int]
    max_depth: int
    time_seconds: float

@type_check_only
class KTrussResult(TypedDict):
    edges: list[tuple[int, int]]
    k: int
    iterations: int
    time_seconds: float

@type_check_only
class ComponentsResult(TypedDict):
    labels: list[int]  # per node, the smallest node index of its component
    num_components: int
    rounds: int
    time_seconds: float

@type_check_only
class NodeTrianglesResult(TypedDict):
    triangles: list[int]  # per node
    total_triangles: int
    time_seconds: float

@type_check_only
class CoreNumberResult(TypedDict):
    core: list[int]  # per node
    max_core: int
    rounds: int
    time_seconds: float

@final
class GpuDevice:
    """A CUDA GPU device."""

    def __new__(cls, ordinal: SupportsIndex = 0) -> GpuDevice: ...
    @property
    def name(self) -> str: ...
    @property
    def total_memory(self) -> int: ...

@final
class GpuGraph:
    """A graph stored in GPU memory (CSR format)."""

    @staticmethod
    def from_csr(offsets: _U32Array, targets: _U32Array, device: GpuDevice) -> GpuGraph: ...
    @property
    def num_nodes(self) -> int: ...
    @property
    def num_edges(self) -> int: ...
    def triangle_count(self) -> TriangleCountResult: ...
    def pagerank(
        self, damping: _Float = 0.85, max_iterations: SupportsIndex = 100, tolerance: _Float = 1e-6
    ) -> PageRankResult: ...
    def pagerank_directed(
        self,
        alpha: _Float = 0.85,
        max_iterations: SupportsIndex = 100,
        tolerance: _Float = 1e-6,
        weights: _F64Array | None = None,
        personalization: _F64Array | None = None,
        dangling: _F64Array | None = None,
        start: _F64Array | None = None,
    ) -> DirectedPageRankResult: ...
    def bfs(self, source: SupportsIndex) -> BfsResult: ...
    def bfs_tree(
        self, source: SupportsIndex, depth_limit: SupportsIndex | None = None
    ) -> BfsTreeResult: ...
    def k_truss(self, k: SupportsIndex) -> KTrussResult: ...
    def connected_components(self) -> ComponentsResult: ...
    def triangles_per_node(self) -> NodeTrianglesResult: ...
    def core_number(self) -> CoreNumberResult: ...
