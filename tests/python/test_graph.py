"""GpuGraph: from_csr and its arguments, the properties, the checks on the CSR
arrays, device memory and driver calls of a graph's life, deferred teardown
errors, the kernel-module cache as a graph's methods see it, and graphs used
across threads and devices."""

import array
import gc
import inspect
import os
import random
import textwrap
import threading
import weakref

import numpy as np
import pytest
from conftest import needs_software_gpu, run_reporting
from vorlan_cuda import GpuDevice, GpuGraph

POOLED = os.environ.get("VORLAN_EMU_POOLS", "1") == "1"
ALLOCATE = "cuMemAllocAsync" if POOLED else "cuMemAlloc_v2"
OUT_OF_MEMORY = 'CUDA driver error: DriverError(CUDA_ERROR_OUT_OF_MEMORY, "out of memory")'
UNKNOWN = 'CUDA driver error: DriverError(CUDA_ERROR_UNKNOWN, "unknown error")'
FROM_CSR_DOC = (
    "Create a GpuGraph from raw CSR arrays.\n\nArgs:\n"
    "    offsets (list[int]): CSR row pointer array.\n"
    "    targets (list[int]): CSR column index array.\n"
    "    device: A GpuDevice instance."
)

# Every driver call a graph's upload or release could make.
LIFE_CALLS = (
    "cuMemAllocAsync",
    "cuMemAlloc_v2",
    "cuEventCreate",
    "cuMemcpyHtoDAsync_v2",
    "cuEventRecord",
    "cuStreamWaitEvent",
    "cuMemFreeAsync",
    "cuMemFree_v2",
    "cuEventDestroy_v2",
    "cuStreamSynchronize",
    "cuMemcpyDtoHAsync_v2",
    "cuLaunchKernel",
)


def calls(**made):
    """The LIFE_CALLS counter deltas: the ones named, every other one 0."""
    return {name: made.get(name, 0) for name in LIFE_CALLS}


def undirected_csr(num_nodes, edges):
    """Sorted CSR holding both directions of every edge."""
    neighbours = [set() for _ in range(num_nodes)]
    for u, v in edges:
        neighbours[u].add(v)
        neighbours[v].add(u)
    offsets, targets = [0], []
    for listed in neighbours:
        targets.extend(sorted(listed))
        offsets.append(len(targets))
    return offsets, targets


def ring(num_nodes):
    """Directed ring 0 -> 1 -> ... -> n-1 -> 0: n + 1 offsets, n targets."""
    return list(range(num_nodes + 1)), [(i + 1) % num_nodes for i in range(num_nodes)]


TRIANGLE = undirected_csr(3, [(0, 1), (1, 2), (0, 2)])
K4 = undirected_csr(4, [(0, 1), (0, 2), (0, 3), (1, 2), (1, 3), (2, 3)])
PATH = ([0, 1, 2, 2], [1, 2])  # 0 -> 1 -> 2


def engine_error(excinfo):
    """The message of an engine error, after checking its exact shape."""
    assert type(excinfo.value) is RuntimeError
    assert len(excinfo.value.args) == 1
    return excinfo.value.args[0]


class Untouchable:
    """A sequence that records, and refuses, every attempt to read it."""

    def __init__(self):
        self.touched = []

    def __len__(self):
        self.touched.append("len")
        raise AssertionError("length read")

    def __getitem__(self, index):
        self.touched.append("getitem")
        raise AssertionError("item read")

    def __iter__(self):
        self.touched.append("iter")
        raise AssertionError("iterated")


