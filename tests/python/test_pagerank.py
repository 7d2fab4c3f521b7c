"""GpuGraph.pagerank(): ranks bit for bit against a NumPy single-precision
recurrence done in the same order of operations, the convergence rule,
argument handling and failures."""

import math
from fractions import Fraction

import networkx as nx
import numpy as np
import pytest
import vorlan_cuda
from conftest import (
    allocation_entry_point,
    csr_from_lists,
    csr_from_networkx,
    driver_error_text,
    shape_params,
)

F32 = np.float32
DEFAULT_TOLERANCE = F32(1e-6)


def fma_f32(a, b, c):
    """a * b + c rounded once to single precision, for single-precision inputs.

    The product of two singles is exact in double, so a * b + c in double
    arithmetic is the exact value rounded once to double. Rounding that to single
    gives the single rounding of the exact value except when the double lands
    exactly on the midpoint of two singles while the exact value does not; in
    that case the exact value decides, computed with fractions."""
    a, b, c = float(a), float(b), float(c)
    wide = a * b + c
    narrow = F32(wide)
    if not math.isfinite(wide) or float(narrow) == wide:
        return narrow
    other = np.nextafter(narrow, F32(np.inf) if wide > float(narrow) else F32(-np.inf))
    if not np.isfinite(other) or (float(narrow) + float(other)) / 2 != wide:
        return narrow
    exact = Fraction(a) * Fraction(b) + Fraction(c)
    below, above = sorted((narrow, other), key=float)
    gap_below, gap_above = exact - Fraction(float(below)), Fraction(float(above)) - exact
    if gap_below != gap_above:
        return below if gap_below < gap_above else above
    return below if int(below.view(np.uint32)) % 2 == 0 else above


def test_fma_reference_rounds_once():
    # 1 + 2^-23 + 2^-24 - 2^-70 lies just below the midpoint of 1 + 2^-23 and
    # 1 + 2^-22; rounding it to double first would land on the midpoint and
    # then round to the even neighbour, the wrong one.
    one_ulp_up = F32(1 + 2**-23)
    assert fma_f32(one_ulp_up, F32(2**-24 * (1 - 2**-23)), one_ulp_up) == one_ulp_up
    # A true tie goes to the even neighbour.
    assert fma_f32(F32(1), F32(1), F32(2**-24)) == F32(1)
    # The product is not rounded on its own before the addition.
    assert fma_f32(F32(3), F32(1 / 3), F32(-1)) == F32(2**-25)


class Reference:
    """The recurrence over the stored lists, each list a node's contributors:
    ranks start at 1/n; per node, sum = +0 plus rank(u) / degree(u) over its
    list in order (contributors of degree 0 skipped); the new rank is
    fma(sum, damping, (1 - damping) / n). Everything in single precision."""

    def __init__(self, offsets, targets, damping):
        self.offsets = np.asarray(offsets, dtype=np.int64)
        self.targets = np.asarray(targets, dtype=np.int64)
        self.n = len(offsets) - 1
        self.damping = F32(damping)
        self.degrees = np.diff(self.offsets)
        self.teleport = (F32(1) - self.damping) / F32(self.n)
        self.ranks = [np.full(self.n, F32(1) / F32(self.n), dtype=np.float32)]
        self.changes = [None]

    def step(self, ranks):
        n, offsets, targets = self.n, self.offsets, self.targets
        contributor_degree = self.degrees[targets]
        divisor = np.where(contributor_degree == 0, 1, contributor_degree).astype(np.float32)
        shares = ranks[targets] / divisor
        # Position j of every list at once, j = 0, 1, ...: each node's sum is
        # still accumulated in list order.
        sums = np.zeros(n, dtype=np.float32)
        for j in range(int(self.degrees.max()) if n else 0):
            rows = np.nonzero(self.degrees > j)[0]
            positions = offsets[rows] + j
            live = contributor_degree[positions] != 0
            rows, positions = rows[live], positions[live]
            sums[rows] = sums[rows] + shares[positions]
        return np.array([fma_f32(s, self.damping, self.teleport) for s in sums], dtype=np.float32)

    @staticmethod
    def l1_change(old, new):
        """The change as one block of 256 threads reduces it: |old - new| per
        slot (0 past the last node), folded in halves, slot t += slot t + s."""
        assert len(old) <= 256, "more blocks add their sums in no fixed order"
        slots = np.zeros(256, dtype=np.float32)
        slots[: len(old)] = np.abs(old - new)
        half = 128
        while half:
            slots[:half] = slots[half : 2 * half] + slots[:half]
            half //= 2
        return F32(0) + slots[0]

    def iterate(self, count):
        while len(self.ranks) <= count:
            new = self.step(self.ranks[-1])
            change = self.l1_change(self.ranks[-1], new) if self.n <= 256 else None
            self.ranks.append(new)
            self.changes.append(change)
        return self.ranks[count]

    def stopping_iteration(self, tolerance, max_iterations):
        """(iterations, converged) of the loop: stop after the first iteration
        whose change is strictly below the tolerance."""
        tolerance = F32(tolerance)
        for iteration in range(1, max_iterations + 1):
            self.iterate(iteration)
            if tolerance > self.changes[iteration]:
                return iteration, True
        return max_iterations, False


