"""The list-of-u32 converter's fast paths (exported integer buffers, exact lists
and tuples) against its iteration path: for the same elements they must store
the same values or raise the same exception, type and text.

The converter is reached through vorlan_arguments_probe, a test-only extension
built beside the C++ tests; the iteration path is forced by handing the same
elements over in a plain sequence class that exports no buffer.
"""

import array
import ctypes
import importlib.util
import mmap
import os
import sys
import threading
import time

import numpy as np
import pytest
import vorlan_cuda
from conftest import BUILD_DIR
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

U32_MAX = 2**32 - 1


def load_probe():
    """The probe module, or None where it is not built (VORLAN_TESTS=OFF, as
    on a GPU machine): the tests that need it then skip themselves."""
    folder = os.path.join(BUILD_DIR, "tests", "python")
    names = (
        [n for n in os.listdir(folder) if n.startswith("vorlan_arguments_probe.")]
        if os.path.isdir(folder)
        else []
    )
    if not names:
        return None
    spec = importlib.util.spec_from_file_location(
        "vorlan_arguments_probe", os.path.join(folder, names[0])
    )
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


probe = load_probe()


class Plain:
    """A sequence that exports no buffer: the converter iterates it, and so
    meets the very elements that iterating the wrapped object hands out."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, index):
        return self.items[index]

    def __iter__(self):
        return iter(self.items)


def outcome(obj, parameter="offsets"):
    """What the converter makes of obj: ("ok", values) or (type, text)."""
    if probe is None:
        pytest.skip("vorlan_arguments_probe is not built (VORLAN_TESTS=OFF)")
    try:
        return ("ok", list(np.frombuffer(probe.u32_list(obj, parameter), dtype=np.uint32)))
    except Exception as error:  # noqa: BLE001 - the exception is the result
        return (type(error), str(error))


def assert_like_iteration(obj):
    expected = outcome(Plain(obj))
    assert outcome(obj) == expected
    return expected


# --- exported buffers -------------------------------------------------------

INTEGER_CODES = ["i1", "u1", "i2", "u2", "i4", "u4", "i8", "u8"]


@st.composite
def integer_arrays(draw):
    """Integer arrays of every width, sign and byte order, as contiguous or
    strided (also reversed) one-dimensional views, or now and then with another
    number of dimensions; some values do not fit u32."""
    dtype = np.dtype(draw(st.sampled_from(["<", ">", "="])) + draw(st.sampled_from(INTEGER_CODES)))
    info = np.iinfo(dtype)
    fitting = st.integers(max(info.min, 0), min(info.max, U32_MAX))
    elements = st.one_of(fitting, fitting, fitting, st.integers(info.min, info.max))
    shape = draw(
        st.one_of(
            st.integers(0, 40).map(lambda n: (n,)),
            hnp.array_shapes(min_dims=0, max_dims=3, max_side=4),
        )
    )
    order = draw(st.sampled_from(["C", "F"]))
    base = np.asarray(draw(hnp.arrays(dtype, shape, elements=elements)), order=order)
    if base.ndim == 1:
        step = draw(st.sampled_from([1, 1, 2, 3, -1, -2]))
        return base[::step]
    if base.ndim == 2 and draw(st.booleans()):
        # A row or a column of a C- or Fortran-ordered matrix: one of them strided.
        return base[0] if draw(st.booleans()) else base[:, 0]
    return base


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(integer_arrays())
def test_numpy_arrays_convert_as_their_elements_do(values):
    assert_like_iteration(values)


@settings(max_examples=150, deadline=None)
@given(st.sampled_from("bBhHiIlLqQ"), st.data())
def test_standard_arrays_and_memoryviews_convert_as_their_elements_do(code, data):
    sample = array.array(code)
    bits = sample.itemsize * 8
    low, high = (-(2 ** (bits - 1)), 2 ** (bits - 1) - 1) if code.islower() else (0, 2**bits - 1)
    values = data.draw(st.lists(st.integers(low, high), max_size=30))
    stored = array.array(code, values)
    step = data.draw(st.sampled_from([1, 2, -1, -3]))
    assert_like_iteration(stored)
    assert_like_iteration(memoryview(stored)[::step])


CTYPES = [
    ctypes.c_int8,
    ctypes.c_uint8,
    ctypes.c_int16,
    ctypes.c_uint16,
    ctypes.c_int32,
    ctypes.c_uint32,
    ctypes.c_int64,
    ctypes.c_uint64,
]


@settings(max_examples=100, deadline=None)
@given(st.sampled_from(CTYPES), st.booleans(), st.data())
def test_ctypes_arrays_of_either_byte_order_convert_as_their_elements_do(scalar, swapped, data):
    # ctypes exports explicit byte orders ("<i", ">i"): only the machine's own
    # may be read from memory.
    if swapped:
        scalar = scalar.__ctype_be__ if sys.byteorder == "little" else scalar.__ctype_le__
    bits = ctypes.sizeof(scalar) * 8
    signed = scalar(-1).value == -1
    low, high = (-(2 ** (bits - 1)), 2 ** (bits - 1) - 1) if signed else (0, 2**bits - 1)
    values = data.draw(st.lists(st.integers(low, high), max_size=20))
    assert_like_iteration((scalar * len(values))(*values))


@pytest.mark.parametrize(
    "obj, expected",
    [
        (b"\x00\x05\xff", [0, 5, 255]),
        (bytearray(b"\x07\x00"), [7, 0]),
        (memoryview(b"abc")[1:], [98, 99]),
        (np.arange(5, dtype=np.int64)[::-2], [4, 2, 0]),
        (np.asfortranarray(np.arange(6, dtype=np.uint16).reshape(2, 3))[1], [3, 4, 5]),
        (np.array([U32_MAX], dtype=np.uint64), [U32_MAX]),
        (np.broadcast_to(np.int16(7), (3,)), [7, 7, 7]),  # a stride of 0, read-only
        (np.zeros(0, dtype=np.int8), []),
    ],
)
def test_buffers_store_one_value_per_element(obj, expected):
    assert outcome(obj) == ("ok", expected)


# The buffer path stages elements in blocks of 2,048: lengths of one block,
# either side of it and across several, for every width, contiguous, strided
# and reversed. Random values make any element read from the wrong place show.
@pytest.mark.parametrize("length", [2047, 2048, 2049, 4096, 6145])
@pytest.mark.parametrize("step", [1, 3, -1, -2])
@pytest.mark.parametrize("code", INTEGER_CODES)
def test_long_buffers_convert_as_their_elements_do(code, step, length):
    dtype = np.dtype("=" + code)
    high = min(np.iinfo(dtype).max, U32_MAX)
    rng = np.random.default_rng(length * 10 + abs(step))
    values = rng.integers(0, high, size=length * abs(step), dtype=dtype, endpoint=True)[::step]
    assert len(values) == length
    assert assert_like_iteration(values) == ("ok", [int(v) for v in values])


@pytest.mark.parametrize("position", [0, 2047, 2048, 4095, 6144])
@pytest.mark.parametrize("step", [1, -1, 2])
def test_an_unfit_element_is_found_in_whichever_block_it_is(position, step):
    values = np.zeros(6145 * abs(step), dtype=np.int32)[::step]
    values[position] = -1
    assert assert_like_iteration(values) == (
        OverflowError,
        "can't convert negative int to unsigned",
    )


class IteratedMmap(mmap.mmap):
    """An mmap that iterates as the mmap type does, one 1-byte bytes object
    per byte; redefining __iter__ sends it down the iteration path."""

    def __iter__(self):
        return iter([self[i : i + 1] for i in range(len(self))])


@pytest.mark.parametrize("kind", [mmap.mmap, IteratedMmap])
def test_an_mmap_is_read_as_bytes_on_either_path(kind):
    data = bytes([0, 5, 255, 7]) * 700
    with kind(-1, len(data)) as mapped:
        mapped.write(data)
        assert outcome(mapped) == ("ok", list(data))


@pytest.mark.parametrize(
    "values, dtype, message",
    [
        ([1, -1, 2**32], np.int64, "can't convert negative int to unsigned"),
        ([1, 2**32, -1], np.int64, "out of range integral type conversion attempted"),
        ([0, 2**63], np.uint64, "out of range integral type conversion attempted"),
        ([3, -128], np.int8, "can't convert negative int to unsigned"),
    ],
)
def test_first_unfit_element_decides_the_overflow(values, dtype, message):
    assert outcome(np.array(values, dtype=dtype)) == (OverflowError, message)
    assert outcome(np.array(values, dtype=dtype)[::-1]) == outcome(Plain(values[::-1]))


class RedefinedIteration(np.ndarray):
    def __iter__(self):
        return iter([7] * len(self))


class RedefinedExport(bytes):
    def __buffer__(self, flags):
        return memoryview(b"\x09" * len(self))


@pytest.mark.parametrize(
    "obj",
    [
        np.array([1.0, 2.0]),  # float: __index__ refuses
        np.array([True, False]),  # bool: not an integer format
        np.array([1, 2], dtype=object),
        np.array([[1, 2], [3, 4]], dtype=np.uint32),  # rows are not integers
        np.array(5, dtype=np.uint32),  # a 0-d array does not iterate
        np.zeros(2, dtype=[("a", "<i4")]),
        np.array([1, 2, 3], dtype=np.uint32).view(RedefinedIteration),
        RedefinedExport(b"\x01\x02"),
        np.ma.masked_array([1, 2, 3], mask=[0, 1, 0], dtype=np.int64),
    ],
)
def test_other_buffers_keep_the_iteration_path(obj):
    assert outcome(obj) == outcome(Plain(obj))


# --- exact lists and tuples --------------------------------------------------


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class IntSubclass(int):
    def __index__(self):
        raise AssertionError("an int subclass is read as an int")


ITEMS = st.one_of(
    st.integers(0, U32_MAX),
    st.integers(0, 2**30),
    st.integers(-(2**65), 2**65),
    st.booleans(),
    st.builds(np.uint32, st.integers(0, U32_MAX)),
    st.builds(np.int64, st.integers(-(2**40), 2**40)),
    st.builds(Index, st.integers(-5, 2**33)),
    st.builds(IntSubclass, st.integers(0, 2**33)),
    st.sampled_from([1.0, None, "1", np.float64(2)]),
)


@settings(max_examples=300, deadline=None)
@given(st.lists(ITEMS, max_size=25))
def test_lists_and_tuples_convert_as_their_iteration_does(items):
    expected = outcome(Plain(items))
    assert outcome(list(items)) == expected
    assert outcome(tuple(items)) == expected


def test_item_errors_carry_the_argument_prefix():
    assert outcome([0, 1.5], "targets") == (
        TypeError,
        "argument 'targets': 'float' object cannot be interpreted as an integer",
    )


class Mutating:
    """An item whose __index__ changes the list it sits in."""

    def __init__(self, change, value=1):
        self.change, self.value, self.owner = change, value, None

    def __index__(self):
        self.change(self.owner)
        return self.value


def grow(owner):
    owner.extend([8, 9])


def shrink(owner):
    del owner[-2:]


def drop_self(owner):
    owner.clear()


def fail(owner):
    raise ValueError("no index today")


@pytest.mark.parametrize("change", [grow, shrink, drop_self, fail])
@pytest.mark.parametrize("position", [0, 2, 4])
def test_index_that_mutates_the_list_is_followed_like_iteration(change, position):
    def fresh():
        items = [0, 1, 2, 3, 4]
        items[position] = Mutating(change, 5)
        items[position].owner = items
        return items

    fast_list, plain_list = fresh(), fresh()
    assert outcome(fast_list) == outcome(Plain(plain_list))
    assert len(fast_list) == len(plain_list)


# --- snapshots ----------------------------------------------------------------


def test_array_written_by_another_thread_gives_a_consistent_graph(device):
    """Another thread keeps overwriting the targets with a node that does not
    exist, and restoring them, while from_csr reads them (ctypes.memmove runs
    without the interpreter lock). Every graph from_csr accepts must be the
    valid one: checked and uploaded from the same copy."""
    nodes, degree = 1 << 14, 8
    offsets = np.arange(0, nodes * degree + 1, degree, dtype=np.uint32)
    valid = np.random.default_rng(7).integers(0, nodes, nodes * degree).astype(np.uint32)
    missing_node = np.full_like(valid, nodes + 5)
    targets = valid.copy()
    expected = vorlan_cuda.GpuGraph.from_csr(offsets, targets, device).bfs(0)["distances"]
    stop = threading.Event()

    def scribble():
        while not stop.is_set():
            ctypes.memmove(targets.ctypes.data, missing_node.ctypes.data, targets.nbytes)
            ctypes.memmove(targets.ctypes.data, valid.ctypes.data, targets.nbytes)

    writer = threading.Thread(target=scribble)
    writer.start()
    try:
        for _ in range(40):
            # Hands the writer the interpreter lock, so that its next copy
            # starts, and runs on, while from_csr reads.
            time.sleep(0)
            try:
                graph = vorlan_cuda.GpuGraph.from_csr(offsets, targets, device)
            except ValueError:
                continue  # read while the missing node was (partly) there
            assert graph.bfs(0)["distances"] == expected
    finally:
        stop.set()
        writer.join()