class TestFromCsr:
    def test_two_nodes_two_edges(self, device):
        graph = GpuGraph.from_csr([0, 1, 2], [1, 0], device)
        assert type(graph) is GpuGraph
        assert (graph.num_nodes, graph.num_edges) == (2, 2)
        assert graph.bfs(1)["distances"] == [1, 0]

    def test_keywords_only_in_any_order(self, device):
        graph = GpuGraph.from_csr(offsets=[0, 1], targets=[0], device=device)
        assert (graph.num_nodes, graph.num_edges) == (1, 1)
        graph = GpuGraph.from_csr(device=device, targets=[1, 0], offsets=[0, 1, 2])
        assert (graph.num_nodes, graph.num_edges) == (2, 2)

    def test_mixed_positional_and_keywords(self, device):
        graph = GpuGraph.from_csr([0, 1, 2], targets=[1, 0], device=device)
        assert (graph.num_nodes, graph.num_edges) == (2, 2)

    def test_called_through_an_instance(self, device):
        first = GpuGraph.from_csr(*PATH, device)
        second = first.from_csr([0, 1, 2], [1, 0], device)
        assert type(second) is GpuGraph
        assert second is not first
        assert (second.num_nodes, second.num_edges) == (2, 2)
        assert (first.num_nodes, first.num_edges) == (3, 2)

    def test_three_nodes_three_edges(self, device):
        graph = GpuGraph.from_csr([0, 2, 3, 3], [1, 2, 2], device)
        assert (graph.num_nodes, graph.num_edges) == (3, 3)
        assert graph.bfs(0)["distances"] == [0, 1, 1]

    @pytest.mark.parametrize(
        "offsets, targets, nodes, edges",
        [
            ([], [], 0, 0),
            ([0], [], 0, 0),
            ([0, 0, 0], [], 2, 0),
        ],
    )
    def test_graphs_without_edges(self, device, offsets, targets, nodes, edges):
        graph = GpuGraph.from_csr(offsets, targets, device)
        assert (graph.num_nodes, graph.num_edges) == (nodes, edges)
        assert graph.triangle_count()["total_triangles"] == 0

    def test_graph_with_nodes_and_no_edges_searches(self, device):
        graph = GpuGraph.from_csr([0, 0, 0], [], device)
        result = graph.bfs(1)
        assert result["distances"] == [-1, 0]
        assert (result["reachable"], result["max_depth"]) == (1, 0)

    def test_graph_without_nodes_has_no_source(self, device):
        graph = GpuGraph.from_csr([], [], device)
        with pytest.raises(RuntimeError) as excinfo:
            graph.bfs(0)
        assert engine_error(excinfo) == "kernel error: source node 0 out of range (num_nodes = 0)"

    @pytest.mark.parametrize("convert", [tuple, list, lambda values: array.array("I", values)])
    def test_other_sequences_are_accepted(self, device, convert):
        graph = GpuGraph.from_csr(convert(PATH[0]), convert(PATH[1]), device)
        assert graph.bfs(0)["distances"] == [0, 1, 2]

    def test_range_and_bytes_are_sequences_of_integers(self, device):
        graph = GpuGraph.from_csr(range(4), bytes([1, 2, 0]), device)
        assert (graph.num_nodes, graph.num_edges) == (3, 3)
        assert graph.bfs(1)["distances"] == [2, 0, 1]  # the ring 0 -> 1 -> 2 -> 0

    def test_the_results_of_one_graph_are_repeatable(self, device):
        graph = GpuGraph.from_csr(*K4, device)
        assert graph.triangle_count()["total_triangles"] == 4
        assert graph.triangle_count()["total_triangles"] == 4
        assert graph.bfs(3)["distances"] == graph.bfs(3)["distances"] == [1, 1, 1, 0]

    def test_graph_cannot_be_made_directly(self):
        with pytest.raises(TypeError) as excinfo:
            GpuGraph()
        assert "cannot create 'builtins.GpuGraph' instances" in str(excinfo.value)
        with pytest.raises(TypeError):
            GpuGraph.__new__(GpuGraph)

    def test_docstring_and_signature(self, device):
        assert GpuGraph.from_csr.__doc__ == FROM_CSR_DOC
        assert GpuGraph.from_csr.__text_signature__ == "(offsets, targets, device)"
        assert list(inspect.signature(GpuGraph.from_csr).parameters) == [
            "offsets",
            "targets",
            "device",
        ]
        graph = GpuGraph.from_csr(*PATH, device)
        assert graph.from_csr.__doc__ == FROM_CSR_DOC


class TestFromCsrArguments:
    @pytest.mark.parametrize(
        "args, kwargs, message",
        [
            ((), {}, "missing 3 required positional arguments: 'offsets', 'targets', and 'device'"),
            (([0, 1],), {}, "missing 2 required positional arguments: 'targets' and 'device'"),
            (([0, 1], [0]), {}, "missing 1 required positional argument: 'device'"),
            (
                (),
                {"targets": [0]},
                "missing 2 required positional arguments: 'offsets' and 'device'",
            ),
            (([0, 1],), {"offsets": [0, 1]}, "got multiple values for argument 'offsets'"),
            (([0, 1], [0], None, None), {}, "takes 3 positional arguments but 4 were given"),
            (([0, 1], [0], None), {"weights": [1]}, "got an unexpected keyword argument 'weights'"),
            (([0, 1], [0], None), {"device": None}, "got multiple values for argument 'device'"),
        ],
    )
    def test_binding_errors(self, args, kwargs, message):
        with pytest.raises(TypeError) as excinfo:
            GpuGraph.from_csr(*args, **kwargs)
        assert str(excinfo.value) == "GpuGraph.from_csr() " + message

    def test_binding_errors_through_an_instance(self, device):
        graph = GpuGraph.from_csr(*PATH, device)
        with pytest.raises(TypeError) as excinfo:
            graph.from_csr()
        assert str(excinfo.value) == (
            "GpuGraph.from_csr() missing 3 required positional arguments: "
            "'offsets', 'targets', and 'device'"
        )

    def test_bad_offsets_element_stops_before_targets(self, device):
        targets = Untouchable()
        with pytest.raises(TypeError) as excinfo:
            GpuGraph.from_csr([0, "1"], targets, "not a device")
        assert (
            str(excinfo.value)
            == "argument 'offsets': 'str' object cannot be interpreted as an integer"
        )
        assert targets.touched == []

    def test_targets_are_looked_at_after_good_offsets(self, device):
        # The counterpart of the test above: the probe does notice a read.
        targets = Untouchable()
        with pytest.raises(AssertionError):
            GpuGraph.from_csr([0], targets, device)
        assert "iter" in targets.touched

    @pytest.mark.parametrize(
        "targets, message",
        [
            ("10", "Can't extract `str` to `Vec`"),
            (None, "'NoneType' object cannot be cast as 'Sequence'"),
            ({1, 0}, "'set' object cannot be cast as 'Sequence'"),
            ([1, 0.0], "'float' object cannot be interpreted as an integer"),
        ],
    )
    def test_bad_targets_are_named(self, device, targets, message):
        with pytest.raises(TypeError) as excinfo:
            GpuGraph.from_csr([0, 1, 2], targets, "not a device either")
        assert str(excinfo.value) == "argument 'targets': " + message

    @pytest.mark.parametrize(
        "offsets, message",
        [
            ("012", "Can't extract `str` to `Vec`"),
            (5, "'int' object cannot be cast as 'Sequence'"),
            ({0: 0}, "'dict' object cannot be cast as 'Sequence'"),
            ((x for x in [0]), "'generator' object cannot be cast as 'Sequence'"),
            ([0, 1.0], "'float' object cannot be interpreted as an integer"),
        ],
    )
    def test_bad_offsets_are_named(self, device, offsets, message):
        with pytest.raises(TypeError) as excinfo:
            GpuGraph.from_csr(offsets, "bad too", device)
        assert str(excinfo.value) == "argument 'offsets': " + message

    @pytest.mark.parametrize(
        "device_argument, type_name", [("device", "str"), (None, "NoneType"), (0, "int")]
    )
    def test_device_must_be_a_gpu_device(self, device_argument, type_name):
        with pytest.raises(TypeError) as excinfo:
            GpuGraph.from_csr([0, 1, 2], [1, 0], device_argument)
        assert str(excinfo.value) == (
            f"argument 'device': '{type_name}' object cannot be cast as 'GpuDevice'"
        )

    def test_a_graph_is_not_a_device(self, device):
        graph = GpuGraph.from_csr(*PATH, device)
        with pytest.raises(TypeError) as excinfo:
            GpuGraph.from_csr([0, 1, 2], [1, 0], graph)
        assert (
            str(excinfo.value)
            == "argument 'device': 'GpuGraph' object cannot be cast as 'GpuDevice'"
        )

    @pytest.mark.parametrize(
        "offsets, targets",
        [
            (
                [0, 2**32],
                [],
            ),
            ([0, 1], [2**32]),
            ([2**32 + 1], []),
            ([0, 1], [2**63]),
        ],
    )
    def test_elements_of_32_bits_or_more_overflow(self, device, offsets, targets):
        with pytest.raises(OverflowError) as excinfo:
            GpuGraph.from_csr(offsets, targets, device)
        assert type(excinfo.value) is OverflowError
        assert str(excinfo.value) == "out of range integral type conversion attempted"

    @pytest.mark.parametrize("offsets, targets", [([0, -1], []), ([0, 1], [-1]), ([0, 1], [2**64])])
    def test_negative_and_huge_elements_overflow_without_prefix(self, device, offsets, targets):
        with pytest.raises(OverflowError) as excinfo:
            GpuGraph.from_csr(offsets, targets, device)
        assert not str(excinfo.value).startswith("argument")

    def test_largest_32_bit_element_is_converted(self, device):
        # Beyond the last offset, so accepted whatever its value.
        graph = GpuGraph.from_csr([0], [2**32 - 1], device)
        assert (graph.num_nodes, graph.num_edges) == (0, 1)

    def test_argument_errors_allocate_nothing(self, emu, device):
        before = emu.live()
        with emu.counting(*LIFE_CALLS) as counter:
            with pytest.raises(TypeError):
                GpuGraph.from_csr([0, 1, 2], [1, "0"], device)
            with pytest.raises(OverflowError):
                GpuGraph.from_csr([0, 1, 2], [1, 2**32], device)
            with pytest.raises(TypeError):
                GpuGraph.from_csr([0, 1, 2], [1, 0], "device")
        assert counter.delta == calls()
        assert emu.live() == before


