"""bench/kernel_paths.py on a small R-MAT graph: both paths run different
kernels, their results are compared by the script itself, and the figures it
writes add up."""

import json
import os
import subprocess
import sys

import pytest
from conftest import on_software_gpu

REPO = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")


@pytest.mark.skipif(not on_software_gpu(), reason="sized for the software GPU")
def test_both_paths_are_timed_and_agree(tmp_path):
    path = tmp_path / "paths.json"
    result = subprocess.run(
        [sys.executable, "-m", "bench.kernel_paths", *"--scale 7 --k 4 --json".split(), str(path)],
        cwd=REPO,
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert result.returncode == 0, result.stderr
    report = json.loads(path.read_text())
    assert report["graph"]["num_nodes"] == 128 and report["k"] == 4
    for name in ("k_truss", "triangle_count", "pagerank", "bfs"):
        figures = report[name]
        assert figures["node_seconds"] > 0 and figures["edge_seconds"] > 0
        assert figures["ratio"] == pytest.approx(figures["node_seconds"] / figures["edge_seconds"])
        # A hook that fell through to the automatic choice would time one path twice.
        node, edge = set(figures["node_kernels"]), set(figures["edge_kernels"])
        assert node and edge and node != edge, name
    assert result.stdout.count("results equal") == 4
