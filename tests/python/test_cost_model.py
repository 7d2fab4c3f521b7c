"""bench/cost_model.py: its arithmetic against hand-computed figures on
synthetic counters, merging stored runs, refusing bad arguments, and on small
R-MAT graphs figures that hang together and, with the default fixed
schedule, the same counts in two runs."""

import json
import os
import subprocess
import sys

import pytest
from conftest import on_software_gpu

from bench import cost_model

REPO = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")


def stats(**values):
    """One kernel's counters: the given ones, every other field zero."""
    return {field: values.get(field, 0) for field in cost_model.vorlan_emu.KERNEL_STATS_FIELDS}


# Two kernels of one call: a short one launched 20 times (each launch's busiest
# warp 30 instructions, 600 along the stream) and one long launch.
TWO_KERNELS = {
    "step_kernel": stats(
        launches=20,
        warp_instructions=1000,
        thread_instructions=16000,
        global_sectors=400,
        distinct_global_sectors=100,
        atomics=10,
        busiest_warp_instructions=30,
        summed_busiest_warp_instructions=600,
    ),
    "long_kernel": stats(
        launches=1,
        warp_instructions=5000,
        thread_instructions=32000,
        global_sectors=3000,
        distinct_global_sectors=250,
        busiest_warp_instructions=200,
        summed_busiest_warp_instructions=200,
    ),
}
# Warps that request the same few sectors over and over: the requested
# traffic at L2's bandwidth outlasts every term of the bound.
REREADING = {
    "reread_kernel": stats(
        launches=1,
        warp_instructions=1000,
        thread_instructions=32000,
        global_sectors=10**7,
        distinct_global_sectors=1000,
        busiest_warp_instructions=100,
        summed_busiest_warp_instructions=100,
    )
}
# A streaming kernel: many distinct sectors, short warps.
STREAMING = {
    "stream_kernel": stats(
        launches=1,
        warp_instructions=10**6,
        thread_instructions=32 * 10**6,
        global_sectors=4 * 10**6,
        distinct_global_sectors=2 * 10**6,
        busiest_warp_instructions=40,
        summed_busiest_warp_instructions=40,
    )
}


class TestArithmetic:
    # H100 SXM: 3.35e12 B/s HBM, 8.986e12 B/s L2, 132 x 4 schedulers at 1.98e9 Hz.
    @pytest.mark.parametrize(
        "kernels, edges, expected",
        [
            (
                TWO_KERNELS,
                50,
                {
                    "memory": 350 * 32 / 3.35e12,
                    "l2": 3400 * 32 / 8.986e12,
                    "issue": 6000 / (528 * 1.98e9),
                    "latency": (600 + 200) * 4 / 1.98e9,
                    "bound_by": "latency",
                    "busiest": 200,
                    "lanes": 48000 / (32 * 6000),
                    "reuse": 3400 / 350,
                },
            ),
            (
                STREAMING,
                10**5,
                {
                    "memory": 2e6 * 32 / 3.35e12,
                    "l2": 4e6 * 32 / 8.986e12,
                    "issue": 1e6 / (528 * 1.98e9),
                    "latency": 40 * 4 / 1.98e9,
                    "bound_by": "memory",
                    "busiest": 40,
                    "lanes": 1.0,
                    "reuse": 2.0,
                },
            ),
            (
                # l2 (3.6e-5 s) is the largest figure, but it is no bound:
                # latency (2.0e-7 s) is.
                REREADING,
                1000,
                {
                    "memory": 1000 * 32 / 3.35e12,
                    "l2": 1e7 * 32 / 8.986e12,
                    "issue": 1000 / (528 * 1.98e9),
                    "latency": 100 * 4 / 1.98e9,
                    "bound_by": "latency",
                    "busiest": 100,
                    "lanes": 1.0,
                    "reuse": 1e4,
                },
            ),
        ],
        ids=["latency-bound", "memory-bound", "l2-largest-but-no-bound"],
    )
    def test_terms_match_the_hand_count(self, kernels, edges, expected):
        run = cost_model.summarise(kernels, edges, latency_cycles=4.0)
        predicted = run["predicted_seconds"]
        for term in ("memory", "l2", "issue", "latency"):
            assert predicted[term] == pytest.approx(expected[term], rel=1e-12), term
        assert run["bound_by"] == expected["bound_by"]
        assert predicted["lower_bound"] == predicted[expected["bound_by"]]
        assert run["busiest_warp_instructions"] == expected["busiest"]
        assert run["lane_utilisation"] == pytest.approx(expected["lanes"])
        assert run["sector_reuse"] == pytest.approx(expected["reuse"])
        assert run["distinct_sectors_per_edge"] * edges == pytest.approx(
            run["distinct_global_sectors"]
        )

    def test_latency_scales_with_the_cycles_per_instruction(self):
        one = cost_model.summarise(TWO_KERNELS, 50, latency_cycles=1.0)["predicted_seconds"][
            "latency"
        ]
        assert one == pytest.approx(800 / 1.98e9)


def stored_run(scale, edges, kernels):
    return {
        "scale": scale,
        "num_nodes": edges // 8,
        "num_edges": edges,
        "kernels": kernels,
        "predicted_seconds": {"lower_bound": -1.0},
    }


