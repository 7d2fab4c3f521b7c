"""GpuGraph.k_truss(k): surviving edges against NetworkX, the round count and
the treatment of odd lists against a peeling model over CSR positions, the
result dict, argument handling and failures."""

from collections import Counter

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


def networkx_truss_edges(graph, k):
    """The k-truss edges as NetworkX finds them, (u, v) with u < v, sorted."""
    truss = nx.k_truss(graph, k)
    return sorted((min(u, v), max(u, v)) for u, v in truss.edges if u != v)


def peeling_model(offsets, targets, k):
    """The peeling over CSR positions, for sorted lists.

    Each round scores every live position e = (u -> v) with v > u by the
    number of common live targets of the lists of u and v (counted with
    multiplicity as a merge of two sorted lists counts them: the smaller of
    the two counts of each value) and gives the same score to the first live
    position of v's list that points back to u; every other live position
    scores 0. Positions scoring below k - 2 are removed, and rounds go on until
    one removes nothing. Returns (edges, rounds)."""
    n, m = len(offsets) - 1, len(targets)
    owner = [u for u in range(n) for _ in range(offsets[u], offsets[u + 1])]
    removed = [False] * m
    rounds = 0
    while True:
        live = [
            Counter(targets[p] for p in range(offsets[u], offsets[u + 1]) if not removed[p])
            for u in range(n)
        ]
        score = [0] * m
        for p in range(m):
            u, v = owner[p], targets[p]
            if removed[p] or v <= u:
                continue
            common = sum((live[u] & live[v]).values())
            score[p] = common
            back = [
                q for q in range(offsets[v], offsets[v + 1]) if targets[q] == u and not removed[q]
            ]
            if back:
                score[back[0]] = common
        peeled = [p for p in range(m) if not removed[p] and score[p] < k - 2]
        for p in peeled:
            removed[p] = True
        rounds += 1
        if not peeled:
            break
    edges = [(owner[p], targets[p]) for p in range(m) if targets[p] > owner[p] and not removed[p]]
    return edges, rounds


def without_time(result):
    return {key: value for key, value in result.items() if key != "time_seconds"}


class TestModel:
    """The peeling model itself, on cases small enough to follow by hand."""

    def test_triangle_with_pendant_edge(self):
        offsets, targets = csr_from_lists([[1, 2], [0, 2], [0, 1, 3], [2]])
        assert peeling_model(offsets, targets, 3) == ([(0, 1), (0, 2), (1, 2)], 2)

    def test_one_direction_clique_unravels(self):
        # K4 stored from smaller to larger: (0,3), (1,3), (2,3) score 0 in the
        # first round, (0,2) and (1,2) in the second, (0,1) in the third.
        offsets, targets = csr_from_lists([[1, 2, 3], [2, 3], [3], []])
        assert peeling_model(offsets, targets, 3) == ([], 4)

    def test_self_loop_helps_for_one_round(self):
        offsets, targets = csr_from_lists([[1], [0, 1]])
        assert peeling_model(offsets, targets, 3) == ([], 3)


class TestAgainstNetworkx:
    @pytest.mark.parametrize("graph", shape_params())
    @pytest.mark.parametrize("k", [3, 4, 5])
    def test_every_shape(self, make_graph, graph, k):
        offsets, targets = csr_from_networkx(graph)
        result = make_graph(offsets, targets).k_truss(k)
        assert result["edges"] == networkx_truss_edges(graph, k)
        assert result["iterations"] == peeling_model(offsets, targets, k)[1]
        assert result["k"] == k

    @pytest.mark.parametrize("seed", range(3))
    @pytest.mark.parametrize("k", [3, 4, 6, 8])
    def test_dense_random_graphs(self, make_graph, seed, k):
        graph = nx.gnp_random_graph(40, 0.4, seed=seed)
        offsets, targets = csr_from_networkx(graph)
        result = make_graph(offsets, targets).k_truss(k)
        assert result["edges"] == networkx_truss_edges(graph, k)
        assert result["iterations"] == peeling_model(offsets, targets, k)[1]

    @pytest.mark.parametrize("seed", range(2))
    def test_preferential_attachment_across_blocks(self, make_graph, seed):
        graph = shuffled_labels(nx.barabasi_albert_graph(300, 4, seed=seed), seed)
        gpu = make_graph(graph)
        for k in (3, 4, 5):
            assert gpu.k_truss(k)["edges"] == networkx_truss_edges(graph, k)

    def test_nested_cliques_peel_in_several_rounds(self, make_graph):
        # A K8 with a chain of triangles hanging off it: the chain goes one
        # triangle per round at k = 4.
        graph = nx.complete_graph(8)
        for i in range(8, 20):
            graph.add_edges_from([(i, i - 1), (i, i - 2)])
        offsets, targets = csr_from_networkx(graph)
        result = make_graph(offsets, targets).k_truss(4)
        assert result["edges"] == networkx_truss_edges(graph, 4)
        model_edges, rounds = peeling_model(offsets, targets, 4)
        assert rounds >= 3
        assert result["iterations"] == rounds