class TestProperties:
    def test_counts_are_ints_equal_at_every_read(self, device):
        graph = GpuGraph.from_csr(*K4, device)
        assert type(graph.num_nodes) is int and type(graph.num_edges) is int
        assert graph.num_nodes == graph.num_nodes == 4
        assert graph.num_edges == graph.num_edges == 12

    @pytest.mark.parametrize("attribute", ["num_nodes", "num_edges"])
    def test_counts_are_read_only(self, device, attribute):
        graph = GpuGraph.from_csr(*PATH, device)
        value = getattr(graph, attribute)
        with pytest.raises(AttributeError):
            setattr(graph, attribute, 5)
        with pytest.raises(AttributeError):
            delattr(graph, attribute)
        assert getattr(graph, attribute) == value

    def test_no_instance_attributes_or_weak_references(self, device):
        graph = GpuGraph.from_csr(*PATH, device)
        with pytest.raises(AttributeError):
            graph.device = device
        with pytest.raises(TypeError):
            weakref.ref(graph)

    def test_property_docstrings(self):
        assert GpuGraph.num_nodes.__doc__ == "Number of nodes."
        assert GpuGraph.num_edges.__doc__ == "Number of edge entries in CSR."

    def test_default_object_behaviour(self, device):
        first = GpuGraph.from_csr(*PATH, device)
        second = GpuGraph.from_csr(*PATH, device)
        assert first != second and first == first
        assert repr(first).startswith("<builtins.GpuGraph object at 0x")


class TestHostArraysAreCopied:
    def test_changing_the_lists_afterwards_changes_nothing(self, device):
        offsets, targets = list(PATH[0]), list(PATH[1])
        graph = GpuGraph.from_csr(offsets, targets, device)
        offsets[:] = [0, 0, 0, 0]
        targets[:] = [0, 0]
        offsets.append(99)
        assert graph.bfs(0)["distances"] == [0, 1, 2]
        assert (graph.num_nodes, graph.num_edges) == (3, 2)

    def test_freeing_the_lists_afterwards_changes_nothing(self, device):
        offsets, targets = undirected_csr(4, [(0, 1), (1, 2), (2, 3)])
        graph = GpuGraph.from_csr(offsets, targets, device)
        del offsets, targets
        gc.collect()
        assert graph.bfs(0)["distances"] == [0, 1, 2, 3]