def bits(values):
    return np.asarray(values, dtype=np.float32).view(np.uint32)


def assert_same_bits(actual, expected):
    actual = np.asarray(actual, dtype=np.float64)
    assert np.array_equal(actual.astype(np.float32).astype(np.float64), actual, equal_nan=True), (
        "ranks must be single-precision values"
    )
    got, want = bits(actual), bits(expected)
    mismatched = np.nonzero(got != want)[0]
    assert len(mismatched) == 0, (
        f"{len(mismatched)} ranks differ, first at node {mismatched[0]}: "
        f"{actual[mismatched[0]]!r} != {float(expected[mismatched[0]])!r}"
    )


class TestFixedIterations:
    """With tolerance 0 the loop never converges, so the ranks are the
    max_iterations-th iterate and must match the recurrence bit for bit."""

    @pytest.mark.parametrize("graph", shape_params())
    def test_every_shape(self, make_graph, graph):
        offsets, targets = csr_from_networkx(graph)
        result = make_graph(offsets, targets).pagerank(0.85, 12, 0.0)
        assert result["iterations"] == 12
        assert result["converged"] is False
        assert_same_bits(result["ranks"], Reference(offsets, targets, 0.85).iterate(12))

    @pytest.mark.parametrize("damping", [0.85, 0.5, 0.99, 0.15, 1.0, 0.0, 1.25, -0.3])
    def test_dampings(self, make_graph, damping):
        offsets, targets = csr_from_networkx(nx.gnp_random_graph(70, 0.08, seed=3))
        result = make_graph(offsets, targets).pagerank(damping, 9, 0.0)
        assert_same_bits(result["ranks"], Reference(offsets, targets, damping).iterate(9))

    @pytest.mark.parametrize("iterations", [1, 2, 3, 7, 40])
    def test_iteration_counts(self, make_graph, iterations):
        offsets, targets = csr_from_networkx(nx.barabasi_albert_graph(90, 2, seed=4))
        result = make_graph(offsets, targets).pagerank(max_iterations=iterations, tolerance=0.0)
        assert result["iterations"] == iterations
        assert_same_bits(result["ranks"], Reference(offsets, targets, 0.85).iterate(iterations))

    @pytest.mark.parametrize("seed", range(3))
    def test_directed_lists_with_contributors_of_degree_zero(self, make_graph, seed):
        # Lists taken as contributors: a node that lists nothing passes its
        # rank to no one, whoever lists it.
        offsets, targets = csr_from_networkx(
            nx.gnp_random_graph(80, 0.04, seed=seed, directed=True)
        )
        assert 0 in np.diff(offsets)
        result = make_graph(offsets, targets).pagerank(0.85, 15, 0.0)
        assert_same_bits(result["ranks"], Reference(offsets, targets, 0.85).iterate(15))

    def test_repeats_and_self_loops_count_as_listed(self, make_graph):
        lists = [[0, 1, 1, 2], [0, 0, 2], [2], [0, 1, 2, 3, 3, 3], []]
        offsets, targets = csr_from_lists(lists)
        result = make_graph(offsets, targets).pagerank(0.7, 10, 0.0)
        assert_same_bits(result["ranks"], Reference(offsets, targets, 0.7).iterate(10))

    def test_node_with_an_empty_list_keeps_the_teleport_share(self, make_graph):
        graph = nx.gnp_random_graph(40, 0.2, seed=2)
        graph.add_nodes_from(range(40, 45))  # isolated
        gpu = make_graph(graph)
        for damping in (0.85, 0.3, 0.999):
            teleport = float((F32(1) - F32(damping)) / F32(45))
            for iterations in (1, 2, 5):
                ranks = gpu.pagerank(damping, iterations, 0.0)["ranks"]
                assert ranks[40:] == [teleport] * 5

    def test_more_nodes_than_one_block(self, make_graph):
        offsets, targets = csr_from_networkx(nx.gnp_random_graph(600, 0.01, seed=6))
        result = make_graph(offsets, targets).pagerank(0.85, 6, 0.0)
        assert_same_bits(result["ranks"], Reference(offsets, targets, 0.85).iterate(6))

    def test_ranks_sum_to_about_one_without_dangling_nodes(self, make_graph):
        graph = nx.connected_watts_strogatz_graph(100, 4, 0.2, seed=1)
        ranks = make_graph(graph).pagerank(0.85, 120, 0.0)["ranks"]
        assert math.fsum(ranks) == pytest.approx(1.0, abs=1e-5)
        expected = nx.pagerank(graph, alpha=0.85, max_iter=1000, tol=1e-12)
        assert ranks == pytest.approx([expected[v] for v in range(100)], abs=1e-6)


