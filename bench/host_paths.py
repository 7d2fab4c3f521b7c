"""Times GpuGraph.from_csr for each kind of array a user may hold the graph in.

    python3 -m bench.host_paths [--scale 18] [--edge-factor 16] [--repeat 5] [--json FILE]

One R-MAT graph (Graph500's, as compare.py makes it), handed over as Python lists, tuples, array.array('I'), NumPy
uint32 and int64 arrays, and a SciPy CSR matrix's indptr/indices. Each input
is uploaded --repeat times and the best time is kept; the time covers the
whole call (conversion, the graph checks and the copy to the device).

The report gives each as MB/s of u32 payload (4 bytes per offset and target,
whatever the input's element size) and as two ratios, in wall time and in CPU
time (of all the process's threads, which on a shared machine leaves out the
waiting for a core):
  ÷base   to building array.array('I', lst) from the same lists: what turning
          a list into a typed array costs in Python itself, the baseline a
          list's conversion is held to;
  ÷array  to from_csr of those arrays.
"list, made array('I') first" adds the array.array construction a list holder
would otherwise do by hand. Where the test build's vorlan_arguments_probe is
found (build/tests/python), the conversion alone is timed too: the converter
copying both arrays into its host vectors, plus one more copy into the bytes
object the probe returns. Runs on whatever driver the process finds.
Bad arguments and an unwritable --json are refused in one line, exit status 2,
before any work.
"""

import array
import os
import sys

import numpy as np
import vorlan_cuda
import vorlan_graphs

from bench import cli
from bench.timing import best_time

BASELINE = "baseline: array.array('I', lst) alone"


def upload(offsets, targets, device):
    """from_csr, its graph dropped at once as between a user's calls."""
    vorlan_cuda.GpuGraph.from_csr(offsets, targets, device)


def inputs(offsets, targets):
    """(name, offsets, targets) of every kind; the converting ones as thunks."""
    kinds = {
        "list": (offsets, targets),
        "tuple": (tuple(offsets), tuple(targets)),
        "array('I')": (array.array("I", offsets), array.array("I", targets)),
        "numpy uint32": (
            np.asarray(offsets, dtype=np.uint32),
            np.asarray(targets, dtype=np.uint32),
        ),
        "numpy int64": (np.asarray(offsets, dtype=np.int64), np.asarray(targets, dtype=np.int64)),
    }
    try:
        import scipy.sparse as sp
    except ImportError:
        return kinds
    # Built the way SciPy builds its own: 32-bit indices while they fit.
    nodes = len(offsets) - 1
    matrix = sp.csr_array(
        (
            np.ones(len(targets), dtype=np.int8),
            np.asarray(targets, dtype=np.int32),
            np.asarray(offsets, dtype=np.int32),
        ),
        shape=(nodes, nodes),
    )
    kinds[f"scipy indptr/indices ({matrix.indices.dtype})"] = (matrix.indptr, matrix.indices)
    return kinds


def conversion_probe():
    """The test build's vorlan_arguments_probe (the converter alone), if built."""
    build = os.environ.get(
        "VORLAN_BUILD_DIR", os.path.join(os.path.dirname(__file__), "..", "build")
    )
    sys.path.insert(0, os.path.join(build, "tests", "python"))
    try:
        import vorlan_arguments_probe
    except ImportError:
        return None
    return vorlan_arguments_probe