# (offsets, targets, the sentence after "invalid CSR graph: ")
INVALID_GRAPHS = [
    ([0, 2, 1], [1, 0], "offsets[2] = 1 is less than offsets[1] = 2"),
    ([3, 2], [0, 0, 0], "offsets[1] = 2 is less than offsets[0] = 3"),
    ([0, 3, 1, 0], [0, 0, 0], "offsets[2] = 1 is less than offsets[1] = 3"),
    ([0, 5, 4], [0], "offsets[2] = 4 is less than offsets[1] = 5"),
    ([0, 1, 3], [1, 0], "offsets[2] = 3 is beyond the end of targets (length 2)"),
    ([0, 1], [], "offsets[1] = 1 is beyond the end of targets (length 0)"),
    ([5], [], "offsets[0] = 5 is beyond the end of targets (length 0)"),
    ([0, 2**32 - 1], [], "offsets[1] = 4294967295 is beyond the end of targets (length 0)"),
    ([0, 1, 2], [1, 2], "targets[1] = 2 is not below num_nodes = 2"),
    ([0, 2, 4], [0, 5, 1, 7], "targets[1] = 5 is not below num_nodes = 2"),
    ([1, 2, 3], [9, 0, 5], "targets[2] = 5 is not below num_nodes = 2"),
    ([0, 0, 1], [2, 7], "targets[0] = 2 is not below num_nodes = 2"),
    ([0, 1], [1], "targets[0] = 1 is not below num_nodes = 1"),
    ([0, 1], [2**32 - 1], "targets[0] = 4294967295 is not below num_nodes = 1"),
]


class TestInvalidCsr:
    @pytest.mark.parametrize("offsets, targets, sentence", INVALID_GRAPHS)
    def test_refused_with_the_first_offence(self, device, offsets, targets, sentence):
        with pytest.raises(ValueError) as excinfo:
            GpuGraph.from_csr(offsets, targets, device)
        assert type(excinfo.value) is ValueError
        assert excinfo.value.args == ("invalid CSR graph: " + sentence,)

    @pytest.mark.parametrize("offsets, targets, sentence", INVALID_GRAPHS)
    def test_refusal_allocates_nothing(self, emu, device, offsets, targets, sentence):
        before = emu.live()
        with emu.counting(*LIFE_CALLS) as counter:
            with pytest.raises(ValueError):
                GpuGraph.from_csr(offsets, targets, device)
        assert counter.delta == calls()
        assert emu.live() == before

    # A broadcast view claims 2**34 elements at no cost; copying them first
    # would take 64 GiB before the refusal.
    @pytest.mark.parametrize("array", ["offsets", "targets"])
    def test_an_over_long_array_is_refused_before_it_is_copied(self, emu, device, array):
        arrays = {"offsets": [0, 0], "targets": []}
        arrays[array] = np.broadcast_to(np.uint8(0), (2**34,))
        with emu.counting(*LIFE_CALLS) as counter:
            with pytest.raises(ValueError) as excinfo:
                GpuGraph.from_csr(arrays["offsets"], arrays["targets"], device)
        assert excinfo.value.args == (
            f"invalid CSR graph: {array} has 17179869184 elements; "
            "at most 4294967295 are supported",
        )
        assert counter.delta == calls()

    def test_device_stays_usable_after_a_refusal(self, device):
        with pytest.raises(ValueError):
            GpuGraph.from_csr([0, 2, 1], [1, 0], device)
        assert GpuGraph.from_csr(*PATH, device).bfs(0)["distances"] == [0, 1, 2]


# (offsets, targets, num_nodes, num_edges, source, expected distances or None)
ACCEPTED_ODDITIES = {
    "offsets not starting at 0": ([2, 3, 4], [9, 9, 1, 0], 2, 4, 0, [0, 1]),
    "targets beyond the last offset": ([0, 1, 2], [1, 0, 77, 2**32 - 1], 2, 4, 0, [0, 1]),
    "only targets beyond the last offset": ([0], [5, 6], 0, 2, None, None),
    "nothing in range": ([5, 5, 5], [0, 0, 0, 0, 9], 2, 5, 0, [0, -1]),
    "one offset equal to the length": ([3], [1, 2, 3], 0, 3, None, None),
    "unsorted lists": ([0, 2, 3, 4], [2, 1, 0, 0], 3, 4, 0, [0, 1, 1]),
    "duplicates": ([0, 3, 4, 4], [1, 1, 1, 2], 3, 4, 0, [0, 1, 2]),
    "self-loops": ([0, 2, 3, 3], [0, 1, 2], 3, 3, 0, [0, 1, 2]),
    "one-direction edge": ([0, 1, 1], [1], 2, 1, 1, [-1, 0]),
}


class TestAcceptedOddities:
    @pytest.mark.parametrize("case", list(ACCEPTED_ODDITIES))
    def test_accepted_and_usable(self, device, case):
        offsets, targets, nodes, edges, source, distances = ACCEPTED_ODDITIES[case]
        graph = GpuGraph.from_csr(offsets, targets, device)
        assert (graph.num_nodes, graph.num_edges) == (nodes, edges)
        if source is not None:
            assert graph.bfs(source)["distances"] == distances

    def test_self_loops_leave_triangles_alone(self, device):
        offsets, targets = TRIANGLE
        # The triangle again, with node 0 listing itself first.
        graph = GpuGraph.from_csr([0, 3, 5, 7], [0, 1, 2, 0, 2, 0, 1], device)
        assert graph.triangle_count()["total_triangles"] == 1
        assert GpuGraph.from_csr(offsets, targets, device).triangle_count()["total_triangles"] == 1


