"""bench/cost_model.py on small R-MAT graphs: its figures hang together and,
with the default fixed schedule, two runs give the same counts."""

import json
import os
import subprocess
import sys

import pytest

from conftest import on_software_gpu

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench", "cost_model.py")
ALGORITHMS = {"triangle_count", "bfs", "pagerank", "k_truss_3"}


def cost_model(folder, name):
    path = os.path.join(folder, name)
    env = {k: v for k, v in os.environ.items() if k != "VORLAN_EMU_SEED"}
    result = subprocess.run([sys.executable, SCRIPT, "--scales", "6", "8", "--json", path], env=env,
                            capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stderr
    with open(path) as source:
        return json.load(source)


@pytest.fixture(scope="module")
def two_runs(tmp_path_factory):
    if not on_software_gpu():
        pytest.skip("the cost counters belong to the software GPU")
    folder = tmp_path_factory.mktemp("cost_model")
    return cost_model(folder, "first.json"), cost_model(folder, "second.json")


def test_two_runs_count_the_same(two_runs):
    first, second = two_runs
    assert set(first["algorithms"]) == ALGORITHMS
    assert first["algorithms"] == second["algorithms"]


def test_figures_are_consistent(two_runs):
    for name, algorithm in two_runs[0]["algorithms"].items():
        assert [run["scale"] for run in algorithm["runs"]] == [6, 7, 8], name
        for run in algorithm["runs"]:
            kernels = run["kernels"].values()
            assert kernels, name
            assert run["warp_instructions"] == sum(k["warp_instructions"] for k in kernels)
            assert run["sectors_per_edge"] * run["num_edges"] == pytest.approx(run["global_sectors"])
            assert 0 < run["lane_utilisation"] <= 1, name
            assert 0 < run["busiest_warp_share"] <= 1, name
            predicted = run["predicted_seconds"]
            assert predicted["lower_bound"] == max(predicted["memory"], predicted["issue"], predicted["latency"])
            assert predicted[run["bound_by"]] == predicted["lower_bound"]
        assert algorithm["growth_exponents"]["warp_instructions"] > 0, name
