"""Transitivity from the GPU's triangle count.

NetworkX sums, over the nodes, twice the triangles at each node and
d(d - 1) with d the degree without self-loops, and divides the two sums as
Python ints. The GPU counts each triangle once, so the numerator is 6 x that.
"""

import numpy as np


def transitivity(G):
    if len(G) == 0:
        return 0
    triangles = G.gpu_graph().triangle_count()["total_triangles"]
    if triangles == 0:
        return 0
    degrees = G.loop_free_degrees.astype(np.uint64)
    # uint64 holds the sum for any graph of fewer than 2**32 entries.
    contributions = int(np.dot(degrees, degrees - np.uint64(1)))
    return 6 * triangles / contributions