class TestRounds:
    def test_support_equal_to_k_minus_two_survives(self, make_graph):
        # Every edge of K5 closes exactly 3 triangles.
        gpu = make_graph(nx.complete_graph(5))
        every_edge = sorted((u, v) for u in range(5) for v in range(u + 1, 5))
        assert without_time(gpu.k_truss(5)) == {"edges": every_edge, "k": 5, "iterations": 1}
        assert without_time(gpu.k_truss(6)) == {"edges": [], "k": 6, "iterations": 2}

    def test_graph_that_is_already_a_truss_takes_one_round(self, make_graph):
        graph = shuffled_labels(nx.complete_graph(12), 4)
        result = make_graph(graph).k_truss(12)
        assert result["iterations"] == 1
        assert result["edges"] == sorted((min(u, v), max(u, v)) for u, v in graph.edges)

    def test_triangle_with_pendant_edge(self, make_graph):
        gpu = make_graph(nx.Graph([(0, 1), (1, 2), (0, 2), (2, 3)]))
        assert without_time(gpu.k_truss(3)) == {
            "edges": [(0, 1), (0, 2), (1, 2)],
            "k": 3,
            "iterations": 2,
        }

    @pytest.mark.parametrize("k", [50, 100, 2**32 - 1])
    def test_k_so_large_that_everything_goes(self, make_graph, k):
        graph = nx.gnp_random_graph(30, 0.3, seed=2)
        offsets, targets = csr_from_networkx(graph)
        result = make_graph(offsets, targets).k_truss(k)
        assert result["edges"] == []
        assert result["k"] == k
        assert result["iterations"] == peeling_model(offsets, targets, k)[1] == 2

    @pytest.mark.parametrize("seed, k", [(28, 5), (7, 6), (1, 5)])
    def test_long_cascade(self, make_graph, seed, k):
        # Dense random graphs whose peeling takes ten rounds or more: each
        # round's removals lower the scores of edges that survived the last.
        graph = nx.gnp_random_graph(30, 0.35, seed=seed)
        offsets, targets = csr_from_networkx(graph)
        edges, rounds = peeling_model(offsets, targets, k)
        assert rounds >= 10
        result = make_graph(offsets, targets).k_truss(k)
        assert result["edges"] == edges == networkx_truss_edges(graph, k)
        assert result["iterations"] == rounds

    def test_strip_of_triangles_goes_entirely(self, make_graph):
        # Every diagonal closes one triangle and goes first; then the rails
        # have none left; then a round that removes nothing.
        graph = nx.Graph()
        for i in range(10):
            graph.add_edges_from([(i, i + 1), (i, i + 2)])
        result = make_graph(graph).k_truss(4)
        assert without_time(result) == {"edges": [], "k": 4, "iterations": 3}

    def test_no_edges(self, make_graph):
        result = make_graph([0] * 6, []).k_truss(3)
        assert without_time(result) == {"edges": [], "k": 3, "iterations": 1}

    @pytest.mark.parametrize("offsets", [[], [0]], ids=["no-offsets", "one-offset"])
    def test_graph_without_nodes(self, make_graph, offsets):
        result = make_graph(offsets, []).k_truss(4)
        assert without_time(result) == {"edges": [], "k": 4, "iterations": 1}

    def test_edges_listed_by_smaller_end_then_list_position(self, make_graph):
        graph = nx.complete_graph(6)
        offsets, targets = csr_from_networkx(graph)
        result = make_graph(offsets, targets).k_truss(3)["edges"]
        assert result == [(u, v) for u in range(6) for v in range(u + 1, 6)]
        assert all(type(u) is int and type(v) is int for u, v in result)