def test_growth_is_fitted_against_stored_edges_not_nodes():
    # Nodes double from run to run while edges quadruple; every counter
    # grows with the edges, so each exponent is 1 (against nodes it would be 2).
    series = [
        {
            "num_nodes": 100 << i,
            "num_edges": 1000 << (2 * i),
            **stats(**{f: 7 << (2 * i) for f in cost_model.GROWTH_FIELDS}),
        }
        for i in range(4)
    ]
    exponents = cost_model.growth_exponents(series)
    assert set(exponents) == set(cost_model.GROWTH_FIELDS)
    assert all(value == pytest.approx(1.0) for value in exponents.values()), exponents


class TestMerge:
    def test_fresh_runs_replace_stored_ones_and_the_rest_are_worked_out_anew(self):
        stored = {
            "algorithms": {
                "k_truss_3": {"runs": [stored_run(6, 400, STREAMING)]},
                "bfs": {"runs": [stored_run(6, 400, TWO_KERNELS), stored_run(7, 900, TWO_KERNELS)]},
            }
        }
        fresh_bfs = cost_model.run_record(7, 110, 900, STREAMING, 4.0)
        algorithms = cost_model.merged(cost_model.stored_runs(stored, 4.0), {"bfs": [fresh_bfs]})
        assert list(algorithms) == ["bfs", "k_truss_3"]  # the script's order, not the file's
        bfs = algorithms["bfs"]
        assert [run["scale"] for run in bfs] == [6, 7]
        assert bfs[1] is fresh_bfs
        assert (
            bfs[0]["predicted_seconds"]
            == cost_model.summarise(TWO_KERNELS, 400, 4.0)["predicted_seconds"]
        )
        assert algorithms["k_truss_3"][0]["bound_by"] == "memory"

    def test_runs_counted_before_the_distinct_sectors_are_refused(self):
        old = {
            name: {k: v for k, v in counters.items() if k != "distinct_global_sectors"}
            for name, counters in TWO_KERNELS.items()
        }
        with pytest.raises(ValueError, match="bfs at scale 6 has no distinct_global_sectors"):
            cost_model.stored_runs(
                {"algorithms": {"bfs": {"runs": [stored_run(6, 400, old)]}}}, 4.0
            )


class TestArguments:
    @pytest.mark.parametrize(
        "argv, message",
        [
            (["--algorithms", "bfs,sssp"], "unknown sssp"),
            (["--algorithms", ","], "none given"),
            (["--scales", "12", "10"], "FIRST <= LAST"),
            (["--scales", "0", "3"], "1 <= FIRST"),
            (["--update"], "--update needs --json"),
            (["--latency-cycles", "0"], "must be positive"),
        ],
    )
    def test_bad_arguments_say_what_is_wrong(self, argv, message, capsys):
        with pytest.raises(SystemExit) as exit_info:
            cost_model.parse_arguments(argv)
        assert exit_info.value.code == 2
        assert message in capsys.readouterr().err

    def test_update_of_a_malformed_file_is_refused(self, tmp_path, capsys):
        path = tmp_path / "model.json"
        path.write_text('{"algorithms": {"bfs": {"runs": [{"scale": 6}]}}}')
        with pytest.raises(SystemExit):
            cost_model.parse_arguments(["--json", str(path), "--update"])
        assert "cannot use" in capsys.readouterr().err


def run_script(folder, name):
    path = os.path.join(folder, name)
    env = {k: v for k, v in os.environ.items() if k != "VORLAN_EMU_SEED"}
    result = subprocess.run(
        [sys.executable, "-m", "bench.cost_model", "--scales", "6", "8", "--json", path],
        env=env,
        cwd=REPO,
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert result.returncode == 0, result.stderr
    with open(path) as source:
        return json.load(source)


@pytest.fixture(scope="module")
def two_runs(tmp_path_factory):
    if not on_software_gpu():
        pytest.skip("the cost counters belong to the software GPU")
    folder = tmp_path_factory.mktemp("cost_model")
    return run_script(folder, "first.json"), run_script(folder, "second.json")


def test_two_runs_count_the_same(two_runs):
    first, second = two_runs
    assert set(first["algorithms"]) == set(cost_model.ALGORITHMS)
    assert first["algorithms"] == second["algorithms"]


def test_figures_are_consistent(two_runs):
    for name, algorithm in two_runs[0]["algorithms"].items():
        assert [run["scale"] for run in algorithm["runs"]] == [6, 7, 8], name
        for run in algorithm["runs"]:
            kernels = run["kernels"].values()
            assert kernels, name
            assert run["warp_instructions"] == sum(k["warp_instructions"] for k in kernels)
            assert run["sectors_per_edge"] * run["num_edges"] == pytest.approx(
                run["global_sectors"]
            )
            # Every launch touches each of its distinct sectors at least once.
            assert 0 < run["distinct_global_sectors"] <= run["global_sectors"], name
            assert run["summed_busiest_warp_instructions"] >= run["busiest_warp_instructions"], name
            assert 0 < run["lane_utilisation"] <= 1, name
            assert 0 < run["busiest_warp_share"] <= 1, name
            predicted = run["predicted_seconds"]
            assert predicted["lower_bound"] == max(
                predicted["memory"], predicted["issue"], predicted["latency"]
            )
            assert predicted[run["bound_by"]] == predicted["lower_bound"]
        assert algorithm["growth_exponents"]["warp_instructions"] > 0, name
