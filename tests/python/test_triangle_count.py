"""GpuGraph.triangle_count(): totals against NetworkX and against a count by
definition for lists that are not symmetric, its result dict, and its
failures."""

import itertools
import math

import networkx as nx
import pytest
import vorlan_cuda
from conftest import (
    allocation_entry_point,
    csr_from_lists,
    csr_from_networkx,
    driver_error_text,
    lists_from_csr,
    shape_params,
    shuffled_labels,
)


def networkx_total(graph):
    return sum(nx.triangles(graph).values()) // 3


def total_by_definition(lists):
    """Triples u < v < w with v and w in the list of u and w in the list of v,
    each list taken as a set."""
    sets = [set(neighbours) for neighbours in lists]
    total = 0
    for u, neighbours in enumerate(sets):
        for v in neighbours:
            if v > u:
                total += sum(1 for w in neighbours & sets[v] if w > v)
    return total


def upper_only(offsets, targets):
    """Each list cut to its targets above the node: every edge stored once,
    from its smaller end."""
    return csr_from_lists(
        [[v for v in lst if v > u] for u, lst in enumerate(lists_from_csr(offsets, targets))]
    )


def lower_only(offsets, targets):
    return csr_from_lists(
        [[v for v in lst if v < u] for u, lst in enumerate(lists_from_csr(offsets, targets))]
    )


class TestAgainstNetworkx:
    @pytest.mark.parametrize("graph", shape_params())
    def test_total_of_each_shape(self, make_graph, graph):
        result = make_graph(graph).triangle_count()
        assert result["total_triangles"] == networkx_total(graph)

    @pytest.mark.parametrize("seed", range(4))
    @pytest.mark.parametrize("n, p", [(25, 0.5), (70, 0.12), (260, 0.03)])
    def test_random_graphs(self, make_graph, seed, n, p):
        graph = nx.gnp_random_graph(n, p, seed=1000 * seed + n)
        assert make_graph(graph).triangle_count()["total_triangles"] == networkx_total(graph)

    @pytest.mark.parametrize("seed", range(3))
    def test_preferential_attachment(self, make_graph, seed):
        graph = shuffled_labels(nx.barabasi_albert_graph(120, 4, seed=seed), seed)
        assert make_graph(graph).triangle_count()["total_triangles"] == networkx_total(graph)

    def test_graph_is_only_read(self, make_graph):
        graph = nx.gnp_random_graph(60, 0.2, seed=5)
        gpu = make_graph(graph)
        first = gpu.triangle_count()
        second = gpu.triangle_count()
        assert first["total_triangles"] == second["total_triangles"] == networkx_total(graph)


class TestSmallGraphs:
    def test_complete_graph_on_four_nodes(self, make_graph):
        assert make_graph(nx.complete_graph(4)).triangle_count()["total_triangles"] == 4

    def test_triangle_with_pendant_edge(self, make_graph):
        graph = nx.Graph([(0, 1), (1, 2), (0, 2), (2, 3)])
        assert make_graph(graph).triangle_count()["total_triangles"] == 1

    @pytest.mark.parametrize(
        "tree",
        [
            nx.path_graph(30),
            nx.star_graph(40),
            nx.balanced_tree(2, 5),
            shuffled_labels(nx.balanced_tree(4, 3), 3),
        ],
        ids=["path", "star", "binary", "shuffled-4-ary"],
    )
    def test_tree_has_none(self, make_graph, tree):
        assert make_graph(tree).triangle_count()["total_triangles"] == 0

    @pytest.mark.parametrize("corners", list(itertools.combinations(range(6), 3)))
    def test_one_triangle_wherever_its_nodes_sit(self, make_graph, corners):
        graph = nx.empty_graph(6)
        graph.add_edges_from(itertools.combinations(corners, 2))
        assert make_graph(graph).triangle_count()["total_triangles"] == 1

    def test_edgeless_and_empty(self, make_graph):
        assert make_graph([0] * 10, []).triangle_count()["total_triangles"] == 0

    @pytest.mark.parametrize("offsets", [[], [0]], ids=["no-offsets", "one-offset"])
    def test_graph_without_nodes_counts_zero(self, make_graph, offsets):
        result = make_graph(offsets, []).triangle_count()
        assert result["total_triangles"] == 0


