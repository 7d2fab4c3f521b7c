"""The comparison's judgement: agreement checks, growth fits, budgets, floors,
and the end-to-end promise that a disagreement fails the run and that the
report says what the software GPU's timings are."""

import dataclasses
import json
import os
import sys
import time

import numpy as np
import pytest
import vorlan_graphs

from bench import analysis, compare, peers, report


class TestAgreement:
    @pytest.mark.parametrize(
        "algorithm, reference, close, wrong",
        [
            ("triangle_count", 7, 7, 8),
            ("bfs", np.array([0, 1, -1, 2]), np.array([0, 1, -1, 2]), np.array([0, 1, 3, 2])),
            ("k_truss", np.array([1, 5, 9]), np.array([1, 5, 9]), np.array([1, 5])),
            (
                "pagerank",
                np.array([0.4, 0.3, 0.3]),
                np.array([0.4 + 2e-5, 0.3, 0.3 - 2e-5]),
                np.array([0.4 + 1e-4, 0.3, 0.3 - 1e-4]),
            ),
            ("pagerank", np.array([0.5, 0.5]), np.array([0.5, 0.5]), np.array([0.5, 0.5, 0.0])),
        ],
    )
    def test_close_answers_agree_and_wrong_ones_do_not(self, algorithm, reference, close, wrong):
        assert analysis.agreement(algorithm, reference, close)[0]
        agrees, note = analysis.agreement(algorithm, reference, wrong)
        assert not agrees and note

    @pytest.mark.parametrize(
        "system, pairs, num_nodes, comparable",
        [
            ("networkx", [(0, 1), (1, 2)], 4, False),  # node 3 has no edges
            ("igraph", [(0, 1), (1, 2)], 4, False),
            ("networkx", [(0, 1), (1, 2)], 3, True),
            ("scipy", [(0, 1), (1, 2)], 4, True),  # same recurrence as ours
        ],
    )
    def test_pagerank_compared_only_with_the_same_recurrence(
        self, system, pairs, num_nodes, comparable
    ):
        graph = vorlan_graphs.edge_list_from_pairs(pairs, num_nodes)
        assert (analysis.pagerank_incomparable(system, graph) is None) == comparable


class TestGrowthAndBudget:
    @pytest.mark.parametrize("exponent", [1.0, 1.5, 2.0])
    def test_fit_recovers_a_power_law(self, exponent):
        points = [(edges, 3e-9 * edges**exponent) for edges in (1e3, 4e3, 1.6e4, 6.4e4)]
        assert analysis.fit_exponent(points) == pytest.approx(exponent)

    def test_growth_is_fitted_against_stored_edges_not_nodes(self):
        # Nodes double from graph to graph while edges quadruple; the time
        # grows like the edges, so the exponent is 1 (against nodes, 2).
        graphs = [
            {"id": f"g{i}", "family": "rmat", "num_nodes": 100 << i, "num_edges": 1000 << (2 * i)}
            for i in range(4)
        ]
        results = [
            {
                "graph": f"g{i}",
                "system": "scipy",
                "algorithm": "bfs",
                "status": "ok",
                "seconds": 0.5 * (1 << (2 * i)),
            }
            for i in range(4)
        ]
        (row,) = analysis.growth(results, graphs)
        assert row["sizes"] == 4 and row["exponent"] == pytest.approx(1.0)

    def test_fit_needs_two_sizes(self):
        assert analysis.fit_exponent([(1000, 1.0), (1000, 2.0)]) is None

    def test_prediction_grows_at_least_linearly_from_the_largest_run(self):
        flat = [(1000, 1.0), (2000, 1.0)]
        assert analysis.predict_seconds(flat, 8000) == pytest.approx(4.0)
        steep = [(1000, 1.0), (2000, 4.0)]
        assert analysis.predict_seconds(steep, 4000) == pytest.approx(16.0)
        assert analysis.predict_seconds([], 4000) is None

    def test_a_peer_over_budget_is_stopped(self):
        started = time.perf_counter()
        status, note = compare.timed_in_child(
            lambda: time.sleep(30), repeat=1, budget=0.2, grace=0.3
        )
        assert status == "over budget" and "budget" in note
        assert time.perf_counter() - started < 10

    def test_a_failing_peer_is_reported(self):
        status, note = compare.timed_in_child(lambda: 1 / 0, repeat=1, budget=5)
        assert status == "failed" and "ZeroDivisionError" in note

    def test_calls_stop_before_the_budget(self, monkeypatch):
        clock = [0.0]
        monkeypatch.setattr(compare.time, "perf_counter", lambda: clock[0])

        def call(steps=iter([1.0, 3.0, 1.0, 1.0])):
            step = next(steps)
            clock[0] += step
            return peers.Run(clock[0], seconds=step / 2)  # half of it in the library

        # Calls of 1 s, then 3 s: another 3 s call would end past 5.5 s.
        best, run, count = compare.timed_calls(call, repeat=10, budget=5.5)
        assert (best, run.value, count) == (0.5, 4.0, 2)


