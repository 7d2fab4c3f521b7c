"""Graphs to run vorlan_cuda on, made without network access: Graph500's
R-MAT, uniform random graphs, 2-D grids, and edge-list files as the public
graph collections publish them.

Every graph is undirected and stored the way `GpuGraph.from_csr` expects
it: both directions of each edge, each node's list sorted ascending, no
repeated entries and no self-loops.

    import vorlan_cuda, vorlan_graphs
    made = vorlan_graphs.rmat(12)                      # or edge_list("graph.txt")
    graph = vorlan_cuda.GpuGraph.from_csr(made.offsets, made.targets)

Needs only NumPy.
"""

from vorlan_graphs.csr import Graph, symmetric_csr_arrays
from vorlan_graphs.edge_lists import EdgeListError, edge_list, edge_list_from_pairs, read_edge_pairs
from vorlan_graphs.generators import (
    FAMILIES,
    GRAPH500,
    grid,
    make,
    rmat,
    rmat_draws,
    rmat_edges,
    uniform,
)

__all__ = [
    "FAMILIES",
    "GRAPH500",
    "EdgeListError",
    "Graph",
    "edge_list",
    "edge_list_from_pairs",
    "grid",
    "make",
    "read_edge_pairs",
    "rmat",
    "rmat_draws",
    "rmat_edges",
    "symmetric_csr_arrays",
    "uniform",
]