class TestDeviceMemory:
    @pytest.mark.skipif(not POOLED, reason="the software GPU runs without memory pools here")
    def test_upload_and_release_call_sequence(self, emu, device):
        offsets, targets = ring(64)
        before = emu.live()
        with emu.counting(*LIFE_CALLS) as build:
            graph = GpuGraph.from_csr(offsets, targets, device)
        assert build.delta == calls(
            cuMemAllocAsync=2, cuEventCreate=4, cuMemcpyHtoDAsync_v2=2, cuEventRecord=2
        )
        during = emu.live()
        assert during["allocations"] == before["allocations"] + 2
        # 65 offsets (260 bytes) and 64 targets (256 bytes), each rounded up to 256.
        assert during["allocated_bytes"] == before["allocated_bytes"] + 512 + 256
        assert during["events"] == before["events"] + 4
        with emu.counting(*LIFE_CALLS) as release:
            del graph
            gc.collect()
        assert release.delta == calls(cuStreamWaitEvent=4, cuMemFreeAsync=2, cuEventDestroy_v2=4)
        assert emu.live() == before

    def test_zero_element_targets_hold_no_memory(self, emu, device):
        before = emu.live()
        with emu.counting(*LIFE_CALLS) as build:
            graph = GpuGraph.from_csr([0, 0, 0], [], device)
        assert build.delta == calls(
            **{ALLOCATE: 1}, cuEventCreate=2, cuMemcpyHtoDAsync_v2=1, cuEventRecord=1
        )
        assert emu.live()["allocations"] == before["allocations"] + 1
        with emu.counting(*LIFE_CALLS) as release:
            del graph
        free = "cuMemFreeAsync" if POOLED else "cuMemFree_v2"
        expected = calls(cuStreamWaitEvent=2, cuEventDestroy_v2=2, **{free: 1})
        if not POOLED:
            expected["cuStreamSynchronize"] = 1
        assert release.delta == expected
        assert emu.live() == before

    def test_empty_graph_makes_no_driver_call(self, emu, device):
        before = emu.live()
        with emu.counting(*LIFE_CALLS) as build:
            graph = GpuGraph.from_csr([], [], device)
        assert build.delta == calls()
        assert emu.live() == before
        with emu.counting(*LIFE_CALLS) as release:
            del graph
        assert release.delta == calls()
        assert emu.live() == before

    @pytest.mark.parametrize(
        "run",
        [
            lambda graph, n, end: graph.core_number(),
            lambda graph, n, end: graph.connected_components(),
            lambda graph, n, end: graph._node_kernels_bfs(end),
            lambda graph, n, end: graph._node_kernels_pagerank(max_iterations=n, tolerance=0.0),
        ],
        ids=["core_number", "connected_components", "node-kernel-bfs", "node-kernel-pagerank"],
    )
    def test_rounds_clear_their_counters_on_the_device(self, emu, device, run):
        # A path, its nodes numbered at random, takes more rounds the longer
        # it is; what a call copies to the device must not grow with them.
        made = {}
        for n in (6, 200):
            order = list(range(n))
            random.Random(n).shuffle(order)
            path = undirected_csr(n, zip(order, order[1:]))
            graph = GpuGraph.from_csr(*path, device)
            with emu.counting("cuMemcpyHtoDAsync_v2", "cuMemsetD32Async") as counter:
                run(graph, n, order[0])
            made[n] = counter.delta
        assert made[6]["cuMemcpyHtoDAsync_v2"] == made[200]["cuMemcpyHtoDAsync_v2"], made
        assert made[6]["cuMemsetD32Async"] < made[200]["cuMemsetD32Async"], made

    def test_failed_second_allocation_releases_the_first(self, emu, device):
        before = emu.live()
        emu.fail_call(ALLOCATE, 2, 2)  # CUDA_ERROR_OUT_OF_MEMORY, for targets
        with emu.counting(*LIFE_CALLS) as counter:
            with pytest.raises(RuntimeError) as excinfo:
                GpuGraph.from_csr([0, 1, 2], [1, 0], device)
        assert engine_error(excinfo) == OUT_OF_MEMORY
        # offsets was allocated and copied before the refusal, then released.
        assert counter.delta[ALLOCATE] == 2
        assert counter.delta["cuMemcpyHtoDAsync_v2"] == 1
        assert counter.delta["cuEventDestroy_v2"] == 2
        assert emu.live() == before
        assert GpuGraph.from_csr(*PATH, device).bfs(0)["distances"] == [0, 1, 2]

    def test_failed_first_allocation_allocates_nothing(self, emu, device):
        before = emu.live()
        emu.fail_call(ALLOCATE, 1, 2)
        with emu.counting(*LIFE_CALLS) as counter:
            with pytest.raises(RuntimeError) as excinfo:
                GpuGraph.from_csr([0, 1, 2], [1, 0], device)
        assert engine_error(excinfo) == OUT_OF_MEMORY
        assert counter.delta[ALLOCATE] == 1
        assert counter.delta["cuEventCreate"] == 0
        assert emu.live() == before

    def test_failed_copy_releases_both_arrays(self, emu, device):
        before = emu.live()
        emu.fail_call("cuMemcpyHtoDAsync_v2", 2, 1)
        with pytest.raises(RuntimeError) as excinfo:
            GpuGraph.from_csr([0, 1, 2], [1, 0], device)
        assert engine_error(excinfo) == (
            'CUDA driver error: DriverError(CUDA_ERROR_INVALID_VALUE, "invalid argument")'
        )
        assert emu.live() == before

    @needs_software_gpu
    def test_graph_larger_than_the_device(self):
        values = run_reporting(
            """
            device = GpuDevice(0)
            emu = SoftwareGpu()
            outcomes = []
            # offsets alone does not fit; then offsets fits and targets does not.
            for offsets, targets in [([0] * 2000, []), ([0] * 100, [0] * 1000)]:
                try:
                    GpuGraph.from_csr(offsets, targets, device)
                    outcomes.append(None)
                except RuntimeError as error:
                    outcomes.append([type(error) is RuntimeError, list(error.args)])
                outcomes.append(emu.live())
            fits = GpuGraph.from_csr([0] * 100, [0] * 100, device)
            report(outcomes=outcomes, memory=device.total_memory,
                   fits=[fits.num_nodes, fits.num_edges])
        """,
            extra_env={"VORLAN_EMU_MEMORY": "4K"},
        )
        assert values["memory"] == 4096
        first, live_after_first, second, live_after_second = values["outcomes"]
        assert first == [True, [OUT_OF_MEMORY]]
        assert second == [True, [OUT_OF_MEMORY]]
        for live in (live_after_first, live_after_second):
            assert (live["allocations"], live["allocated_bytes"], live["events"]) == (0, 0, 0)
        assert values["fits"] == [99, 100]

    @needs_software_gpu
    def test_device_without_memory_pools(self):
        values = run_reporting(
            """
            names = """
            + repr(LIFE_CALLS)
            + """
            device = GpuDevice(0)
            emu = SoftwareGpu()
            offsets = list(range(9))
            targets = [(i + 1) % 8 for i in range(8)]
            def delta(action):
                before = {name: emu.calls(name) for name in names}
                action()
                return {name: emu.calls(name) - before[name] for name in names}
            holder = {}
            build = delta(lambda: holder.update(graph=GpuGraph.from_csr(offsets, targets, device)))
            distances = holder["graph"].bfs(0)["distances"]
            release = delta(lambda: holder.clear())
            # A failing drain is kept for later and skips the second one.
            holder["graph"] = GpuGraph.from_csr(offsets, targets, device)
            emu.fail_call("cuStreamSynchronize", 1, 999)
            failed_release = delta(lambda: holder.clear())
            try:
                GpuGraph.from_csr(offsets, targets, device)
                deferred = None
            except RuntimeError as error:
                deferred = list(error.args)
            after = GpuGraph.from_csr(offsets, targets, device).num_nodes
            report(build=build, release=release, failed_release=failed_release,
                   distances=distances, deferred=deferred, after=after)
        """,
            extra_env={"VORLAN_EMU_POOLS": "0"},
        )
        assert values["build"] == calls(
            cuMemAlloc_v2=2, cuEventCreate=4, cuMemcpyHtoDAsync_v2=2, cuEventRecord=2
        )
        assert values["distances"] == [0, 1, 2, 3, 4, 5, 6, 7]
        assert values["release"] == calls(
            cuStreamWaitEvent=4, cuStreamSynchronize=2, cuMemFree_v2=2, cuEventDestroy_v2=4
        )
        # After the failed drain the second buffer's waits stop at the context
        # bind, which hands the pending code back; its drain is skipped too.
        assert values["failed_release"] == calls(
            cuStreamWaitEvent=2, cuStreamSynchronize=1, cuMemFree_v2=2, cuEventDestroy_v2=4
        )
        assert values["deferred"] == [UNKNOWN]
        assert values["after"] == 8


