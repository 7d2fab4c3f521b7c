"""The GPU's copy bandwidths, measured in a child process with CuPy or torch
(whichever imports), so that their CUDA runtime and memory pools never share
a process with vorlan_cuda. Where neither is present, a nominal figure for a
known card, labelled as nominal.

Bandwidths count every byte read and every byte written, as the floors in
analysis.py do: a device-to-device copy of B bytes moves 2B.
"""

import json
import subprocess
import sys

from bench import h100

_H100_SXM = {
    "device_copy": h100.HBM_BYTES_PER_SECOND,
    "host_to_device": h100.PCIE_BYTES_PER_SECOND,
    "device_to_host": h100.PCIE_BYTES_PER_SECOND,
}

# Published peak figures (bytes per second), only for cards we can name.
NOMINAL = {
    h100.NAME: _H100_SXM,
    "H100 PCIe": {"device_copy": 2.0e12, "host_to_device": 64e9, "device_to_host": 64e9},
    "H100": _H100_SXM,
    "H200": {"device_copy": 4.8e12, "host_to_device": 64e9, "device_to_host": 64e9},
    "A100": {"device_copy": 1.55e12, "host_to_device": 32e9, "device_to_host": 32e9},
}

# Runs in the child: prints one JSON object. Host copies use ordinary
# (pageable) NumPy memory, as vorlan_cuda's transfers do.
_PROBE = r"""
import json, sys, time
import numpy as np
size = int(sys.argv[1])
host = np.ones(size // 4, dtype=np.float32)

def best(step, sync, repeat=5):
    step(); sync()
    times = []
    for _ in range(repeat):
        start = time.perf_counter(); step(); sync(); times.append(time.perf_counter() - start)
    return min(times)

try:
    import cupy as cp
    a = cp.asarray(host); b = cp.empty_like(a)
    sync = cp.cuda.Device().synchronize
    copy = best(lambda: b.__setitem__(Ellipsis, a), sync)
    up = best(lambda: cp.asarray(host), sync)
    down = best(lambda: cp.asnumpy(a), sync)
    tool = "cupy " + cp.__version__
except Exception as cupy_error:
    import torch
    a = torch.from_numpy(host).cuda(); b = torch.empty_like(a)
    sync = torch.cuda.synchronize
    copy = best(lambda: b.copy_(a), sync)
    up = best(lambda: torch.from_numpy(host).cuda(), sync)
    down = best(lambda: a.cpu(), sync)
    tool = "torch " + torch.__version__
print(json.dumps({"source": "measured with " + tool, "bytes": size,
                  "device_copy": 2 * size / copy, "host_to_device": size / up,
                  "device_to_host": size / down}))
"""


def nominal(device_name):
    """The published figures for the card, or None if we do not know it."""
    for card, figures in NOMINAL.items():
        if card in device_name:
            return {"source": f"nominal ({card} data sheet), not measured", **figures}
    return None


def measure(device_name, size=1 << 28, timeout=90):
    """Bandwidths of the GPU named `device_name`: measured where CuPy or
    torch works, otherwise nominal, otherwise a dict saying why there is none."""
    try:
        probe = subprocess.run(
            [sys.executable, "-c", _PROBE, str(size)],
            capture_output=True,
            text=True,
            timeout=timeout,
        )
        if probe.returncode == 0:
            return json.loads(probe.stdout.strip().splitlines()[-1])
        why = (
            probe.stderr.strip().splitlines()[-1]
            if probe.stderr.strip()
            else f"exit {probe.returncode}"
        )
    except (subprocess.TimeoutExpired, ValueError, IndexError) as error:
        why = str(error)
    return nominal(device_name) or {
        "source": None,
        "why": f"no CuPy or torch ({why}) and no nominal figure for '{device_name}'",
    }
