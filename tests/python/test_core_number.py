"""GpuGraph.core_number against NetworkX where the release spreads lists by length.

A round's removed nodes release their lists by block (more than 256
entries), by warp (33 to 256) or by lane; the shapes below remove lists of
every class together while the nodes they list are still in the graph, so
an entry released twice or not at all changes a neighbour's core number.
Each runs under several software-GPU scheduling seeds.
"""

import networkx as nx
import pytest
from conftest import on_software_gpu, outcomes_under_seeds

SCRIPT = """
import json, random
import vorlan_cuda, vorlan_graphs
from conftest import csr_from_lists

def lists_of(n, edges):
    lists = [set() for _ in range(n)]
    for u, v in edges:
        if u != v:
            lists[u].add(v); lists[v].add(u)
    return [sorted(l) for l in lists]

rng = random.Random(5)

def hubs_on_a_wall(length, wall_first):
    # 12 hubs, each listing the 20 wall nodes and length - 20 leaves of its
    # own; each wall node lists the 12 hubs and 20 nodes of a 60-clique. The
    # hubs leave together at k = 20 and must bring every wall node from 32
    # down to exactly 20: one decrement lost leaves it at 21, in the graph
    # until k = 21. Node indices put the wall first or last in every hub's
    # list, where a walk that drops an end of a list would lose it.
    wall, clique = list(range(20)), list(range(20, 80))
    hubs = list(range(80, 92))
    edges = [(u, v) for u in clique for v in clique if u < v]
    edges += [(w, clique[(w + j) % 60]) for w in wall for j in range(20)]
    edges += [(h, w) for h in hubs for w in wall]
    edges += [(h, 92 + (length - 20) * i + j) for i, h in enumerate(hubs) for j in range(length - 20)]
    n = 92 + 12 * (length - 20)
    # Leaves take the indices below the wall's (wall last) or above them.
    order = list(range(n)) if wall_first else list(range(92, n)) + list(range(92))
    rank = {v: i for i, v in enumerate(order)}
    return lists_of(n, [(rank[u], rank[v]) for u, v in edges])

# A random pool with hubs of every list class linked to it.
pool = [(rng.randrange(2000), rng.randrange(2000)) for _ in range(12000)]
hubbed = [(2000 + h, rng.randrange(2000)) for h in range(60) for _ in range(rng.choice([20, 90, 400, 900]))]
pool_and_hubs = lists_of(2060, pool + hubbed)

rmat = vorlan_graphs.rmat(11, 16)
shapes = {
    f"wall {where}, lists of {length}": csr_from_lists(hubs_on_a_wall(length, where == "first"))
    for length in (30, 100, 300, 1000) for where in ("first", "last")
}
shapes |= {
    "pool and hubs": csr_from_lists(pool_and_hubs),
    "rmat 11": (rmat.offsets.tolist(), rmat.targets.tolist()),
}
device = vorlan_cuda.GpuDevice(0)
out = {}
for name, (offsets, targets) in shapes.items():
    result = vorlan_cuda.GpuGraph.from_csr(offsets, targets, device).core_number()
    out[name] = [offsets, targets, result["core"], result["max_core"]]
print(json.dumps(out))
"""


def _networkx_cores(offsets, targets):
    G = nx.Graph()
    G.add_nodes_from(range(len(offsets) - 1))
    for u in range(len(offsets) - 1):
        G.add_edges_from((u, v) for v in targets[offsets[u] : offsets[u + 1]] if v != u)
    return list(nx.core_number(G).values())


@pytest.mark.skipif(not on_software_gpu(), reason="scheduling seeds belong to the software GPU")
def test_cores_with_long_lists_released_together():
    for outcome in outcomes_under_seeds(SCRIPT, seeds=(0, 4, 9)):
        for name, (offsets, targets, cores, max_core) in outcome.items():
            expected = _networkx_cores(offsets, targets)
            assert cores == expected, name
            assert max_core == max(expected), name
            if name.startswith("wall"):
                assert sorted(cores).count(20) == 32, "the hubs' release did not reach the wall"