class TestDeferredErrors:
    def test_teardown_failure_fails_the_next_upload_once(self, emu, device):
        graph = GpuGraph.from_csr(*PATH, device)
        emu.fail_call("cuEventDestroy_v2", 1, 999)
        del graph
        gc.collect()
        with emu.counting(*LIFE_CALLS) as counter:
            with pytest.raises(RuntimeError) as excinfo:
                GpuGraph.from_csr(*PATH, device)
        assert engine_error(excinfo) == UNKNOWN
        assert counter.delta == calls()  # refused before any driver call
        again = GpuGraph.from_csr(*PATH, device)
        assert again.bfs(0)["distances"] == [0, 1, 2]

    def test_deferred_error_belongs_to_one_device_object(self, emu, device):
        other = GpuDevice(0)
        graph = GpuGraph.from_csr(*PATH, device)
        emu.fail_call("cuEventDestroy_v2", 1, 999)
        del graph
        # Same GPU, separate context record: not affected.
        assert GpuGraph.from_csr(*PATH, other).num_nodes == 3
        with pytest.raises(RuntimeError) as excinfo:
            GpuGraph.from_csr(*PATH, device)
        assert engine_error(excinfo) == UNKNOWN
        assert GpuGraph.from_csr(*PATH, device).num_nodes == 3

    def test_failure_releasing_memory_is_reported_later(self, emu, device):
        free = "cuMemFreeAsync" if POOLED else "cuMemFree_v2"
        graph = GpuGraph.from_csr(*PATH, device)
        emu.fail_call(free, 2, 700)
        del graph
        with pytest.raises(RuntimeError) as excinfo:
            GpuGraph.from_csr(*PATH, device)
        assert engine_error(excinfo) == (
            "CUDA driver error: DriverError(CUDA_ERROR_ILLEGAL_ADDRESS, "
            '"an illegal memory access was encountered")'
        )
        assert GpuGraph.from_csr(*PATH, device).num_edges == 2


# The triangle with its lists behind an unused first position: not every
# position lies in a list, so triangle counting takes the node kernels.
OFFSET_TRIANGLE = ([1, 3, 5, 7], [0, 1, 2, 0, 2, 0, 1])