class TestListsAsStored:
    def test_larger_to_smaller_edge_goes_in_the_first_round(self, make_graph):
        # A triangle plus 3 -> 0, stored only in the list of 3.
        offsets, targets = csr_from_lists([[1, 2], [0, 2], [0, 1], [0]])
        result = make_graph(offsets, targets).k_truss(3)
        assert without_time(result) == {"edges": [(0, 1), (0, 2), (1, 2)], "k": 3, "iterations": 2}

    def test_smaller_to_larger_edge_is_counted_and_listed(self, make_graph):
        # K4 plus 0 -> 4 and 1 -> 4 and 4 -> nothing: position 0 -> 4 sees no
        # list at 4, so it scores 0; with 4 listing 0 and 1 it scores 1.
        base = [[1, 2, 3], [0, 2, 3], [0, 1, 3], [0, 1, 2]]
        alone = csr_from_lists([base[0] + [4], base[1] + [4], base[2], base[3], []])
        result = make_graph(*alone).k_truss(3)
        assert result["edges"] == [(0, 1), (0, 2), (0, 3), (1, 2), (1, 3), (2, 3)]
        assert result["iterations"] == 2
        both_ways_from_4 = csr_from_lists([base[0] + [4], base[1] + [4], base[2], base[3], [0, 1]])
        result = make_graph(*both_ways_from_4).k_truss(3)
        assert result["edges"] == [(0, 1), (0, 2), (0, 3), (0, 4), (1, 2), (1, 3), (1, 4), (2, 3)]
        assert result["iterations"] == 1

    def test_one_direction_clique(self, make_graph):
        offsets, targets = csr_from_lists([[1, 2, 3], [2, 3], [3], []])
        result = make_graph(offsets, targets).k_truss(3)
        assert without_time(result) == {"edges": [], "k": 3, "iterations": 4}

    def test_only_one_direction_with_a_witness_on_both_sides(self, make_graph):
        # Stored u -> v for u < v only, plus lists that make 0 -> 1 score 1.
        offsets, targets = csr_from_lists([[1, 2], [2], [2]])
        result = make_graph(offsets, targets).k_truss(3)
        assert result["edges"] == peeling_model(offsets, targets, 3)[0]
        assert result["iterations"] == peeling_model(offsets, targets, 3)[1]

    def test_self_loop_counts_in_the_first_round_only(self, make_graph):
        offsets, targets = csr_from_lists([[1], [0, 1]])
        result = make_graph(offsets, targets).k_truss(3)
        assert without_time(result) == {"edges": [], "k": 3, "iterations": 3}
        plain = make_graph(*csr_from_lists([[1], [0]])).k_truss(3)
        assert without_time(plain) == {"edges": [], "k": 3, "iterations": 2}

    def test_self_loops_never_survive_and_never_list(self, make_graph):
        graph = nx.complete_graph(5)
        graph.add_edges_from((v, v) for v in range(5))
        offsets, targets = csr_from_networkx(graph)
        result = make_graph(offsets, targets).k_truss(3)
        assert result["edges"] == [(u, v) for u in range(5) for v in range(u + 1, 5)]
        assert result["iterations"] == 2

    def test_duplicates_in_the_list_of_the_larger_end(self, make_graph):
        # 1 lists 0 twice: only the first receives the mirrored score; the
        # second is removed in the first round, which lowers nothing else.
        offsets, targets = csr_from_lists([[1, 2], [0, 0, 2], [0, 1]])
        result = make_graph(offsets, targets).k_truss(3)
        assert without_time(result) == {"edges": [(0, 1), (0, 2), (1, 2)], "k": 3, "iterations": 2}

    def test_duplicates_in_the_list_of_the_smaller_end(self, make_graph):
        # 0 lists 1 twice: both positions are scored and both are listed.
        offsets, targets = csr_from_lists([[1, 1, 2], [0, 2], [0, 1]])
        result = make_graph(offsets, targets).k_truss(3)
        assert without_time(result) == {
            "edges": [(0, 1), (0, 1), (0, 2), (1, 2)],
            "k": 3,
            "iterations": 1,
        }

    @pytest.mark.parametrize("seed", range(6))
    def test_random_odd_lists_follow_the_model(self, make_graph, seed):
        import random

        rng = random.Random(seed)
        graph = nx.gnp_random_graph(35, 0.3, seed=seed)
        lists = []
        for v, neighbours in enumerate(lists_from_csr(*csr_from_networkx(graph))):
            kept = [w for w in neighbours if rng.random() < 0.85]  # some one-direction edges
            kept += [w for w in kept if rng.random() < 0.1]  # some repeats
            if rng.random() < 0.2:
                kept.append(v)  # some self-loops
            lists.append(sorted(kept))
        offsets, targets = csr_from_lists(lists)
        gpu = make_graph(offsets, targets)
        for k in (3, 4, 5):
            edges, rounds = peeling_model(offsets, targets, k)
            result = gpu.k_truss(k)
            assert (result["edges"], result["iterations"]) == (edges, rounds), k

    def test_unsorted_lists_stay_inside_the_graph(self, emu, make_graph):
        # Scores assume ascending lists; unsorted ones give some answer, but
        # every access must stay inside the buffers.
        graph = nx.gnp_random_graph(40, 0.3, seed=11)
        lists = [list(reversed(lst)) for lst in lists_from_csr(*csr_from_networkx(graph))]
        result = make_graph(*csr_from_lists(lists)).k_truss(3)
        assert all(u < v for u, v in result["edges"])
        live = emu.live()
        assert (live["pending_fault"], live["sticky_error"]) == (0, 0)


