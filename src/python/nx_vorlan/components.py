"""Connected components of undirected graphs from the GPU's labels.

The GPU labels each node with the smallest index of its component, which is
the component's first node in G's order: NetworkX's connected_components
yields the components in the order of their first nodes, so sorting the
nodes by label gives its order. The labels are kept with the converted graph,
so that several calls on one graph cost one GPU run.
"""

import networkx as nx
import numpy as np

from nx_vorlan.checks import cached


def component_labels(G):
    """Per node index, the smallest node index of its component (uint32)."""

    def compute(G):
        labels = G.gpu_graph().connected_components()["labels"]
        return np.array(labels, dtype=np.uint32)

    return cached(G, "component_labels", compute)


def _members(G):
    """Node indices grouped by component, groups in order of their first node."""
    labels = component_labels(G)
    order = np.argsort(labels, kind="stable")
    bounds = np.flatnonzero(np.diff(labels[order])) + 1
    return np.split(order, bounds)


def connected_components(G):
    nodes = G.nodes
    if not nodes:
        return
    for members in _members(G):
        yield set(map(nodes.__getitem__, members.tolist()))


def number_connected_components(G):
    labels = component_labels(G)
    return int(np.count_nonzero(labels == np.arange(len(labels), dtype=np.uint32)))


def is_connected(G):
    if len(G) == 0:
        raise nx.NetworkXPointlessConcept("Connectivity is undefined for the null graph.")
    return number_connected_components(G) == 1


def node_connected_component(G, n):
    labels = component_labels(G)
    members = np.flatnonzero(labels == labels[G.index[n]])
    return set(map(G.nodes.__getitem__, members.tolist()))