class TestFloors:
    def test_bytes_formulas(self):
        assert analysis.pagerank_iteration_bytes(10, 40) == 4 * 40 + 24 * 10 + 4
        device, host = analysis.bfs_bytes(10, reached=4, scanned_edges=12)
        assert device == 4 * 5 + 4 * 12 + 80 + 32 and host == {"up": 80, "down": 40}

    def test_floor_adds_device_and_host_time(self):
        rates = {"device_copy": 100.0, "host_to_device": 10.0, "device_to_host": 20.0}
        assert analysis.floor_seconds(1000, {"up": 50, "down": 40}, rates) == pytest.approx(
            10 + 5 + 2
        )
        assert analysis.floor_seconds(1000, None, rates) == pytest.approx(10)
        assert analysis.floor_seconds(1000, {"up": 1}, {"device_copy": 100.0}) is None
        assert analysis.floor_seconds(1000, None, {}) is None


def run_compare(tmp_path, *extra):
    out = tmp_path / "result.json"
    code = compare.main(
        [
            "--json",
            str(out),
            "--rmat-scales",
            "6",
            "--uniform-scales=",
            "--grid-scales",
            "6",
            "--repeat",
            "1",
            *extra,
        ]
    )
    return code, json.loads(out.read_text())


class TestEndToEnd:
    def test_disagreement_fails_the_run(self, tmp_path, monkeypatch):
        real = peers.SciPy.triangle_count

        def off_by_one(self, *args):
            run = real(self, *args)
            return dataclasses.replace(run, value=run.value + 1)

        monkeypatch.setattr(peers.SciPy, "triangle_count", off_by_one)
        code, data = run_compare(
            tmp_path, "--systems", "networkx,scipy", "--algorithms", "triangle_count"
        )
        assert code == 1
        assert data["disagreements"] == 2
        assert all(e["agrees"] is False for e in data["results"] if e["system"] == "scipy")

    def test_software_gpu_run_and_report(self, tmp_path, monkeypatch, device):
        code, data = run_compare(tmp_path, "--systems", "vorlan_cuda,networkx,scipy")
        assert code == 0 and data["disagreements"] == 0
        ran = {(e["system"], e["algorithm"]) for e in data["results"] if e["status"] == "ok"}
        assert {
            (s, a) for s in ("vorlan_cuda", "networkx", "scipy") for a in peers.ALGORITHMS
        } <= ran
        # Every algorithm of vorlan_cuda was checked against a peer on the grid.
        grid = next(g["id"] for g in data["graphs"] if g["family"] == "grid")
        checked = {
            e["algorithm"]
            for e in data["results"]
            if e["graph"] == grid and e.get("agrees") is True
        }
        assert checked == set(peers.ALGORITHMS)
        if not data["meta"]["software_gpu"]:
            return
        monkeypatch.setitem(sys.modules, "matplotlib", None)  # as on a machine without it
        json_path = tmp_path / "result.json"
        assert report.main([str(json_path), "--out", str(tmp_path / "report")]) == 0
        text = (tmp_path / "report" / "report.md").read_text()
        assert "matplotlib is not importable" in text
        cells = [line.split("|") for line in text.splitlines() if line.startswith("| ")]
        vorlan_rows = [
            cell for row in cells for cell in row if cell.strip().startswith("vorlan_cuda")
        ]
        assert vorlan_rows and all(report.SOFTWARE_LABEL in line for line in vorlan_rows)
        assert "None claimed" in text

    def test_floors_use_the_measured_bandwidth(self, tmp_path, monkeypatch, device):
        # As on a GPU: a card name that is not the software GPU's, and known rates.
        rates = {"source": "test", "device_copy": 1e9, "host_to_device": 1e8, "device_to_host": 2e8}
        monkeypatch.setattr(peers.VorlanCuda, "device_name", property(lambda self: "Test GPU"))
        monkeypatch.setattr(compare.bandwidth, "measure", lambda name: rates)
        code, data = run_compare(
            tmp_path,
            "--systems",
            "vorlan_cuda,scipy",
            "--algorithms",
            "bfs,pagerank",
            "--rmat-scales=",
        )
        assert code == 0 and not data["meta"]["software_gpu"]
        graphs = {g["id"]: g for g in data["graphs"]}
        for entry in (e for e in data["results"] if e["system"] == "vorlan_cuda"):
            g, floor = graphs[entry["graph"]], entry["floor"]
            if entry["algorithm"] == "pagerank":
                expected = analysis.pagerank_iteration_bytes(g["num_nodes"], g["num_edges"]) / 1e9
            else:
                # The grid is connected: the search reaches every node and edge.
                device_bytes, host = analysis.bfs_bytes(
                    g["num_nodes"], g["num_nodes"], g["num_edges"]
                )
                expected = device_bytes / 1e9 + host["up"] / 1e8 + host["down"] / 2e8
                assert floor["measured_seconds"] == entry["engine_seconds"]
            assert floor["floor_seconds"] == pytest.approx(expected)
            assert floor["ratio"] == pytest.approx(floor["measured_seconds"] / expected)

    def test_cost_model_floors_sit_beside_our_times(self, tmp_path, device):
        # Floors of the cost model's shape, counted on other graphs than these:
        # BFS grows linearly; PageRank's is for 20 iterations.
        runs = {"bfs": [(1000, 1e-6), (4000, 4e-6)], "pagerank": [(1000, 2e-5), (4000, 8e-5)]}
        model = tmp_path / "model.json"
        model.write_text(
            json.dumps(
                {
                    "pagerank_iterations": 20,
                    "algorithms": {
                        name: {
                            "runs": [
                                {
                                    "scale": 0,
                                    "num_edges": e,
                                    "predicted_seconds": {"lower_bound": s},
                                }
                                for e, s in points
                            ]
                        }
                        for name, points in runs.items()
                    },
                }
            )
        )
        code, data = run_compare(
            tmp_path,
            "--systems",
            "vorlan_cuda",
            "--algorithms",
            "bfs,pagerank",
            "--cost-model",
            str(model),
        )
        edges = {g["id"]: g["num_edges"] for g in data["graphs"]}
        for e in data["results"]:
            if not e["graph"].startswith("rmat"):
                assert "predicted_floor_seconds" not in e
                continue
            per_edge = 1e-9 if e["algorithm"] == "bfs" else 1e-9 * e["details"]["iterations"]
            assert e["predicted_floor_seconds"] == pytest.approx(per_edge * edges[e["graph"]])
            assert e["predicted_floor_basis"] == "extrapolated"