class TestArguments:
    @pytest.fixture
    def graph(self, make_graph):
        return make_graph(nx.complete_graph(4))

    @pytest.mark.parametrize("k", [0, 1, 2, False, True])
    def test_k_below_three(self, emu, graph, k):
        with emu.counting("cuLaunchKernel", "cuMemAllocAsync", "cuMemAlloc_v2") as counter:
            with pytest.raises(RuntimeError) as error:
                graph.k_truss(k)
        assert type(error.value) is RuntimeError
        assert str(error.value) == "kernel error: k must be >= 3 for k-truss decomposition"
        assert set(counter.delta.values()) == {0}

    def test_k_by_keyword_and_through_index(self, graph):
        class Four:
            def __index__(self):
                return 4

        assert graph.k_truss(k=4)["k"] == 4
        assert graph.k_truss(Four())["edges"] == graph.k_truss(4)["edges"]

    def test_negative_k_fails_in_conversion(self, graph):
        with pytest.raises(OverflowError) as error:
            graph.k_truss(-3)
        assert type(error.value) is OverflowError
        assert not str(error.value).startswith("argument")

    def test_k_of_two_to_the_32(self, graph):
        with pytest.raises(OverflowError) as error:
            graph.k_truss(2**32)
        assert str(error.value) == "out of range integral type conversion attempted"

    @pytest.mark.parametrize("k", [3.0, "3", None])
    def test_non_integer_k(self, graph, k):
        with pytest.raises(TypeError) as error:
            graph.k_truss(k)
        assert str(error.value).startswith("argument 'k': ")

    def test_binding_errors(self, graph):
        with pytest.raises(TypeError) as error:
            graph.k_truss(kk=3)
        assert str(error.value) == "GpuGraph.k_truss() got an unexpected keyword argument 'kk'"
        with pytest.raises(TypeError) as error:
            graph.k_truss()
        assert str(error.value) == "GpuGraph.k_truss() missing 1 required positional argument: 'k'"
        with pytest.raises(TypeError) as error:
            graph.k_truss(3, 4)
        assert (
            str(error.value) == "GpuGraph.k_truss() takes 1 positional arguments but 2 were given"
        )
        with pytest.raises(TypeError) as error:
            graph.k_truss(3, k=3)
        assert str(error.value) == "GpuGraph.k_truss() got multiple values for argument 'k'"

    def test_wrong_self(self):
        # A method taken from the class refuses another object as self before
        # the call reaches the module; either refusal names both types.
        with pytest.raises(TypeError) as error:
            vorlan_cuda.GpuGraph.k_truss(object(), 3)
        assert "GpuGraph" in str(error.value) and "'object'" in str(error.value)


class TestResult:
    def test_keys_and_types(self, make_graph):
        result = make_graph(nx.complete_graph(4)).k_truss(3)
        assert list(result) == ["edges", "k", "iterations", "time_seconds"]
        assert type(result["edges"]) is list
        assert all(type(edge) is tuple and len(edge) == 2 for edge in result["edges"])
        assert type(result["k"]) is int and type(result["iterations"]) is int
        assert type(result["time_seconds"]) is float and result["time_seconds"] >= 0

    def test_docstring_and_signature(self):
        method = vorlan_cuda.GpuGraph.k_truss
        assert method.__doc__ == (
            "Extract the k-truss from the graph.\n\nArgs:\n    k (int): Truss number "
            "(minimum 3).\n\nReturns:\n    dict with keys 'edges' "
            "(list[tuple[int,int]]), 'k' (int),\n    'iterations' (int), "
            "'time_seconds' (float)."
        )
        assert method.__text_signature__ == "($self, k)"


