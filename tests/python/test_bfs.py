"""GpuGraph.bfs(source): distances, "reachable" and "max_depth" against
NetworkX shortest path lengths over the stored lists, argument handling, and
failures."""

import random

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
)


def expected_search(offsets, targets, source):
    """What a search over the stored lists (each list = out-neighbours) gives,
    computed by NetworkX on the directed graph the lists describe."""
    n = len(offsets) - 1
    directed = nx.DiGraph()
    directed.add_nodes_from(range(n))
    for u, neighbours in enumerate(lists_from_csr(offsets, targets)):
        directed.add_edges_from((u, v) for v in neighbours)
    lengths = nx.single_source_shortest_path_length(directed, source)
    distances = [lengths.get(v, -1) for v in range(n)]
    return {"distances": distances, "reachable": len(lengths), "max_depth": max(lengths.values())}


def without_time(result):
    return {key: value for key, value in result.items() if key != "time_seconds"}


def sources_of(n, seed):
    """First, last, and a few random nodes."""
    picks = {0, n - 1} | set(random.Random(seed).sample(range(n), min(n, 3)))
    return sorted(picks)


class TestAgainstNetworkx:
    @pytest.mark.parametrize("graph", shape_params())
    def test_every_shape_from_several_sources(self, make_graph, graph):
        offsets, targets = csr_from_networkx(graph)
        gpu = make_graph(offsets, targets)
        for source in sources_of(len(offsets) - 1, len(targets)):
            assert without_time(gpu.bfs(source)) == expected_search(offsets, targets, source), (
                source
            )

    @pytest.mark.parametrize("seed", range(3))
    @pytest.mark.parametrize("n, p", [(40, 0.05), (150, 0.02), (280, 0.006)])
    def test_random_graphs(self, make_graph, seed, n, p):
        offsets, targets = csr_from_networkx(nx.gnp_random_graph(n, p, seed=seed * 100 + n))
        gpu = make_graph(offsets, targets)
        for source in sources_of(n, seed):
            assert without_time(gpu.bfs(source)) == expected_search(offsets, targets, source), (
                source
            )

    @pytest.mark.parametrize("seed", range(3))
    def test_random_directed_lists(self, make_graph, seed):
        offsets, targets = csr_from_networkx(
            nx.gnp_random_graph(120, 0.02, seed=seed, directed=True)
        )
        gpu = make_graph(offsets, targets)
        for source in sources_of(120, seed):
            assert without_time(gpu.bfs(source)) == expected_search(offsets, targets, source), (
                source
            )

    def test_long_path_takes_one_level_per_node(self, make_graph):
        n = 300
        graph = make_graph(nx.path_graph(n))
        result = graph.bfs(0)
        assert result["distances"] == list(range(n))
        assert result["max_depth"] == n - 1
        assert result["reachable"] == n
        middle = graph.bfs(150)
        assert middle["distances"] == [abs(v - 150) for v in range(n)]
        assert middle["max_depth"] == 150

    def test_frontier_wider_than_a_block(self, make_graph):
        # Level 1 holds 600 nodes, so level 2 is expanded by three blocks.
        graph = nx.star_graph(600)
        graph.add_edges_from((leaf, 601 + leaf % 7) for leaf in range(1, 601))
        assert without_time(make_graph(graph).bfs(0)) == expected_search(
            *csr_from_networkx(graph), 0
        )


class TestSmallGraphs:
    def test_source_with_an_empty_list(self, make_graph):
        graph = make_graph(*csr_from_lists([[1], [0], [], [1]]))
        result = graph.bfs(2)
        assert without_time(result) == {
            "distances": [-1, -1, 0, -1],
            "reachable": 1,
            "max_depth": 0,
        }

    def test_path_from_its_end(self, make_graph):
        result = make_graph(nx.path_graph(3)).bfs(0)
        assert without_time(result) == {"distances": [0, 1, 2], "reachable": 3, "max_depth": 2}

    def test_path_from_its_middle(self, make_graph):
        result = make_graph(nx.path_graph(3)).bfs(1)
        assert without_time(result) == {"distances": [1, 0, 1], "reachable": 3, "max_depth": 1}

    def test_one_direction_edge_is_not_followed_back(self, make_graph):
        graph = make_graph(*csr_from_lists([[1], [2], []]))
        assert without_time(graph.bfs(0)) == {
            "distances": [0, 1, 2],
            "reachable": 3,
            "max_depth": 2,
        }
        assert without_time(graph.bfs(2)) == {
            "distances": [-1, -1, 0],
            "reachable": 1,
            "max_depth": 0,
        }
        assert without_time(graph.bfs(1)) == {
            "distances": [-1, 0, 1],
            "reachable": 2,
            "max_depth": 1,
        }

    def test_one_direction_edge_reached_another_way(self, make_graph):
        # 0 -> 1 only, but 1 reaches 0 through 2.
        graph = make_graph(*csr_from_lists([[1, 2], [2], [0]]))
        assert without_time(graph.bfs(1)) == {
            "distances": [2, 0, 1],
            "reachable": 3,
            "max_depth": 2,
        }

    def test_star_from_its_centre(self, make_graph):
        leaves = 300
        result = make_graph(nx.star_graph(leaves)).bfs(0)
        assert result["distances"] == [0] + [1] * leaves
        assert result["reachable"] == leaves + 1
        assert result["max_depth"] == 1

    def test_star_from_a_leaf(self, make_graph):
        result = make_graph(nx.star_graph(20)).bfs(7)
        assert result["distances"] == [1] + [2] * 6 + [0] + [2] * 13
        assert result["max_depth"] == 2

    def test_single_node(self, make_graph):
        result = make_graph([0, 0], []).bfs(0)
        assert without_time(result) == {"distances": [0], "reachable": 1, "max_depth": 0}

    def test_disconnected_pieces_stay_unreached(self, make_graph):
        graph = nx.disjoint_union(nx.cycle_graph(5), nx.complete_graph(4))
        result = make_graph(graph).bfs(6)
        assert result["distances"] == [-1] * 5 + [1, 0, 1, 1]
        assert result["reachable"] == 4


