"""What the comparison concludes from its measurements: whether two systems'
answers agree, how cost grows with the graph, when a peer would blow its time
budget, and how far vorlan_cuda is from the bandwidth floor."""

import math

import numpy as np

# How every vorlan_cuda figure from the software GPU is labelled.
SOFTWARE_LABEL = "software GPU (CPU interpreter), not a GPU timing"

# Converged PageRank vectors (each sums to at most 1) may differ by this much
# in L1: both stop once an iteration changes them by less than 1e-6 in L1,
# which leaves each within about 1e-6 * d / (1 - d) = 6e-6 of the fixed point,
# and float32 sums add rounding on top. A wrong recurrence (other damping,
# lost teleport, rank sent the wrong way) moves them by far more.
PAGERANK_L1_LIMIT = 1e-4

# Systems whose PageRank hands the rank of nodes without out-edges to every
# node, unlike vorlan_cuda's recurrence, which drops it.
REDISTRIBUTES_DANGLING = {"networkx", "igraph"}


def pagerank_incomparable(system, graph):
    """Why `system`'s PageRank cannot be held against ours on `graph`, or None."""
    if system in REDISTRIBUTES_DANGLING and graph.dangling_nodes():
        return (
            f"not compared: {graph.dangling_nodes()} nodes without out-edges, whose rank "
            f"{system} redistributes"
        )
    return None


def agreement(algorithm, reference, other):
    """(agrees, note) for two answers of one algorithm in the shapes of peers.py."""
    if algorithm == "triangle_count":
        return reference == other, f"{other} triangles vs {reference}"
    if algorithm == "pagerank":
        if len(reference) != len(other):
            return False, f"{len(other)} ranks vs {len(reference)}"
        distance = float(np.abs(np.asarray(reference) - np.asarray(other)).sum())
        return (
            distance <= PAGERANK_L1_LIMIT,
            f"L1 distance {distance:.2e} (limit {PAGERANK_L1_LIMIT:.0e})",
        )
    reference, other = np.asarray(reference), np.asarray(other)
    if reference.shape != other.shape:
        return False, f"{other.size} entries vs {reference.size}"
    differing = int(np.count_nonzero(reference != other))
    what = {"bfs": "distances", "connected_components": "labels", "node_triangles": "counts"}.get(
        algorithm, "edges"
    )
    return (
        differing == 0,
        f"{differing} {what} differ" if differing else f"all {reference.size} {what} equal",
    )


def fit_exponent(points):
    """Least-squares slope of log(value) against log(edges) over the
    (edges, value) points with both positive: the p in value ~ edges^p, for
    times and cost counts alike. None with fewer than two distinct sizes."""
    usable = [(e, s) for e, s in points if e > 0 and s > 0]
    if len({e for e, _ in usable}) < 2:
        return None
    x = np.log([e for e, _ in usable])
    y = np.log([s for _, s in usable])
    slope, _ = np.polyfit(x, y, 1)
    return float(slope)


def predict_seconds(points, edges):
    """Expected time at `edges` from the runs so far: the largest one scaled
    by the fitted exponent, taken as at least linear, since no algorithm
    here gets cheaper per edge as graphs grow (and two small runs can fit a
    flat line)."""
    usable = [(e, s) for e, s in points if e > 0 and s > 0]
    if not usable:
        return None
    last_edges, last_seconds = max(usable)
    exponent = max(fit_exponent(usable) or 1.0, 1.0)
    return last_seconds * (edges / last_edges) ** exponent


def floor_at(points, edges):
    """(seconds, basis) of a cost-model floor at `edges` stored edges, from
    (edges, seconds) points: a point of that size as it is; otherwise the
    nearest point in log distance scaled by the exponent fitted over all,
    which is an estimate, not a bound, and says so."""
    for e, seconds in points:
        if e == edges:
            return seconds, "counted"
    near_edges, near_seconds = min(points, key=lambda p: abs(math.log(p[0] / edges)))
    exponent = fit_exponent(points) or 1.0
    return near_seconds * (edges / near_edges) ** exponent, "extrapolated"


