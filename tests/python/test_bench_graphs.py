"""The benchmark's graph generators and its peers' reference computations:
a wrong graph or a wrong peer would make every comparison meaningless."""

import networkx as nx
import numpy as np
import pytest
import vorlan_graphs

from bench import peers


def assert_simple_symmetric_csr(graph):
    offsets, targets = graph.offsets, graph.targets
    n = graph.num_nodes
    assert offsets[0] == 0 and offsets[-1] == len(targets)
    assert np.all(np.diff(offsets) >= 0)
    assert np.all((targets >= 0) & (targets < n))
    rows = np.repeat(np.arange(n), np.diff(offsets))
    keys = rows * n + targets
    assert np.all(np.diff(keys) > 0), "lists must be sorted and free of repeats"
    assert not np.any(rows == targets), "no self-loops"
    assert np.array_equal(np.sort(targets * n + rows), keys), "every edge stored both ways"


GENERATED = [("rmat", 9), ("uniform", 9), ("grid", 9), ("grid", 8)]


class TestGenerators:
    @pytest.mark.parametrize("family, scale", GENERATED)
    def test_generated_graphs_are_simple_symmetric_sorted(self, family, scale):
        graph = vorlan_graphs.make(family, scale, edge_factor=8)
        assert graph.num_nodes == 1 << scale
        assert graph.family == family
        assert_simple_symmetric_csr(graph)

    def test_rmat_uses_graph500_quadrants(self):
        half = 1 << 9
        sources, targets = vorlan_graphs.rmat_draws(10, 40, seed=3)
        top, left = sources < half, targets < half
        shares = [
            np.mean(top & left),
            np.mean(top & ~left),
            np.mean(~top & left),
            np.mean(~top & ~left),
        ]
        assert shares == pytest.approx(vorlan_graphs.GRAPH500, abs=0.01)

    def test_rmat_is_skewed_and_uniform_is_not(self):
        rmat, uniform = vorlan_graphs.rmat(12, 8), vorlan_graphs.uniform(12, 8)
        assert rmat.degrees.max() > 10 * uniform.degrees.max()
        assert rmat.dangling_nodes() > 0 and uniform.dangling_nodes() == 0
        # Same draws; R-MAT's repeats and self-loops make it the smaller.
        assert 0.5 * uniform.num_edges < rmat.num_edges < uniform.num_edges

    @pytest.mark.parametrize("scale, rows, columns", [(8, 16, 16), (9, 16, 32)])
    def test_grid_is_a_lattice(self, scale, rows, columns):
        graph = vorlan_graphs.grid(scale)
        assert graph.num_edges == 2 * (rows * (columns - 1) + columns * (rows - 1))
        assert sorted(set(graph.degrees.tolist())) == [2, 3, 4]
        lengths = nx.single_source_shortest_path_length(nx.Graph(zip(*graph.upper_edges())), 0)
        assert max(lengths.values()) == rows + columns - 2

    def test_edge_list_renumbers_and_cleans(self, tmp_path):
        path = tmp_path / "g.txt"
        path.write_text("# a comment\n% another\n10 30 0.5\n30 10 1\n30 70 2\n70 70 3\n10 30 4\n")
        graph = vorlan_graphs.edge_list(str(path))
        assert graph.num_nodes == 3
        assert graph.offsets.tolist() == [0, 1, 3, 4]
        assert graph.targets.tolist() == [1, 0, 2, 1]
        assert graph.family == "file:g.txt"

    def test_hub_and_upper_edges(self):
        graph = vorlan_graphs.edge_list_from_pairs([(0, 1), (1, 2), (1, 3), (2, 3)])
        assert graph.hub() == 1
        sources, targets = graph.upper_edges()
        assert list(zip(sources.tolist(), targets.tolist())) == [(0, 1), (1, 2), (1, 3), (2, 3)]


def random_graphs():
    return [
        pytest.param(nx.gnp_random_graph(n, p, seed=seed), id=f"gnp-{n}-{p}")
        for seed, n, p in [(1, 40, 0.05), (2, 60, 0.2), (3, 30, 0.5), (4, 50, 0.02)]
    ]


def as_graph(g):
    return vorlan_graphs.edge_list_from_pairs(list(g.edges()), num_nodes=g.number_of_nodes())


class TestSciPyPeer:
    """SciPy's answers, built from sparse products here, against NetworkX's."""

    @pytest.mark.parametrize("g", random_graphs())
    def test_triangles_bfs_and_k_truss_match_networkx(self, g):
        graph = as_graph(g)
        scipy_peer = peers.SciPy()
        matrix = scipy_peer.load(graph)
        params = peers.Params(source=graph.hub(), k=4)
        assert (
            scipy_peer.triangle_count(matrix, graph, params).value
            == sum(nx.triangles(g).values()) // 3
        )
        expected = np.full(graph.num_nodes, -1)
        for node, hops in nx.single_source_shortest_path_length(g, params.source).items():
            expected[node] = hops
        assert np.array_equal(scipy_peer.bfs(matrix, graph, params).value, expected)
        truss = nx.k_truss(g, 4).edges()
        assert np.array_equal(
            scipy_peer.k_truss(matrix, graph, params).value,
            peers.edge_keys([u for u, _ in truss], [v for _, v in truss], graph.num_nodes),
        )

    @pytest.mark.parametrize("depth", [1, 2, 5, 33])
    def test_depths_from_parents_on_long_paths(self, depth):
        # A path 0-1-...-depth plus an unreached node: pointer jumping must
        # need several rounds and leave the stranger at -1.
        parents = np.array([-9999] + list(range(depth)) + [-9999])
        order = np.arange(depth + 1)
        depths = peers.depths_from_parents(order, parents, 0, depth + 2)
        assert depths.tolist() == list(range(depth + 1)) + [-1]

    def test_pagerank_follows_our_recurrence(self):
        # Node 3 is isolated: it keeps (1 - d) / n and passes nothing on.
        graph = vorlan_graphs.edge_list_from_pairs([(0, 1), (0, 2), (1, 2)], num_nodes=4)
        params = peers.Params(source=0, max_iterations=3, tolerance=0.0)
        ranks, details = peers.pagerank_power_iteration(
            peers.SciPy().load(graph), graph.degrees, params
        )
        expected = np.full(4, 0.25)
        for _ in range(3):
            pulled = np.array(
                [
                    expected[1] / 2 + expected[2] / 2,
                    expected[0] / 2 + expected[2] / 2,
                    expected[0] / 2 + expected[1] / 2,
                    0.0,
                ]
            )
            expected = 0.85 * pulled + 0.15 / 4
        assert ranks == pytest.approx(expected, rel=1e-6)
        assert ranks[3] == pytest.approx(0.15 / 4)
        assert details == {"iterations": 3, "converged": False}
