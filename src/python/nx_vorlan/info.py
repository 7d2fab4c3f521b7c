"""What NetworkX shows about the backend, read without importing it.

NetworkX calls `get_info()` while it is itself being imported, so this module
imports neither NetworkX, nor vorlan_cuda, nor the rest of the package.
"""

BACKEND_NAME = "vorlan"

# The one list of backed functions. Per function: the module of nx_vorlan that
# implements it (under the same name, with NetworkX's signature), the
# parameters the GPU answers (any other parameter given a value other than its
# default sends the call to NetworkX), and what the documentation says. The
# interface, the dispatch rules and the checks are all built from this list.
FUNCTIONS = {
    "single_source_shortest_path_length": {
        "module": "traversal",
        "supported_parameters": ["source", "cutoff"],
        "additional_docs": "Breadth-first search on the GPU; the dict comes in NetworkX's order.",
    },
    "shortest_path_length": {
        "module": "traversal",
        "supported_parameters": ["source", "method"],
        "additional_docs": (
            "Runs on the GPU for an unweighted call (weight=None) with a source "
            "and no target; every other call runs in NetworkX."
        ),
    },
    "descendants_at_distance": {
        "module": "traversal",
        "supported_parameters": ["source", "distance"],
        "additional_docs": "Breadth-first search on the GPU.",
    },
    "bfs_layers": {
        "module": "traversal",
        "supported_parameters": ["sources"],
        "additional_docs": (
            "Runs on the GPU for a single source, with each layer in NetworkX's "
            "order; several sources (or an iterator of them) run in NetworkX."
        ),
    },
    "k_truss": {
        "module": "truss",
        "supported_parameters": ["k"],
        "additional_docs": (
            "Edge peeling on the GPU; the result is a NetworkX graph of the same "
            "class with the attributes copied, as NetworkX makes it."
        ),
    },
    "transitivity": {
        "module": "triangles",
        "supported_parameters": [],
        "additional_docs": "Triangles at each node on the GPU; directed graphs run in NetworkX.",
    },
    "triangles": {
        "module": "triangles",
        "supported_parameters": ["nodes"],
        "additional_docs": "Triangles at each node on the GPU.",
    },
    "clustering": {
        "module": "triangles",
        "supported_parameters": ["nodes"],
        "additional_docs": (
            "Triangles at each node on the GPU, for unweighted undirected graphs; weights, "
            "directed graphs and multigraphs run in NetworkX."
        ),
    },
    "average_clustering": {
        "module": "triangles",
        "supported_parameters": ["nodes", "count_zeros"],
        "additional_docs": (
            "Triangles at each node on the GPU, for unweighted undirected graphs; weights, "
            "directed graphs and multigraphs run in NetworkX."
        ),
    },
    "pagerank": {
        "module": "pagerank",
        "supported_parameters": [
            "alpha",
            "personalization",
            "max_iter",
            "tol",
            "nstart",
            "weight",
            "dangling",
        ],
        "additional_docs": (
            "NetworkX's power iteration on the GPU in double precision, for every graph kind "
            "(parallel edges' weights add up): the ranks of dangling nodes go by the dangling "
            "vector, and it stops on NetworkX's iteration. alpha outside [0, 1] and negative "
            "edge weights run in NetworkX."
        ),
    },
    "connected_components": {
        "module": "components",
        "supported_parameters": [],
        "additional_docs": (
            "Hooking and pointer jumping on the GPU; the components come in NetworkX's order."
        ),
    },
    "number_connected_components": {
        "module": "components",
        "supported_parameters": [],
        "additional_docs": "Connected components labelled on the GPU.",
    },
    "is_connected": {
        "module": "components",
        "supported_parameters": [],
        "additional_docs": "Connected components labelled on the GPU.",
    },
    "node_connected_component": {
        "module": "components",
        "supported_parameters": ["n"],
        "additional_docs": "Connected components labelled on the GPU.",
    },
    "bfs_edges": {
        "module": "paths",
        "supported_parameters": ["source", "reverse", "depth_limit"],
        "additional_docs": (
            "Breadth-first search on the GPU, the edges in NetworkX's order; sort_neighbors, "
            "and reverse on a directed graph, run in NetworkX."
        ),
    },
    "bfs_tree": {
        "module": "paths",
        "supported_parameters": ["source", "reverse", "depth_limit"],
        "additional_docs": (
            "Breadth-first search on the GPU; sort_neighbors, and reverse on a directed graph, "
            "run in NetworkX."
        ),
    },
    "bfs_predecessors": {
        "module": "paths",
        "supported_parameters": ["source", "depth_limit"],
        "additional_docs": "Breadth-first search on the GPU; sort_neighbors runs in NetworkX.",
    },
    "bfs_successors": {
        "module": "paths",
        "supported_parameters": ["source", "depth_limit"],
        "additional_docs": "Breadth-first search on the GPU; sort_neighbors runs in NetworkX.",
    },
    "predecessor": {
        "module": "paths",
        "supported_parameters": ["source", "target", "cutoff", "return_seen"],
        "additional_docs": "Breadth-first search on the GPU; the dicts come in NetworkX's order.",
    },
    "single_source_shortest_path": {
        "module": "paths",
        "supported_parameters": ["source", "cutoff"],
        "additional_docs": "Breadth-first search on the GPU; the dict comes in NetworkX's order.",
    },
    "shortest_path": {
        "module": "paths",
        "supported_parameters": ["source", "target", "method"],
        "additional_docs": (
            "Runs on the GPU for an unweighted call (weight=None) with a source; with a "
            "target too, on undirected graphs, the path NetworkX's bidirectional search finds. "
            "Every other call runs in NetworkX."
        ),
    },
    "has_path": {
        "module": "paths",
        "supported_parameters": ["source", "target"],
        "additional_docs": "Breadth-first search on the GPU.",
    },
    "core_number": {
        "module": "cores",
        "supported_parameters": [],
        "additional_docs": (
            "Synchronous node peeling on the GPU; directed graphs run in NetworkX (multigraphs "
            "and self-loops are refused by NetworkX)."
        ),
    },
    "k_core": {
        "module": "cores",
        "supported_parameters": ["k"],
        "additional_docs": "Core numbers from the GPU; a given core_number runs in NetworkX.",
    },
    "k_shell": {
        "module": "cores",
        "supported_parameters": ["k"],
        "additional_docs": "Core numbers from the GPU; a given core_number runs in NetworkX.",
    },
    "k_crust": {
        "module": "cores",
        "supported_parameters": ["k"],
        "additional_docs": "Core numbers from the GPU; a given core_number runs in NetworkX.",
    },
}

# nx.config.backends.vorlan: when automatic dispatch (backend_priority) may
# pick the backend. An explicit backend="vorlan" ignores both.
DEFAULT_CONFIG = {
    # Smaller graphs stay with NetworkX.
    "auto_min_nodes": 100_000,
    # The software GPU interprets kernels on the CPU: never faster than NetworkX.
    "auto_on_software_gpu": False,
}


# What NetworkX's documentation shows of each entry.
_SHOWN = ("supported_parameters", "additional_docs")


def get_info():
    return {
        "backend_name": BACKEND_NAME,
        "project": "vorlan-cuda",
        "package": "nx_vorlan",
        "url": None,
        "short_summary": "Graph analytics on NVIDIA GPUs through the CUDA driver (vorlan_cuda).",
        "default_config": dict(DEFAULT_CONFIG),
        "functions": {
            name: {key: entry[key] for key in _SHOWN} for name, entry in FUNCTIONS.items()
        },
    }