def module_fault_script(setup, csr=TRIANGLE):
    """A child that builds a triangle, runs `setup`, then calls triangle_count
    twice and reports the fault of the first call, what the device held around
    it, and the second result."""
    return (
        """
        device = GpuDevice(0)
        graph = GpuGraph.from_csr("""
        + repr(csr[0])
        + ", "
        + repr(csr[1])
        + """, device)
        emu = SoftwareGpu()
        """
        + setup
        + """
        held = emu.live()
        loads_before = emu.calls("cuModuleLoadData")
        unloads_before = emu.calls("cuModuleUnload")
        try:
            graph.triangle_count()
            fault = None
        except BaseException as caught:
            fault = fault_info(caught)
        after_fault = emu.live()
        unloads = emu.calls("cuModuleUnload") - unloads_before
        total = graph.triangle_count()["total_triangles"]
        report(fault=fault, held=held, after_fault=after_fault, unloads=unloads, total=total,
               after_success=emu.live(), loads=emu.calls("cuModuleLoadData") - loads_before)
    """
    )


@needs_software_gpu
class TestKernelModules:
    @pytest.mark.parametrize(
        "csr, entry_point, nth, code, message, unloads",
        [
            (
                TRIANGLE,
                "cuModuleLoadData",
                1,
                218,
                'failed to load PTX module: DriverError(CUDA_ERROR_INVALID_PTX, "a PTX JIT compilation failed")',
                0,
            ),
            (
                TRIANGLE,
                "cuModuleGetFunction",
                1,
                500,
                "kernel triangle_count_edges_kernel not found: DriverError(CUDA_ERROR_NOT_FOUND, "
                '"named symbol not found")',
                1,
            ),
            (
                OFFSET_TRIANGLE,
                "cuModuleLoadData",
                1,
                218,
                'failed to load PTX module: DriverError(CUDA_ERROR_INVALID_PTX, "a PTX JIT compilation failed")',
                0,
            ),
            (
                OFFSET_TRIANGLE,
                "cuModuleGetFunction",
                1,
                500,
                "kernel triangle_count_kernel not found: DriverError(CUDA_ERROR_NOT_FOUND, "
                '"named symbol not found")',
                1,
            ),
            (
                OFFSET_TRIANGLE,
                "cuModuleGetFunction",
                2,
                500,
                "kernel triangle_count_warp_kernel not found: DriverError(CUDA_ERROR_NOT_FOUND, "
                '"named symbol not found")',
                1,
            ),
        ],
        ids=["edge-load", "edge-lookup", "node-load", "node-lookup-1", "node-lookup-2"],
    )
    def test_module_faults_leave_nothing_behind(
        self, csr, entry_point, nth, code, message, unloads
    ):
        values = run_reporting(
            module_fault_script(f"emu.fail_call({entry_point!r}, {nth}, {code})", csr)
        )
        fault = values["fault"]
        assert fault is not None, "triangle_count succeeded despite the injected failure"
        assert fault["args"] == [message]
        assert fault["bases"] == ["BaseException"]
        assert not fault["is_exception"] and not fault["in_module"]
        # Only what the graph holds remains: no module, no working buffer.
        assert values["after_fault"] == values["held"]
        assert values["held"]["modules"] == 0
        assert values["unloads"] == unloads
        # The next call loads the module afresh and works.
        assert values["total"] == 1
        assert values["loads"] == 2
        assert values["after_success"]["modules"] == 1
        for key in ("allocations", "allocated_bytes", "events"):
            assert values["after_success"][key] == values["held"][key]

    # A teardown failure left on the context belongs to the next operation as
    # a driver error, whether or not that operation's module is loaded yet:
    # it says nothing about the module.
    @pytest.mark.parametrize("call", ["triangle_count()", "bfs(0)", "pagerank()", "k_truss(3)"])
    @pytest.mark.parametrize("teardown", ["spare graph", "bfs working buffer"])
    def test_deferred_error_is_a_driver_error_of_the_first_call(self, call, teardown):
        setup = {
            "spare graph": """
                spare = GpuGraph.from_csr([0, 1], [0], device)
                emu.fail_call("cuEventDestroy_v2", 1, 999)
                del spare
                """,
            # BFS's own module is loaded on the way; the others are not.
            "bfs working buffer": """
                free = "cuMemFreeAsync" if emu.calls("cuMemFreeAsync") else "cuMemFree_v2"
                emu.fail_call(free, 1, 999)
                assert graph.bfs(0)["distances"] == [0, 1, 1]
                """,
        }[teardown]
        values = run_reporting(
            """
            device = GpuDevice(0)
            graph = GpuGraph.from_csr("""
            + repr(TRIANGLE[0])
            + ", "
            + repr(TRIANGLE[1])
            + """, device)
            emu = SoftwareGpu()
            GpuGraph.from_csr([0, 1], [0], device)  # one release, so the free's name shows
"""
            + textwrap.indent(textwrap.dedent(setup), " " * 12)
            + """
            loads_before = emu.calls("cuModuleLoadData")
            try:
                graph."""
            + call
            + """
                raised = None
            except BaseException as caught:
                raised = [type(caught).__name__, list(caught.args)]
            loads = emu.calls("cuModuleLoadData") - loads_before
            result = graph."""
            + call
            + """
            report(raised=raised, loads=loads, works=isinstance(result, dict))
        """
        )
        assert values["raised"] == ["RuntimeError", [UNKNOWN]]
        assert values["works"]
        # The error was taken before the module cache asked the driver for
        # anything; the next call loads the module as a first call would.
        assert values["loads"] == 0

    def test_each_algorithm_loads_its_own_module_once(self):
        values = run_reporting(
            """
            device = GpuDevice(0)
            graph = GpuGraph.from_csr("""
            + repr(K4[0])
            + ", "
            + repr(K4[1])
            + """, device)
            emu = SoftwareGpu()
            seen = []
            def step(run):
                run()
                seen.append([emu.calls("cuModuleLoadData"), emu.calls("cuModuleGetFunction"),
                             emu.live()["modules"]])
            step(lambda: graph.triangle_count())
            step(lambda: graph.triangle_count())
            step(lambda: graph.bfs(0))
            step(lambda: graph.bfs(1))
            step(lambda: graph.triangle_count())
            report(seen=seen)
        """
        )
        # K4's lists are strictly ascending: triangles take the edge module,
        # one kernel; BFS's module has three.
        assert values["seen"] == [[1, 1, 1], [1, 1, 1], [2, 4, 2], [2, 4, 2], [2, 4, 2]]

    def test_each_device_loads_the_module_once(self):
        values = run_reporting(
            """
            devices = [GpuDevice(0), GpuDevice(1)]
            graphs = [GpuGraph.from_csr([0, 1, 2, 3, 3], [1, 2, 3], d) for d in devices]
            emu = SoftwareGpu()
            results = [graph.bfs(0)["distances"] for graph in graphs]
            results += [graph.bfs(1)["distances"] for graph in graphs]
            report(results=results, loads=emu.calls("cuModuleLoadData"),
                   lookups=emu.calls("cuModuleGetFunction"),
                   modules=[emu.live(0)["modules"], emu.live(1)["modules"]])
        """,
            extra_env={"VORLAN_EMU_DEVICES": "2"},
        )
        assert values["results"] == [[0, 1, 2, 3]] * 2 + [[-1, 0, 1, 2]] * 2
        assert values["loads"] == 2
        assert values["lookups"] == 2 * 3  # BFS's module has three kernels
        assert values["modules"] == [1, 1]

    def test_devices_sharing_one_gpu_share_its_module(self):
        values = run_reporting("""
            first, second = GpuDevice(0), GpuDevice(0)
            results = [GpuGraph.from_csr([0, 1, 1], [1], d).bfs(0)["distances"]
                       for d in (first, second)]
            emu = SoftwareGpu()
            report(results=results, loads=emu.calls("cuModuleLoadData"))
        """)
        assert values["results"] == [[0, 1], [0, 1]]
        assert values["loads"] == 1