class TestConvergence:
    def convergence_graph(self):
        return csr_from_networkx(nx.gnp_random_graph(60, 0.1, seed=8))

    def test_default_tolerance_stops_at_the_first_change_below_it(self, make_graph):
        offsets, targets = self.convergence_graph()
        reference = Reference(offsets, targets, 0.85)
        iterations, converged = reference.stopping_iteration(DEFAULT_TOLERANCE, 100)
        assert converged and iterations > 2
        result = make_graph(offsets, targets).pagerank()
        assert (result["iterations"], result["converged"]) == (iterations, True)
        assert_same_bits(result["ranks"], reference.iterate(iterations))

    @pytest.mark.parametrize(
        "graph",
        [
            nx.gnp_random_graph(60, 0.1, seed=8),
            nx.barabasi_albert_graph(120, 2, seed=1),
            nx.cycle_graph(9),
            nx.star_graph(30),
        ],
        ids=["random", "attachment", "cycle", "star"],
    )
    def test_default_tolerance_is_its_single_precision_value(self, make_graph, graph):
        offsets, targets = csr_from_networkx(graph)
        gpu = make_graph(offsets, targets)
        expected = Reference(offsets, targets, 0.85).stopping_iteration(F32(9.99999997e-07), 100)
        default = gpu.pagerank()
        assert (default["iterations"], default["converged"]) == expected
        for spelled in (9.99999997e-07, float(DEFAULT_TOLERANCE), 1e-6):
            result = gpu.pagerank(tolerance=spelled)
            assert (result["ranks"], result["iterations"]) == (
                default["ranks"],
                default["iterations"],
            )

    @pytest.mark.parametrize("at", [2, 4, 6])
    def test_change_equal_to_the_tolerance_does_not_converge(self, make_graph, at):
        offsets, targets = self.convergence_graph()
        reference = Reference(offsets, targets, 0.85)
        reference.iterate(at)
        tolerance = reference.changes[at]
        just_above = np.nextafter(tolerance, F32(np.inf))
        equal_case = reference.stopping_iteration(tolerance, 100)
        above_case = reference.stopping_iteration(just_above, 100)
        assert equal_case[0] > at and above_case == (at, True), (
            "the graph no longer separates the cases"
        )
        gpu = make_graph(offsets, targets)
        for tol, expected in ((tolerance, equal_case), (just_above, above_case)):
            result = gpu.pagerank(0.85, 100, float(tol))
            assert (result["iterations"], result["converged"]) == expected
            assert_same_bits(result["ranks"], reference.iterate(expected[0]))

    def test_exact_change_on_an_edgeless_graph(self, make_graph):
        # Four nodes move from 1/4 to 1/8 in the first iteration: the change is
        # exactly 0.5, then 0.
        gpu = make_graph([0, 0, 0, 0, 0], [])
        for tolerance, expected in (
            (0.5, 2),
            (float(np.nextafter(F32(0.5), F32(1))), 1),
            (0.25, 2),
        ):
            result = gpu.pagerank(0.5, 10, tolerance)
            assert (result["iterations"], result["converged"]) == (expected, True)
            assert result["ranks"] == [0.125] * 4

    @pytest.mark.parametrize("tolerance", [0.0, -0.0, -1.0, float("-inf"), float("nan")])
    def test_tolerance_that_can_never_be_met(self, make_graph, tolerance):
        gpu = make_graph([0, 0, 0, 0, 0], [])  # the change is 0 from the second iteration on
        result = gpu.pagerank(0.5, 7, tolerance)
        assert (result["iterations"], result["converged"]) == (7, False)
        assert result["ranks"] == [0.125] * 4

    def test_nan_damping_never_converges(self, make_graph):
        result = make_graph(nx.path_graph(5)).pagerank(float("nan"), 6, 1.0)
        assert (result["iterations"], result["converged"]) == (6, False)
        assert all(math.isnan(r) for r in result["ranks"])

    def test_huge_tolerance_converges_after_one_iteration(self, make_graph):
        offsets, targets = self.convergence_graph()
        result = make_graph(offsets, targets).pagerank(0.85, 100, float("inf"))
        assert (result["iterations"], result["converged"]) == (1, True)
        assert_same_bits(result["ranks"], Reference(offsets, targets, 0.85).iterate(1))

    def test_max_iterations_zero_returns_the_start(self, make_graph):
        for n in (1, 3, 7, 300):
            result = make_graph(nx.path_graph(n)).pagerank(max_iterations=0)
            assert result["ranks"] == [float(F32(1) / F32(n))] * n
            assert (result["iterations"], result["converged"]) == (0, False)

    def test_cap_reached_before_convergence(self, make_graph):
        offsets, targets = self.convergence_graph()
        reference = Reference(offsets, targets, 0.85)
        needed, _ = reference.stopping_iteration(DEFAULT_TOLERANCE, 100)
        result = make_graph(offsets, targets).pagerank(max_iterations=needed - 1)
        assert (result["iterations"], result["converged"]) == (needed - 1, False)
        assert_same_bits(result["ranks"], reference.iterate(needed - 1))

    def test_graph_without_nodes(self, make_graph):
        for offsets in ([], [0]):
            gpu = make_graph(offsets, [])
            result = gpu.pagerank()
            assert result["ranks"] == []
            assert (result["iterations"], result["converged"]) == (1, True)
            result = gpu.pagerank(0.85, 5, 0.0)
            assert (result["ranks"], result["iterations"], result["converged"]) == ([], 5, False)
            result = gpu.pagerank(max_iterations=0)
            assert (result["ranks"], result["iterations"], result["converged"]) == ([], 0, False)