# Bytes each algorithm must move at the least, written out so that a reader
# can check them. n nodes, m stored edges, 4-byte ids, offsets and ranks.


def pagerank_iteration_bytes(n, m):
    """One iteration in device memory: the pull kernel reads offsets (n + 1),
    targets (m), ranks and out-degrees of every node at least once (2n) and
    writes the new ranks (n); the L1 reduction reads both rank vectors (2n).
        4 * (n + 1) + 4 * m + 4 * 2n + 4 * n + 4 * 2n = 4m + 24n + 4"""
    return 4 * m + 24 * n + 4


def bfs_bytes(n, reached, scanned_edges):
    """(device bytes, host bytes) of one search from a source that reaches
    `reached` nodes whose lists hold `scanned_edges` entries.
    Device: offsets of the reached nodes (reached + 1), their lists
    (scanned_edges), every distance read and written once (2n), and every
    reached node written to and read from a frontier queue (2 * reached):
        4 * (reached + 1) + 4 * scanned_edges + 8n + 8 * reached
    Host link: the initial distances and the zeroed queue go up (2n), the
    final distances come down (n): 8n up, 4n down."""
    device = 4 * (reached + 1) + 4 * scanned_edges + 8 * n + 8 * reached
    return device, {"up": 8 * n, "down": 4 * n}


def floor_seconds(device_bytes, host_bytes, bandwidth):
    """Seconds the bytes need at the measured (or nominal) bandwidths; None
    when a needed bandwidth is unknown."""
    device_rate = bandwidth.get("device_copy")
    if not device_rate:
        return None
    total = device_bytes / device_rate
    for direction, rate_key in (("up", "host_to_device"), ("down", "device_to_host")):
        amount = (host_bytes or {}).get(direction, 0)
        if amount:
            rate = bandwidth.get(rate_key)
            if not rate:
                return None
            total += amount / rate
    return total


def outcome_text(entry):
    """What happened to a call that did not run to an answer, in one phrase."""
    note = entry.get("note") or ""
    return note if note.startswith(entry["status"]) else f"{entry['status']}: {note}"


def ratio_to_fastest_peer(seconds, other_seconds):
    """This system's time over the fastest other system's; None without one."""
    others = [s for s in other_seconds if s and s > 0]
    if not seconds or not others:
        return None
    return seconds / min(others)


def json_ready(value):
    """`value` with NumPy scalars made plain and NaN or infinity (which JSON
    lacks) made None."""
    if isinstance(value, dict):
        return {key: json_ready(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [json_ready(item) for item in value]
    if isinstance(value, np.generic):
        value = value.item()
    if isinstance(value, float) and not math.isfinite(value):
        return None
    return value


def add_ratios(results, software):
    """Each time over the fastest other system's. Interpreter timings of the
    software GPU are no one's speed, so there they take no part."""
    timed = [
        e
        for e in results
        if e["status"] == "ok" and not (software and e["system"] == "vorlan_cuda")
    ]
    for entry in timed:
        others = [
            other["seconds"]
            for other in timed
            if other["graph"] == entry["graph"]
            and other["algorithm"] == entry["algorithm"]
            and other["system"] != entry["system"]
        ]
        entry["ratio_to_fastest_peer"] = ratio_to_fastest_peer(entry["seconds"], others)


def growth(results, graphs):
    """Fitted exponent of time against edges per family, system and algorithm."""
    families = {g["id"]: (g["family"], g["num_edges"]) for g in graphs}
    series = {}
    for entry in results:
        if entry["status"] == "ok":
            family, edges = families[entry["graph"]]
            series.setdefault((family, entry["system"], entry["algorithm"]), []).append(
                (edges, entry["seconds"])
            )
    return [
        {
            "family": family,
            "system": system,
            "algorithm": algorithm,
            "points": sorted(points),
            "sizes": len(points),
            "exponent": fit_exponent(points),
        }
        for (family, system, algorithm), points in sorted(series.items())
    ]