class TestFailures:
    def run_failing(self, emu, graph, entry_point, nth, code, k=3):
        """Fails one driver call of a k_truss call; checks that nothing is left
        allocated and that the next call gives what the one before did."""
        first = graph.k_truss(k)  # module loaded: only this call's own work remains
        before = emu.live()
        emu.fail_call(entry_point, nth, code)
        with pytest.raises(RuntimeError) as error:
            graph.k_truss(k)
        assert type(error.value) is RuntimeError
        assert emu.live() == before
        assert without_time(graph.k_truss(k)) == without_time(first)
        return str(error.value)

    @staticmethod
    def two_round_graph(make_graph):
        # A triangle and the edge 2 -> 3 stored in one direction only: not
        # symmetric, so it keeps the recounting kernels whose failures these
        # tests follow (the peeling kernels' are in test_kernel_paths.py).
        # The first call finds that out and the graph keeps the answer, so
        # the calls after it make only the recounting rounds' driver calls.
        return make_graph(*csr_from_lists([[1, 2], [0, 2], [0, 1, 3], []]))

    # Launch order per round: the support kernel, then the filter kernel.
    @pytest.mark.parametrize(
        "nth, step",
        [
            (1, "support kernel failed"),
            (2, "filter kernel failed"),
            (3, "support kernel failed"),
            (4, "filter kernel failed"),
        ],
    )
    def test_launch_failures(self, emu, make_graph, nth, step):
        graph = self.two_round_graph(make_graph)
        message = self.run_failing(emu, graph, "cuLaunchKernel", nth, 1)
        assert message == f"kernel error: {step}: " + driver_error_text(1)

    @pytest.mark.parametrize("nth", [1, 2])
    def test_synchronize_failures(self, emu, make_graph, nth):
        graph = self.two_round_graph(make_graph)
        message = self.run_failing(emu, graph, "cuStreamSynchronize", nth, 719)
        assert message == "kernel error: synchronize failed: " + driver_error_text(719)

    @pytest.mark.parametrize("nth", [1, 2, 3])
    def test_allocation_failures(self, emu, device, make_graph, nth):
        entry = allocation_entry_point(emu, device)
        graph = self.two_round_graph(make_graph)
        message = self.run_failing(emu, graph, entry, nth, 2)
        assert message == "CUDA driver error: " + driver_error_text(2)

    @pytest.mark.parametrize(
        "entry_point, nth",
        [("cuMemsetD8Async", 1), *(("cuMemsetD32Async", nth) for nth in (1, 2, 3, 4))],
    )
    def test_fill_failures(self, emu, make_graph, entry_point, nth):
        # The removal flags once; then per round the supports and the counter,
        # all on the device.
        graph = self.two_round_graph(make_graph)
        message = self.run_failing(emu, graph, entry_point, nth, 1)
        assert message == "CUDA driver error: " + driver_error_text(1)

    def test_nothing_is_copied_to_the_device(self, emu, make_graph):
        graph = self.two_round_graph(make_graph)
        graph.k_truss(3)
        fills = ("cuMemsetD8Async", "cuMemsetD32Async")
        with emu.counting("cuMemcpyHtoDAsync_v2", *fills) as counter:
            assert graph.k_truss(3)["iterations"] == 2
        assert counter.delta == {
            "cuMemcpyHtoDAsync_v2": 0,
            "cuMemsetD8Async": 1,
            "cuMemsetD32Async": 4,
        }

    @pytest.mark.parametrize("nth", [1, 2, 3, 4, 5])
    def test_copy_to_host_failures(self, emu, make_graph, nth):
        # The counter once per round, then removed, offsets and targets.
        graph = self.two_round_graph(make_graph)
        message = self.run_failing(emu, graph, "cuMemcpyDtoHAsync_v2", nth, 700)
        assert message == "CUDA driver error: " + driver_error_text(700)

    def test_launches_per_round(self, emu, make_graph):
        graph = self.two_round_graph(make_graph)
        graph.k_truss(3)
        with emu.counting("cuLaunchKernel", "cuStreamSynchronize") as counter:
            assert graph.k_truss(3)["iterations"] == 2
        assert counter.delta == {"cuLaunchKernel": 4, "cuStreamSynchronize": 2}