class TestArguments:
    @pytest.fixture
    def graph(self, make_graph):
        return make_graph(nx.cycle_graph(6))

    def test_defaults(self, graph):
        plain = graph.pagerank()
        spelled = graph.pagerank(0.85, 100, 1e-6)
        assert plain["ranks"] == spelled["ranks"]
        assert plain["iterations"] == spelled["iterations"]

    def test_keywords_in_any_order(self, graph):
        a = graph.pagerank(tolerance=0.0, max_iterations=4, damping=0.6)
        b = graph.pagerank(0.6, 4, 0.0)
        assert a["ranks"] == b["ranks"] and a["iterations"] == b["iterations"] == 4

    def test_damping_is_used_as_its_single_precision_value(self, make_graph):
        offsets, targets = csr_from_networkx(nx.gnp_random_graph(30, 0.2, seed=1))
        gpu = make_graph(offsets, targets)
        for damping in (0.85, 0.3, 0.1 + 1e-12):
            as_double = gpu.pagerank(damping, 5, 0.0)["ranks"]
            as_single = gpu.pagerank(float(F32(damping)), 5, 0.0)["ranks"]
            assert as_double == as_single
            assert_same_bits(as_double, Reference(offsets, targets, F32(damping)).iterate(5))

    def test_integer_damping(self, make_graph):
        offsets, targets = csr_from_networkx(nx.gnp_random_graph(30, 0.2, seed=1))
        gpu = make_graph(offsets, targets)
        as_int = gpu.pagerank(1, 4, 0.0)
        assert as_int["ranks"] == gpu.pagerank(1.0, 4, 0.0)["ranks"]
        assert_same_bits(as_int["ranks"], Reference(offsets, targets, 1.0).iterate(4))

    def test_objects_with_float_or_index(self, graph):
        class Half:
            def __float__(self):
                return 0.5

        class Three:
            def __index__(self):
                return 3

        result = graph.pagerank(Half(), Three(), 0)
        assert result["iterations"] == 3
        assert result["ranks"] == graph.pagerank(0.5, 3, 0.0)["ranks"]

    def test_tolerance_beyond_single_precision_becomes_infinite(self, graph):
        result = graph.pagerank(0.85, 50, 1e300)
        assert (result["iterations"], result["converged"]) == (1, True)

    @pytest.mark.parametrize("damping", ["0.5", None, [0.5], 1j])
    def test_damping_that_is_not_a_number(self, graph, damping):
        with pytest.raises(TypeError) as error:
            graph.pagerank(damping=damping)
        assert type(error.value) is TypeError
        assert str(error.value).startswith("argument 'damping': ")

    @pytest.mark.parametrize("tolerance", ["1e-6", None])
    def test_tolerance_that_is_not_a_number(self, graph, tolerance):
        with pytest.raises(TypeError) as error:
            graph.pagerank(tolerance=tolerance)
        assert str(error.value).startswith("argument 'tolerance': ")

    def test_max_iterations_conversion(self, graph):
        with pytest.raises(OverflowError) as error:
            graph.pagerank(max_iterations=-1)
        assert not str(error.value).startswith("argument")
        with pytest.raises(OverflowError) as error:
            graph.pagerank(max_iterations=2**32)
        assert str(error.value) == "out of range integral type conversion attempted"
        with pytest.raises(TypeError) as error:
            graph.pagerank(max_iterations=10.0)
        assert str(error.value).startswith("argument 'max_iterations': ")

    def test_conversions_run_in_parameter_order(self, graph):
        with pytest.raises(TypeError, match="^argument 'damping': "):
            graph.pagerank("x", -1, "y")
        with pytest.raises(OverflowError):
            graph.pagerank(0.5, -1, "y")
        with pytest.raises(TypeError, match="^argument 'tolerance': "):
            graph.pagerank(0.5, 1, "y")

    def test_binding_errors(self, graph):
        with pytest.raises(TypeError) as error:
            graph.pagerank(0.85, 100, 1e-6, 5)
        assert str(error.value) == (
            "GpuGraph.pagerank() takes from 0 to 3 positional arguments but 4 were given"
        )
        with pytest.raises(TypeError) as error:
            graph.pagerank(0.85, damping=0.5)
        assert str(error.value) == "GpuGraph.pagerank() got multiple values for argument 'damping'"
        with pytest.raises(TypeError) as error:
            graph.pagerank(alpha=0.5)
        assert str(error.value) == "GpuGraph.pagerank() got an unexpected keyword argument 'alpha'"

    def test_wrong_self(self):
        # A method taken from the class refuses another object as self before
        # the call reaches the module; either refusal names both types.
        with pytest.raises(TypeError) as error:
            vorlan_cuda.GpuGraph.pagerank(object())
        assert "GpuGraph" in str(error.value) and "'object'" in str(error.value)