class TestKernelModulesInProcess:
    def test_second_call_loads_nothing(self, emu, device):
        graph = GpuGraph.from_csr(*K4, device)
        assert graph.triangle_count()["total_triangles"] == 4
        modules = emu.live()["modules"]
        with emu.counting("cuModuleLoadData", "cuModuleGetFunction", "cuLaunchKernel") as counter:
            assert graph.triangle_count()["total_triangles"] == 4
        # The edge kernel's two launches: the position sweeps and the list phase.
        assert counter.delta == {
            "cuModuleLoadData": 0,
            "cuModuleGetFunction": 0,
            "cuLaunchKernel": 2,
        }
        assert emu.live()["modules"] == modules

    def test_working_buffers_are_given_back(self, emu, device):
        graph = GpuGraph.from_csr(*K4, device)
        graph.triangle_count()
        graph.bfs(0)
        held = emu.live()
        graph.triangle_count()
        graph.bfs(2)
        assert emu.live() == held


class TestLifetimeAndThreads:
    def test_graph_outlives_its_device(self, device):
        owner = GpuDevice(0)
        graph = GpuGraph.from_csr(*K4, owner)
        del owner
        gc.collect()
        assert graph.num_nodes == 4
        assert graph.bfs(0)["distances"] == [0, 1, 1, 1]
        assert graph.triangle_count()["total_triangles"] == 4

    def test_graph_from_a_function_that_dropped_its_device(self):
        def build():
            return GpuGraph.from_csr(*PATH, GpuDevice(0))

        graph = build()
        gc.collect()
        assert graph.bfs(0)["distances"] == [0, 1, 2]

    def test_graph_built_on_another_thread_is_used_here(self, device):
        made = []
        worker = threading.Thread(target=lambda: made.append(GpuGraph.from_csr(*PATH, device)))
        worker.start()
        worker.join()
        assert made[0].bfs(0)["distances"] == [0, 1, 2]

    def test_graph_built_here_is_used_on_another_thread(self, device):
        graph = GpuGraph.from_csr(*K4, device)
        results = []
        worker = threading.Thread(target=lambda: results.append(graph.bfs(1)["distances"]))
        worker.start()
        worker.join()
        assert results == [[1, 0, 1, 1]]

    def test_device_and_graph_of_a_finished_thread(self):
        made = []

        def build():
            made.append(GpuGraph.from_csr(*TRIANGLE, GpuDevice(0)))

        worker = threading.Thread(target=build)
        worker.start()
        worker.join()
        gc.collect()
        assert made[0].triangle_count()["total_triangles"] == 1

    def test_one_graph_on_several_threads(self, device):
        offsets, targets = ring(12)
        graph = GpuGraph.from_csr(offsets, targets, device)
        results, errors = [], []

        def search(source):
            try:
                for _ in range(2):
                    results.append((source, graph.bfs(source)["distances"]))
            except BaseException as error:  # reported below, not lost in the thread
                errors.append(error)

        workers = [threading.Thread(target=search, args=(source,)) for source in range(4)]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()
        assert errors == []
        assert len(results) == 8
        for source, distances in results:
            assert distances == [(node - source) % 12 for node in range(12)]
