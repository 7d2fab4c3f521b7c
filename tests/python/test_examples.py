"""The examples run as scripts from any folder, on small data, and what they
build is what they claim."""

import os
import subprocess
import sys

import numpy as np
import pytest
import vorlan_graphs

EXAMPLES = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", "examples"))

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


def run_example(name, *args, cwd):
    """`python3 examples/NAME ARGS`, run from `cwd`, outside the repository."""
    done = subprocess.run(
        [sys.executable, os.path.join(EXAMPLES, name), *args],
        cwd=cwd,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout


@pytest.fixture
def edge_file(tmp_path):
    path = tmp_path / "example.txt"
    path.write_text(EDGE_FILE)
    return str(path)


def test_edge_list_becomes_a_symmetric_sorted_simple_csr(edge_file):
    made = vorlan_graphs.edge_list(edge_file)
    offsets, targets, labels = made.offsets, made.targets, made.labels
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
    assert offsets.dtype == targets.dtype == np.int64
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
def test_examples_check_themselves_against_their_peers(name, args, peer, expected, tmp_path):
    pytest.importorskip(peer)
    assert expected in run_example(name, *args, cwd=tmp_path)


def test_edge_list_example_reports_the_file(edge_file, tmp_path):
    out = run_example("from_edge_list.py", edge_file, "--source", "40", cwd=tmp_path)
    assert "6 nodes, 5 undirected edges" in out
    assert "triangles: 1" in out
    assert "bfs from 40: 2 reachable, depth 1" in out
    # 10 is on the triangle and 700's only neighbour: the most linked node.
    assert "pagerank: highest rank" in out and "at node 10\n" in out
    assert "3-truss: 3 undirected edges" in out
