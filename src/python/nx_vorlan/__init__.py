"""NetworkX backend "vorlan": NetworkX calls answered by vorlan_cuda on the GPU.

    import networkx as nx
    nx.pagerank(G, weight=None, backend="vorlan")

NetworkX finds the backend through the package's entry points; importing this
package by hand is needed only for `VorlanGraph`, `from_networkx` and
`call_counts`. Importing it does not import vorlan_cuda (NetworkX imports
`nx_vorlan.info` at its own import time, and that must stay cheap).
"""

__all__ = ["VorlanGraph", "from_networkx", "call_counts"]


def __getattr__(name):
    if name in ("VorlanGraph", "from_networkx"):
        from nx_vorlan import graph

        return getattr(graph, name)
    if name == "call_counts":
        from nx_vorlan.counting import call_counts

        return call_counts
    raise AttributeError(f"module 'nx_vorlan' has no attribute {name!r}")
