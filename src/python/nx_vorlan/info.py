"""What NetworkX shows about the backend, read without importing it.

NetworkX calls `get_info()` while it is itself being imported, so this module
imports neither NetworkX, nor vorlan_cuda, nor the rest of the package.
"""

BACKEND_NAME = "vorlan"

# Per backed function: the parameters the GPU answers, and what makes the call
# go to NetworkX instead.
FUNCTIONS = {
    "single_source_shortest_path_length": {
        "supported_parameters": ["source", "cutoff"],
        "additional_docs": "Breadth-first search on the GPU; the dict comes in NetworkX's order.",
    },
    "shortest_path_length": {
        "supported_parameters": ["source", "method"],
        "additional_docs": (
            "Runs on the GPU for an unweighted call (weight=None) with a source "
            "and no target; every other call runs in NetworkX."
        ),
    },
    "descendants_at_distance": {
        "supported_parameters": ["source", "distance"],
        "additional_docs": "Breadth-first search on the GPU.",
    },
    "bfs_layers": {
        "supported_parameters": ["sources"],
        "additional_docs": (
            "Runs on the GPU for a single source, with each layer in NetworkX's "
            "order; several sources (or an iterator of them) run in NetworkX."
        ),
    },
    "k_truss": {
        "supported_parameters": ["k"],
        "additional_docs": (
            "Edge peeling on the GPU; the result is a NetworkX graph of the same "
            "class with the attributes copied, as NetworkX makes it."
        ),
    },
    "transitivity": {
        "supported_parameters": [],
        "additional_docs": "Triangle count on the GPU; directed graphs run in NetworkX.",
    },
    "pagerank": {
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
}

# nx.config.backends.vorlan: when automatic dispatch (backend_priority) may
# pick the backend. An explicit backend="vorlan" ignores both.
DEFAULT_CONFIG = {
    # Smaller graphs stay with NetworkX.
    "auto_min_nodes": 100_000,
    # The software GPU interprets kernels on the CPU: never faster than NetworkX.
    "auto_on_software_gpu": False,
}


def get_info():
    return {
        "backend_name": BACKEND_NAME,
        "project": "vorlan-cuda",
        "package": "nx_vorlan",
        "url": None,
        "short_summary": "Graph analytics on NVIDIA GPUs through the CUDA driver (vorlan_cuda).",
        "default_config": dict(DEFAULT_CONFIG),
        "functions": {name: dict(entry) for name, entry in FUNCTIONS.items()},
    }