class TestHighDegree:
    """The warp splits the shorter part of a pair over its 32 lanes, 32 at a
    time, and searches the longer part: lists longer than a warp must be
    walked in several rounds."""

    @pytest.mark.parametrize("size", [33, 40, 65])
    def test_clique_whose_short_lists_exceed_a_warp(self, make_graph, size):
        result = make_graph(nx.complete_graph(size)).triangle_count()
        assert result["total_triangles"] == math.comb(size, 3)

    def test_hub_joined_to_every_node_of_a_cycle(self, make_graph):
        graph = nx.wheel_graph(200)
        assert make_graph(graph).triangle_count()["total_triangles"] == networkx_total(graph) == 199

    def test_hub_with_a_dense_neighbourhood(self, make_graph):
        graph = nx.gnp_random_graph(120, 0.3, seed=8)
        graph.add_edges_from((0, v) for v in range(1, 120))
        assert make_graph(graph).triangle_count()["total_triangles"] == networkx_total(graph)

    def test_long_lists_of_unequal_length(self, make_graph):
        # A pair whose two cut lists differ in length, both above 32: the
        # longer one is searched, the shorter split, in both orders of u, v.
        graph = nx.complete_graph(50)
        graph.add_edges_from((0, v) for v in range(50, 130))
        graph.add_edges_from((1, v) for v in range(50, 90))
        graph = shuffled_labels(graph, 21)
        assert make_graph(graph).triangle_count()["total_triangles"] == networkx_total(graph)


class TestListsAsStored:
    @pytest.mark.parametrize(
        "graph",
        [
            nx.complete_graph(4),
            nx.gnp_random_graph(80, 0.15, seed=3),
            nx.complete_graph(40),
            nx.wheel_graph(50),
        ],
        ids=["k4", "random", "k40", "wheel"],
    )
    def test_smaller_to_larger_direction_alone_gives_the_same_total(self, make_graph, graph):
        offsets, targets = upper_only(*csr_from_networkx(graph))
        assert make_graph(offsets, targets).triangle_count()["total_triangles"] == networkx_total(
            graph
        )

    def test_larger_to_smaller_direction_alone_finds_nothing(self, make_graph):
        # Only lists of the two smaller nodes of a triangle are read.
        graph = nx.gnp_random_graph(50, 0.3, seed=4)
        offsets, targets = lower_only(*csr_from_networkx(graph))
        assert networkx_total(graph) > 0
        assert make_graph(offsets, targets).triangle_count()["total_triangles"] == 0

    @pytest.mark.parametrize("seed", range(4))
    def test_random_directed_lists_follow_the_definition(self, make_graph, seed):
        graph = nx.gnp_random_graph(60, 0.25, seed=seed, directed=True)
        offsets, targets = csr_from_networkx(graph)
        expected = total_by_definition(lists_from_csr(offsets, targets))
        assert make_graph(offsets, targets).triangle_count()["total_triangles"] == expected

    def test_self_loops_never_count(self, make_graph):
        graph = nx.gnp_random_graph(40, 0.3, seed=6)
        expected = networkx_total(graph)
        graph.add_edges_from((v, v) for v in range(0, 40, 3))
        assert make_graph(graph).triangle_count()["total_triangles"] == expected

    def test_repeated_neighbour_counts_the_triangle_again(self, make_graph):
        # 0 lists 1 twice: each of its positions closes the triangle 0-1-2.
        offsets, targets = csr_from_lists([[1, 1, 2], [0, 2], [0, 1]])
        assert make_graph(offsets, targets).triangle_count()["total_triangles"] == 2

    def test_repeated_third_node_on_both_sides(self, make_graph):
        # Both cut lists are [2, 2]: equal lengths split u's part over the
        # lanes, and each of its two elements is found in v's part.
        offsets, targets = csr_from_lists([[1, 2, 2], [0, 2, 2], [0, 0, 1, 1]])
        assert make_graph(offsets, targets).triangle_count()["total_triangles"] == 2

    def test_repeated_third_node_on_the_longer_side_only(self, make_graph):
        # u's cut part [2, 2] is the longer one and is only searched: the one
        # element of v's part is found once.
        offsets, targets = csr_from_lists([[1, 2, 2], [0, 2], [0, 0, 1]])
        assert make_graph(offsets, targets).triangle_count()["total_triangles"] == 1

    def test_unsorted_lists_stay_inside_the_graph(self, emu, make_graph):
        # The searches assume ascending lists, so the total is not defined
        # here; every probe must still land inside the lists, or the software
        # GPU would report the access as a fault.
        graph = nx.gnp_random_graph(70, 0.3, seed=10)
        lists = [list(reversed(lst)) for lst in lists_from_csr(*csr_from_networkx(graph))]
        gpu = make_graph(*csr_from_lists(lists))
        assert type(gpu.triangle_count()["total_triangles"]) is int
        live = emu.live()
        assert (live["pending_fault"], live["sticky_error"]) == (0, 0)
        assert make_graph(graph).triangle_count()["total_triangles"] == networkx_total(graph)


