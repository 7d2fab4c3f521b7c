"""NetworkX's pagerank on the GPU (GpuGraph.pagerank_directed, double precision).

The engine computes NetworkX's iteration itself: the graph as NetworkX
stores it (successor lists; an undirected edge from both ends, a self-loop
once), weights summed over a multigraph's parallel edges, the rank of
dangling nodes handed on by the dangling vector, and the stop once the L1
change is below len(G) * tol. What is left here is NetworkX's handling of
the arguments, done the way NetworkX does it so that bad ones fail the same
way: the vectors are read with dict.get over the graph's nodes and converted
by NumPy, a personalization summing to zero raises ZeroDivisionError, and
inputs that make NetworkX's iteration produce NaN (a start or dangling vector
summing to zero, a NaN or infinite weight, tol <= 0) end in
PowerIterationFailedConvergence, as NetworkX's do.

Declined, to run in NetworkX (decline_reason): alpha outside [0, 1] and
negative edge weights, which NetworkX accepts but whose iteration is not a
random walk.
"""

import numbers

import networkx as nx
import numpy as np

from nx_vorlan.graph import U32_MAX


def decline_reason(G, alpha=0.85):
    """None when the GPU answers a call with these arguments, else why NetworkX should."""
    if isinstance(alpha, numbers.Real) and not 0 <= alpha <= 1:
        return "alpha outside [0, 1]: not a random walk, left to NetworkX"
    return None


def pagerank(
    G,
    alpha=0.85,
    personalization=None,
    max_iter=100,
    tol=1.0e-6,
    nstart=None,
    weight="weight",
    dangling=None,
):
    N = len(G)
    if N == 0:
        return {}
    nodes = G.nodes
    start = None if nstart is None else _vector(nstart, nodes)
    personal = None if personalization is None else _vector(personalization, nodes)
    if personal is not None and personal.sum() == 0:
        raise ZeroDivisionError
    spread = None if dangling is None else _vector(dangling, nodes)
    iterations = len(range(max_iter))  # NetworkX's TypeError for a max_iter that is no integer
    alpha = _alpha(alpha)
    weights = G.edge_weights(weight)
    if weights is not None and (weights < 0).any():
        raise NotImplementedError("the vorlan backend takes non-negative edge weights")
    if not _iteration_is_finite(weights, (start, personal, spread), tol):
        raise nx.PowerIterationFailedConvergence(max_iter)
    result = G.gpu_graph(as_stored=True).pagerank_directed(
        alpha=alpha,
        max_iterations=min(iterations, U32_MAX),
        tolerance=float(tol),
        weights=weights,
        personalization=personal,
        dangling=spread,
        start=start,
    )
    if not result["converged"]:
        raise nx.PowerIterationFailedConvergence(max_iter)
    return dict(zip(nodes, result["ranks"]))


def _vector(values, nodes):
    # As NetworkX builds it: missing nodes weigh 0, NumPy converts the values.
    return np.array([values.get(n, 0) for n in nodes], dtype=float)


def _alpha(alpha):
    """alpha as a float, or the error NetworkX's first iteration raises for it."""
    scaled = alpha * np.ones(1)
    if scaled.dtype == object:
        raise TypeError(f"no supported conversion for types: (dtype('float64'), {scaled.dtype!r})")
    if scaled.dtype.kind != "f":
        raise NotImplementedError(f"the vorlan backend takes a real alpha, not {alpha!r}")
    return float(scaled[0])


def _iteration_is_finite(weights, vectors, tol):
    """Whether NetworkX's iteration stays finite and can stop at all.

    A non-finite weight makes its row of the transition matrix NaN; a vector
    with a non-finite entry or sum, or a zero sum, is NaN once normalised;
    NaN spreads to every rank within an iteration (0 * NaN is NaN), and NaN
    is never below len(G) * tol. Nor is an L1 change below a tol <= 0.
    """
    if weights is not None and not np.isfinite(weights).all():
        return False
    for vector in vectors:
        if vector is not None:
            total = vector.sum()
            if total == 0 or not np.isfinite(total) or not np.isfinite(vector).all():
                return False
    return bool(tol > 0)
