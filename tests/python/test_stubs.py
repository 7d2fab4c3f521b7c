"""The type stubs describe the built module, and the examples type-check
against them. Needs mypy; skipped where it is not installed."""

import os
import subprocess
import sys

import pytest
import vorlan_cuda

pytest.importorskip("mypy")

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
CONFIG = os.path.join(ROOT, "pyproject.toml")
STUBS = os.path.join(ROOT, "src", "python", "vorlan_cuda-stubs")


@pytest.fixture(scope="module")
def stub_path(tmp_path_factory):
    # mypy finds "-stubs" packages only among installed ones; from a search
    # path it takes a package named as the module.
    folder = tmp_path_factory.mktemp("mypy") / "stubs"
    folder.mkdir()
    os.symlink(os.path.abspath(STUBS), folder / "vorlan_cuda")
    return str(folder)


def mypy(stub_path, *args):
    # Run beside the stub folder, so that mypy's cache stays out of the tree
    # and the stubs never shadow the module at run time.
    module_dir = os.path.dirname(os.path.abspath(vorlan_cuda.__file__))
    env = dict(
        os.environ,
        MYPYPATH=stub_path,
        PYTHONPATH=os.pathsep.join([module_dir, os.environ.get("PYTHONPATH", "")]),
    )
    done = subprocess.run(
        [sys.executable, "-m", *args],
        cwd=os.path.dirname(stub_path),
        env=env,
        capture_output=True,
        text=True,
        timeout=600,
    )
    return done.returncode, done.stdout + done.stderr


def test_stubtest_finds_the_stubs_match_the_module(stub_path):
    code, out = mypy(stub_path, "mypy.stubtest", "vorlan_cuda", "--mypy-config-file", CONFIG)
    assert code == 0, out


def test_examples_type_check(stub_path):
    code, out = mypy(stub_path, "mypy", "--config-file", CONFIG, os.path.join(ROOT, "examples"))
    assert code == 0, out


def test_a_wrong_use_fails_type_checking(stub_path, tmp_path):
    wrong = tmp_path / "wrong.py"
    wrong.write_text(
        "import vorlan_cuda\n"
        "g = vorlan_cuda.GpuGraph.from_csr([0], [], vorlan_cuda.GpuDevice())\n"
        "depth: str = g.bfs(0)['max_depth']\n"
        "g.pagerank(damping='high')\n"
    )
    code, out = mypy(stub_path, "mypy", "--config-file", CONFIG, str(wrong))
    assert code == 1
    assert 'Incompatible types in assignment (expression has type "int"' in out
    assert 'Argument "damping" to "pagerank" of "GpuGraph" has incompatible type "str"' in out
