"""Shared fixtures of the Python tests.

The tests run against whatever driver library the process finds: the software
GPU (build/emulator on LD_LIBRARY_PATH, as scripts/test arranges) or a real
NVIDIA driver (scripts/gpu-check). Tests that need the software GPU's control
interface take the `emu` fixture, which skips them on a real GPU.
"""

import ctypes
import os
import subprocess
import sys
import tempfile

import pytest

BUILD_DIR = os.environ.get("VORLAN_BUILD_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
EMULATOR_DIR = os.path.join(BUILD_DIR, "emulator")


def on_software_gpu():
    return os.environ.get("VORLAN_BACKEND", "software") == "software"


def run_python(code, library_path=None, extra_env=None, timeout=120):
    """Runs `code` in a fresh interpreter; returns the CompletedProcess.

    library_path replaces LD_LIBRARY_PATH for that process (None keeps ours).
    """
    env = dict(os.environ)
    if library_path is not None:
        env["LD_LIBRARY_PATH"] = library_path
    env.update(extra_env or {})
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                          text=True, timeout=timeout)


@pytest.fixture
def empty_library_dir():
    """A folder with no driver library in it, for 'no driver installed'."""
    with tempfile.TemporaryDirectory() as folder:
        yield folder
