"""The examples run on small data, and what they build is what they claim."""

import os
import subprocess
import sys

import numpy as np
import pytest

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, REPO)

from examples import from_edge_list  # noqa: E402

EDGE_FILE = """\
# Directed graph (each unordered pair of nodes is saved once): example.txt
# Nodes: 6 Edges: 9
# FromNodeId\tToNodeId
10\t20
20\t10
10 30
30\t20
30\t30
40\t50
50\t40
40\t50
700\t10
"""


def run_example(name, *args):
    module = "examples." + name.removesuffix(".py")
    done = subprocess.run(
        [sys.executable, "-m", module, *args], cwd=REPO, capture_output=True, text=True, timeout=300
    )
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout


@pytest.fixture
def edge_file(tmp_path):
    path = tmp_path / "example.txt"
    path.write_text(EDGE_FILE)
    return str(path)


def test_edge_list_becomes_a_symmetric_sorted_simple_csr(edge_file):
    offsets, targets, labels = from_edge_list.undirected_csr(from_edge_list.read_edges(edge_file))
    assert labels.tolist() == [10, 20, 30, 40, 50, 700]
    index = {label: i for i, label in enumerate(labels.tolist())}
    expected = {i: set() for i in range(len(labels))}
    for line in EDGE_FILE.splitlines():
        if line.startswith("#"):
            continue
        a, b = (index[int(x)] for x in line.split())
        if a != b:
            expected[a].add(b)
            expected[b].add(a)
    assert offsets.dtype == targets.dtype == np.uint32
    rows = [targets[offsets[i] : offsets[i + 1]].tolist() for i in range(len(labels))]
    assert rows == [sorted(expected[i]) for i in range(len(labels))]


@pytest.mark.parametrize(
    "name, args, peer, expected",
    [
        (
            "from_scipy.py",
            ["--nodes", "300", "--edges", "1500"],
            "scipy",
            "matches scipy.sparse.csgraph",
        ),
        ("from_networkx.py", [], "networkx", "4-truss    agrees with NetworkX"),
    ],
)
def test_examples_check_themselves_against_their_peers(name, args, peer, expected):
    pytest.importorskip(peer)
    assert expected in run_example(name, *args)


def test_edge_list_example_reports_the_file(edge_file):
    out = run_example("from_edge_list.py", edge_file, "--source", "40")
    assert "6 nodes, 5 undirected edges" in out
    assert "triangles: 1" in out
    assert "bfs from 40: 2 reachable, depth 1" in out