class TestListsAsStored:
    def test_self_loops_and_repeats_change_nothing(self, make_graph):
        graph = nx.gnp_random_graph(80, 0.05, seed=9)
        clean = csr_from_networkx(graph)
        messy_lists = []
        rng = random.Random(2)
        for v, neighbours in enumerate(lists_from_csr(*clean)):
            messy = list(neighbours) + [v] + [w for w in neighbours if rng.random() < 0.5]
            messy_lists.append(sorted(messy))
        messy = csr_from_lists(messy_lists)
        gpu_clean, gpu_messy = make_graph(*clean), make_graph(*messy)
        for source in sources_of(80, 1):
            assert without_time(gpu_messy.bfs(source)) == without_time(gpu_clean.bfs(source))
            assert without_time(gpu_messy.bfs(source)) == expected_search(*clean, source)

    def test_node_listed_by_many_frontier_nodes_is_claimed_once(self, make_graph):
        # Every node of level 1 lists every node of level 2, many times over.
        level1, level2 = list(range(1, 41)), list(range(41, 61))
        lists = [level1] + [[0] + level2 * 3 for _ in level1] + [level1 for _ in level2]
        lists = [sorted(lst) for lst in lists]
        result = make_graph(*csr_from_lists(lists)).bfs(0)
        assert result["distances"] == [0] + [1] * 40 + [2] * 20
        assert result["reachable"] == 61

    def test_unsorted_lists(self, make_graph):
        graph = nx.gnp_random_graph(60, 0.08, seed=12)
        offsets, targets = csr_from_networkx(graph)
        lists = [list(reversed(lst)) for lst in lists_from_csr(offsets, targets)]
        shuffled = csr_from_lists(lists)
        assert without_time(make_graph(*shuffled).bfs(3)) == expected_search(offsets, targets, 3)


class TestResult:
    def test_keys_and_types(self, make_graph):
        result = make_graph(nx.path_graph(4)).bfs(0)
        assert list(result) == ["distances", "reachable", "max_depth", "time_seconds"]
        assert type(result["distances"]) is list
        assert all(type(d) is int for d in result["distances"])
        assert type(result["reachable"]) is int
        assert type(result["max_depth"]) is int
        assert type(result["time_seconds"]) is float
        assert result["time_seconds"] >= 0

    def test_docstring_and_signature(self):
        method = vorlan_cuda.GpuGraph.bfs
        assert method.__doc__ == (
            "Run BFS from a source node on GPU.\n\nArgs:\n    source (int): Source node "
            "index (0-based).\n\nReturns:\n    dict with keys 'distances' (list[int]), "
            "'reachable' (int),\n    'max_depth' (int), 'time_seconds' (float)."
        )
        assert method.__text_signature__ == "($self, source)"