def main(argv=None):
    parser = cli.Parser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--scale", type=cli.integer_at_least(1), default=18, help="log2 of the node count"
    )
    parser.add_argument(
        "--edge-factor", type=cli.integer_at_least(1), default=16, help="R-MAT edge draws per node"
    )
    parser.add_repeat(5)
    parser.add_argument("--json", help="write the results to this file")
    args = parser.parse_args(argv)
    if args.scale > 31:
        parser.error(f"argument --scale: {args.scale} is above 31 (node ids are 32-bit)")

    made = vorlan_graphs.rmat(args.scale, args.edge_factor)
    offsets, targets = made.offsets.tolist(), made.targets.tolist()
    device = vorlan_cuda.GpuDevice(0)
    probe = conversion_probe()
    payload = 4 * (len(offsets) + len(targets))
    print(
        f"{device.name}: {len(offsets) - 1:,} nodes, {len(targets):,} edge entries, "
        f"{payload / 1e6:.1f} MB of u32, best of {args.repeat}"
    )

    kinds = inputs(offsets, targets)
    timings = {}
    for name, (offsets_in, targets_in) in kinds.items():
        timings[name] = {
            "timed": best_time(lambda: upload(offsets_in, targets_in, device), args.repeat)
        }
        if probe is not None:
            timings[name]["conversion"] = best_time(
                lambda: (
                    probe.u32_list(offsets_in, "offsets"),
                    probe.u32_list(targets_in, "targets"),
                ),
                args.repeat,
            )
    timings[BASELINE] = {
        "timed": best_time(
            lambda: (array.array("I", offsets), array.array("I", targets)), args.repeat
        )
    }
    timings["list, made array('I') first"] = {
        "timed": best_time(
            lambda: upload(array.array("I", offsets), array.array("I", targets), device),
            args.repeat,
        )
    }
    # What one fresh copy of the payload costs on this machine, page faults
    # included: from_csr makes two (the host vectors, then device memory).
    uint32 = kinds["numpy uint32"]
    timings["reference: numpy copy of both"] = {
        "timed": best_time(lambda: (uint32[0].copy(), uint32[1].copy()), args.repeat)
    }
    report(
        timings,
        payload,
        {
            "device": device.name,
            "num_nodes": len(offsets) - 1,
            "num_edges": len(targets),
            "payload_bytes": payload,
            "repeat": args.repeat,
        },
        args.json,
    )
    return 0


def report(timings, payload, results, json_path):
    wall_base, cpu_base, _ = timings[BASELINE]["timed"]
    wall_array, cpu_array, _ = timings["array('I')"]["timed"]
    results["inputs"] = {}
    print(
        f"  {'':<36} {'wall ms':>8} {'MB/s':>6} {'÷base':>6} {'÷array':>6} {'CPU ms':>7} {'MB/s':>6}"
        f" {'÷base':>6} {'÷array':>6}   {'conversion alone: ms':>20} {'MB/s':>6}"
    )
    for name, timing in timings.items():
        wall, cpu, _ = timing["timed"]
        entry = {
            "wall_seconds": wall,
            "wall_mb_per_second": payload / wall / 1e6,
            "wall_ratio_to_baseline": wall / wall_base,
            "wall_ratio_to_array_input": wall / wall_array,
            "cpu_seconds": cpu,
            "cpu_mb_per_second": payload / max(cpu, 1e-9) / 1e6,
            "cpu_ratio_to_baseline": cpu / max(cpu_base, 1e-9),
            "cpu_ratio_to_array_input": cpu / max(cpu_array, 1e-9),
        }
        line = (
            f"  {name:<36} {wall * 1000:8.2f} {entry['wall_mb_per_second']:6.0f} "
            f"{entry['wall_ratio_to_baseline']:5.2f}x {entry['wall_ratio_to_array_input']:5.2f}x "
            f"{cpu * 1000:7.2f} {entry['cpu_mb_per_second']:6.0f} "
            f"{entry['cpu_ratio_to_baseline']:5.2f}x {entry['cpu_ratio_to_array_input']:5.2f}x"
        )
        if "conversion" in timing:
            converted = timing["conversion"].seconds
            entry["conversion_wall_seconds"] = converted
            entry["conversion_mb_per_second"] = payload / converted / 1e6
            line += f"   {converted * 1000:20.2f} {payload / converted / 1e6:7.0f}"
        results["inputs"][name] = entry
        print(line)
    if json_path:
        cli.write_json_atomically(json_path, results)


if __name__ == "__main__":
    sys.exit(cli.run(main))