class TestResult:
    def test_keys_and_types(self, make_graph):
        result = make_graph(nx.path_graph(4)).pagerank()
        assert list(result) == ["ranks", "iterations", "converged", "time_seconds"]
        assert type(result["ranks"]) is list and len(result["ranks"]) == 4
        assert all(type(r) is float for r in result["ranks"])
        assert type(result["iterations"]) is int
        assert result["converged"] is True
        assert type(result["time_seconds"]) is float and result["time_seconds"] >= 0

    def test_docstring_and_signature(self):
        method = vorlan_cuda.GpuGraph.pagerank
        assert method.__doc__ == (
            "Run PageRank on GPU.\n\nArgs:\n    damping (float): Damping factor (default 0.85).\n"
            "    max_iterations (int): Maximum iterations (default 100).\n"
            "    tolerance (float): Convergence tolerance (default 1e-6).\n\n"
            "Returns:\n    dict with keys 'ranks' (list[float]), 'iterations' (int),\n"
            "    'converged' (bool), 'time_seconds' (float)."
        )
        assert (
            method.__text_signature__ == "($self, damping=0.85, max_iterations=100, tolerance=1e-6)"
        )


class TestFailures:
    def run_failing(self, emu, graph, entry_point, nth, code, **arguments):
        """Fails one driver call of a pagerank call; checks that nothing is
        left allocated and that the next call gives what the one before did."""
        first = graph.pagerank(**arguments)  # module loaded: only this call's own work remains
        before = emu.live()
        emu.fail_call(entry_point, nth, code)
        with pytest.raises(RuntimeError) as error:
            graph.pagerank(**arguments)
        assert type(error.value) is RuntimeError
        assert emu.live() == before
        again = graph.pagerank(**arguments)
        assert (again["ranks"], again["iterations"]) == (first["ranks"], first["iterations"])
        return str(error.value)

    # Launch order: the start and order kernels, then per iteration the
    # gather and the update kernel.
    @pytest.mark.parametrize(
        "nth, step",
        [
            (1, "start kernel failed"),
            (2, "order kernel failed"),
            (3, "gather kernel failed"),
            (4, "update kernel failed"),
            (7, "gather kernel failed"),
        ],
    )
    def test_launch_failures(self, emu, make_graph, nth, step):
        graph = make_graph(nx.cycle_graph(5))
        message = self.run_failing(
            emu, graph, "cuLaunchKernel", nth, 1, max_iterations=4, tolerance=0.0
        )
        assert message == f"kernel error: {step}: " + driver_error_text(1)

    @pytest.mark.parametrize("nth", [1, 3, 5])
    def test_synchronize_failures(self, emu, make_graph, nth):
        # One per iteration, then one before the ranks are read.
        graph = make_graph(nx.cycle_graph(5))
        message = self.run_failing(
            emu, graph, "cuStreamSynchronize", nth, 719, max_iterations=4, tolerance=0.0
        )
        assert message == "kernel error: synchronize failed: " + driver_error_text(719)

    def test_final_synchronize_failure_without_iterations(self, emu, make_graph):
        graph = make_graph(nx.cycle_graph(5))
        message = self.run_failing(emu, graph, "cuStreamSynchronize", 1, 719, max_iterations=0)
        assert message == "kernel error: synchronize failed: " + driver_error_text(719)

    @pytest.mark.parametrize("nth", [1, 2, 3, 4])
    def test_allocation_failures(self, emu, device, make_graph, nth):
        entry = allocation_entry_point(emu, device)
        graph = make_graph(nx.cycle_graph(5))
        message = self.run_failing(emu, graph, entry, nth, 2, max_iterations=2)
        assert message == "CUDA driver error: " + driver_error_text(2)

    @pytest.mark.parametrize(
        "entry_point, nth",
        [
            # The two L1 slots and the group sizes, filled on the device;
            ("cuMemsetD32Async", 1),
            ("cuMemsetD32Async", 2),
            # the groups' first slots, copied once; the iterations copy nothing.
            ("cuMemcpyHtoDAsync_v2", 1),
        ],
    )
    def test_copy_to_device_failures(self, emu, make_graph, entry_point, nth):
        graph = make_graph(nx.cycle_graph(5))
        message = self.run_failing(emu, graph, entry_point, nth, 1, max_iterations=3, tolerance=0.0)
        assert message == "CUDA driver error: " + driver_error_text(1)

    @pytest.mark.parametrize("nth", [1, 3, 4])
    def test_copy_to_host_failures(self, emu, make_graph, nth):
        # The group sizes, the change once per iteration, then the ranks.
        graph = make_graph(nx.cycle_graph(5))
        message = self.run_failing(
            emu, graph, "cuMemcpyDtoHAsync_v2", nth, 700, max_iterations=3, tolerance=0.0
        )
        assert message == "CUDA driver error: " + driver_error_text(700)

    def test_launches_per_call(self, emu, make_graph):
        graph = make_graph(nx.cycle_graph(5))
        graph.pagerank(max_iterations=1)
        with emu.counting("cuLaunchKernel", "cuStreamSynchronize") as counter:
            graph.pagerank(max_iterations=4, tolerance=0.0)
        assert counter.delta == {"cuLaunchKernel": 2 + 2 * 4, "cuStreamSynchronize": 4 + 1}

    def test_no_launch_for_a_graph_without_nodes(self, emu, make_graph):
        graph = make_graph([0], [])
        with emu.counting("cuLaunchKernel") as counter:
            graph.pagerank(max_iterations=3, tolerance=0.0)
        assert counter.delta == {"cuLaunchKernel": 0}