class TestResult:
    def test_keys_and_types(self, make_graph):
        result = make_graph(nx.complete_graph(5)).triangle_count()
        assert list(result) == ["total_triangles", "time_seconds"]
        assert type(result["total_triangles"]) is int
        assert type(result["time_seconds"]) is float
        assert result["time_seconds"] >= 0

    def test_each_call_returns_a_new_dict(self, make_graph):
        graph = make_graph(nx.complete_graph(4))
        first, second = graph.triangle_count(), graph.triangle_count()
        assert first is not second
        first["total_triangles"] = -1
        assert second["total_triangles"] == 4

    def test_docstring_and_signature(self):
        method = vorlan_cuda.GpuGraph.triangle_count
        assert method.__doc__ == (
            "Count all triangles in the graph on GPU.\n\nReturns:\n    dict with keys "
            "'total_triangles' (int) and 'time_seconds' (float)."
        )
        assert method.__text_signature__ == "($self)"

    def test_arguments_are_refused_by_the_interpreter(self, make_graph):
        graph = make_graph(nx.complete_graph(3))
        with pytest.raises(TypeError, match=r"triangle_count\(\) takes no arguments \(1 given\)"):
            graph.triangle_count(1)
        with pytest.raises(TypeError, match="takes no keyword arguments"):
            graph.triangle_count(k=1)

    def test_wrong_self(self):
        # A method taken from the class refuses another object as self before
        # the call reaches the module; either refusal names both types.
        with pytest.raises(TypeError) as error:
            vorlan_cuda.GpuGraph.triangle_count(object())
        assert "GpuGraph" in str(error.value) and "'object'" in str(error.value)


class TestFailures:
    """Driver failures inside the operation become RuntimeErrors naming the
    step; the call leaves nothing allocated and the graph usable."""

    def run_failing(self, emu, graph, entry_point, nth, code):
        graph.triangle_count()  # module loaded, so only this call's own work remains
        before = emu.live()
        emu.fail_call(entry_point, nth, code)
        with pytest.raises(RuntimeError) as error:
            graph.triangle_count()
        assert type(error.value) is RuntimeError
        assert emu.live() == before
        return str(error.value)

    # The edge kernel runs twice: the position sweeps, then the list phase.
    @pytest.mark.parametrize("nth", [1, 2])
    def test_launch_failure(self, emu, make_graph, nth):
        graph = make_graph(nx.complete_graph(6))
        message = self.run_failing(emu, graph, "cuLaunchKernel", nth, 1)
        assert message == "kernel error: launch failed: " + driver_error_text(1)
        assert graph.triangle_count()["total_triangles"] == 20

    def test_synchronize_failure(self, emu, make_graph):
        graph = make_graph(nx.complete_graph(6))
        message = self.run_failing(emu, graph, "cuStreamSynchronize", 1, 719)
        assert message == "kernel error: synchronize failed: " + driver_error_text(719)
        assert graph.triangle_count()["total_triangles"] == 20

    # The counter, then the large-pair list and its length.
    @pytest.mark.parametrize("nth", [1, 2, 3])
    def test_counter_allocation_failure(self, emu, device, make_graph, nth):
        entry = allocation_entry_point(emu, device)
        graph = make_graph(nx.complete_graph(6))
        message = self.run_failing(emu, graph, entry, nth, 2)
        assert message == "CUDA driver error: " + driver_error_text(2)
        assert graph.triangle_count()["total_triangles"] == 20

    @pytest.mark.parametrize("nth", [1, 2])
    def test_counter_fill_failure(self, emu, make_graph, nth):
        graph = make_graph(nx.complete_graph(6))
        message = self.run_failing(emu, graph, "cuMemsetD32Async", nth, 1)
        assert message == "CUDA driver error: " + driver_error_text(1)
        assert graph.triangle_count()["total_triangles"] == 20

    def test_read_back_failure(self, emu, make_graph):
        graph = make_graph(nx.complete_graph(6))
        message = self.run_failing(emu, graph, "cuMemcpyDtoHAsync_v2", 1, 700)
        assert message == "CUDA driver error: " + driver_error_text(700)
        assert graph.triangle_count()["total_triangles"] == 20

    def test_two_launches_per_call(self, emu, make_graph):
        # The position sweeps and the list phase of one edge kernel.
        graph = make_graph(nx.gnp_random_graph(300, 0.02, seed=1))
        graph.triangle_count()
        with emu.counting("cuLaunchKernel", "cuModuleLoadData") as counter:
            graph.triangle_count()
        assert counter.delta == {"cuLaunchKernel": 2, "cuModuleLoadData": 0}

    def test_no_launch_for_a_graph_without_nodes(self, emu, make_graph):
        graph = make_graph([0], [])
        with emu.counting("cuLaunchKernel") as counter:
            assert graph.triangle_count()["total_triangles"] == 0
        assert counter.delta == {"cuLaunchKernel": 0}