class TestArguments:
    @pytest.fixture
    def path(self, make_graph):
        return make_graph(nx.path_graph(5))

    def test_source_by_keyword(self, path):
        assert path.bfs(source=4)["distances"] == [4, 3, 2, 1, 0]

    def test_source_through_index(self, path):
        class Index:
            def __index__(self):
                return 2

        assert path.bfs(Index())["distances"] == [2, 1, 0, 1, 2]
        assert path.bfs(True)["distances"] == [1, 0, 1, 2, 3]

    @pytest.mark.parametrize("source", [5, 6, 1000, 2**32 - 1])
    def test_source_out_of_range(self, path, source):
        with pytest.raises(RuntimeError) as error:
            path.bfs(source)
        assert type(error.value) is RuntimeError
        assert (
            str(error.value) == f"kernel error: source node {source} out of range (num_nodes = 5)"
        )
        assert error.value.args == (str(error.value),)

    @pytest.mark.parametrize("offsets", [[], [0]], ids=["no-offsets", "one-offset"])
    @pytest.mark.parametrize("source", [0, 1, 7])
    def test_graph_without_nodes_fails_for_every_source(self, make_graph, offsets, source):
        with pytest.raises(RuntimeError) as error:
            make_graph(offsets, []).bfs(source)
        assert (
            str(error.value) == f"kernel error: source node {source} out of range (num_nodes = 0)"
        )

    def test_range_check_comes_before_any_gpu_work(self, emu, path):
        with emu.counting(
            "cuLaunchKernel", "cuMemAllocAsync", "cuMemAlloc_v2", "cuModuleLoadData"
        ) as counter:
            with pytest.raises(RuntimeError):
                path.bfs(5)
        assert set(counter.delta.values()) == {0}

    def test_negative_source_fails_in_conversion(self, path):
        with pytest.raises(OverflowError) as error:
            path.bfs(-1)
        assert type(error.value) is OverflowError
        assert not str(error.value).startswith("argument")

    def test_source_of_two_to_the_32_fails_in_conversion(self, path):
        with pytest.raises(OverflowError) as error:
            path.bfs(2**32)
        assert str(error.value) == "out of range integral type conversion attempted"

    @pytest.mark.parametrize("source", [1.0, "1", None])
    def test_non_integer_source(self, path, source):
        with pytest.raises(TypeError) as error:
            path.bfs(source)
        assert str(error.value).startswith("argument 'source': ")

    def test_binding_errors(self, path):
        with pytest.raises(TypeError) as error:
            path.bfs(0, 1)
        assert str(error.value) == "GpuGraph.bfs() takes 1 positional arguments but 2 were given"
        with pytest.raises(TypeError) as error:
            path.bfs(0, source=0)
        assert str(error.value) == "GpuGraph.bfs() got multiple values for argument 'source'"
        with pytest.raises(TypeError) as error:
            path.bfs()
        assert str(error.value) == "GpuGraph.bfs() missing 1 required positional argument: 'source'"
        with pytest.raises(TypeError) as error:
            path.bfs(src=0)
        assert str(error.value) == "GpuGraph.bfs() got an unexpected keyword argument 'src'"

    def test_wrong_self(self):
        # A method taken from the class refuses another object as self before
        # the call reaches the module; either refusal names both types.
        with pytest.raises(TypeError) as error:
            vorlan_cuda.GpuGraph.bfs(object(), 0)
        assert "GpuGraph" in str(error.value) and "'object'" in str(error.value)


class TestFailures:
    def run_failing(self, emu, graph, entry_point, nth, code, source=0):
        graph.bfs(source)  # module loaded, so only this call's own work remains
        before = emu.live()
        emu.fail_call(entry_point, nth, code)
        with pytest.raises(RuntimeError) as error:
            graph.bfs(source)
        assert type(error.value) is RuntimeError
        assert emu.live() == before
        return str(error.value)

    @pytest.mark.parametrize("nth", [2, 3, 4])
    def test_expand_launch_failure_at_each_level(self, emu, make_graph, nth):
        # The first launch sets the distances; each level launches one more.
        graph = make_graph(nx.path_graph(4))
        message = self.run_failing(emu, graph, "cuLaunchKernel", nth, 1)
        assert message == "kernel error: BFS expand failed: " + driver_error_text(1)
        assert graph.bfs(0)["distances"] == [0, 1, 2, 3]

    @pytest.mark.parametrize("nth", [1, 4])
    def test_synchronize_failure(self, emu, make_graph, nth):
        graph = make_graph(nx.path_graph(4))
        message = self.run_failing(emu, graph, "cuStreamSynchronize", nth, 719)
        assert message == "kernel error: synchronize failed: " + driver_error_text(719)
        assert graph.bfs(0)["distances"] == [0, 1, 2, 3]

    @pytest.mark.parametrize("nth", [1, 2, 3, 4])
    def test_allocation_failure_of_each_buffer(self, emu, device, make_graph, nth):
        entry = allocation_entry_point(emu, device)
        graph = make_graph(nx.path_graph(4))
        message = self.run_failing(emu, graph, entry, nth, 2)
        assert message == "CUDA driver error: " + driver_error_text(2)

    @pytest.mark.parametrize("nth", [1])
    def test_fill_failure(self, emu, make_graph, nth):
        # Only the level counters are filled, on the device; the start kernel
        # sets the distances and the levels clear their own counters.
        graph = make_graph(nx.path_graph(4))
        message = self.run_failing(emu, graph, "cuMemsetD32Async", nth, 1)
        assert message == "CUDA driver error: " + driver_error_text(1)

    @pytest.mark.parametrize("nth", [1, 2, 5])
    def test_copy_to_host_failure(self, emu, make_graph, nth):
        # One count per level (four levels), then the distances.
        graph = make_graph(nx.path_graph(4))
        message = self.run_failing(emu, graph, "cuMemcpyDtoHAsync_v2", nth, 700)
        assert message == "CUDA driver error: " + driver_error_text(700)
        assert graph.bfs(0)["max_depth"] == 3

    def test_one_launch_per_level_plus_one(self, emu, make_graph):
        graph = make_graph(nx.path_graph(6))
        graph.bfs(0)
        with emu.counting("cuLaunchKernel", "cuStreamSynchronize") as counter:
            graph.bfs(0)
        # Five levels that claim, one that does not, and the start kernel.
        assert counter.delta == {"cuLaunchKernel": 1 + 6, "cuStreamSynchronize": 6}