FAKE_GPU_LIBRARIES = {
    # Just enough of CuPy and torch, backed by NumPy, for the bandwidth probe.
    "cupy": """
import numpy as np
__version__ = "fake"
asarray = np.array
empty_like = np.empty_like
asnumpy = np.array
class cuda:
    class Device:
        def synchronize(self):
            pass
""",
    "torch": """
import numpy as np
__version__ = "fake"
class Tensor:
    def __init__(self, array):
        self.array = np.array(array)
    def cuda(self):
        return Tensor(self.array)
    def cpu(self):
        return Tensor(self.array)
    def copy_(self, other):
        self.array[...] = other.array
def from_numpy(array):
    return Tensor(array)
def empty_like(tensor):
    return Tensor(np.empty_like(tensor.array))
class cuda:
    @staticmethod
    def synchronize():
        pass
""",
}


@pytest.mark.parametrize("library", ["cupy", "torch"])
def test_bandwidth_probe_measures_with_what_is_there(tmp_path, monkeypatch, library):
    (tmp_path / f"{library}.py").write_text(FAKE_GPU_LIBRARIES[library])
    monkeypatch.setenv("PYTHONPATH", f"{tmp_path}{os.pathsep}{os.environ.get('PYTHONPATH', '')}")
    rates = compare.bandwidth.measure("Test GPU", size=1 << 20)
    assert rates["source"] == f"measured with {library} fake"
    assert all(rates[key] > 0 for key in ("device_copy", "host_to_device", "device_to_host"))
