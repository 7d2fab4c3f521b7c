"""GpuDevice: construction and its arguments, the two properties, driver
failures while opening a device, primary-context retains, and what happens
when the driver library is missing or incomplete."""

import ctypes
import gc
import os
import tempfile
import threading
import weakref

import pytest
from conftest import EMULATOR_DIR, MISSING_ENTRY_DIR, needs_software_gpu, run_python, run_reporting
from vorlan_cuda import GpuDevice, GpuGraph

INVALID_DEVICE = (
    'CUDA driver error: DriverError(CUDA_ERROR_INVALID_DEVICE, "invalid device ordinal")'
)
SOFTWARE_GPU_NAME = "vorlan software GPU"

# Every file name the loader tries on Linux, in order; the duplicates are
# part of the list (two of the versioned forms coincide for 12.6).
LINUX_CANDIDATES = [
    f"lib{base}{suffix}"
    for base in ("cuda", "nvcuda")
    for suffix in (
        ".so",
        "64.so",
        "64_12.so",
        "64_126.so",
        "64_126_0.so",
        "64_120_6.so",
        "64_10.so",
        "64_11.so",
        "64_12.so",
        "64_120_0.so",
        "64_9.so",
        ".so.12",
        ".so.12",
        ".so.11",
        ".so.10",
        ".so.9",
        ".so.1",
    )
]
NO_LIBRARY_MESSAGE = (
    'Unable to dynamically load the "cuda" shared library - searched for library names: ['
    + ", ".join(f'"{name}"' for name in LINUX_CANDIDATES)
    + "]. Ensure that `LD_LIBRARY_PATH` has the correct path to the installed library. If the "
    "shared library is present on the system under a different name than one of those listed "
    "above, please open a GitHub issue."
)


def configured_memory():
    """Bytes per device the software GPU was told to have (8 GiB by default)."""
    text = os.environ.get("VORLAN_EMU_MEMORY", "")
    if not text:
        return 8 << 30
    shift = {"K": 10, "M": 20, "G": 30}.get(text[-1].upper(), 0)
    return int(text[:-1] if shift else text) << shift


def configured_devices():
    return int(os.environ.get("VORLAN_EMU_DEVICES", "1"))


def runtime_error_text(excinfo):
    """The message of an engine error, after checking its exact shape."""
    assert type(excinfo.value) is RuntimeError
    assert len(excinfo.value.args) == 1
    return excinfo.value.args[0]


def small_graph(device):
    """0 -> 1 -> 2, usable to prove that a device works."""
    return GpuGraph.from_csr([0, 1, 2, 2], [1, 2], device)


class TestConstruction:
    def test_default_positional_and_keyword_forms_are_equivalent(self):
        devices = [GpuDevice(), GpuDevice(0), GpuDevice(ordinal=0)]
        assert all(type(d) is GpuDevice for d in devices)
        assert len({d.name for d in devices}) == 1
        assert len({d.total_memory for d in devices}) == 1
        for d in devices:
            assert small_graph(d).bfs(0)["distances"] == [0, 1, 2]

    def test_each_form_retains_the_primary_context_once(self, emu, device):
        for make in (lambda: GpuDevice(), lambda: GpuDevice(0), lambda: GpuDevice(ordinal=0)):
            before = emu.live()["context_refs"]
            with emu.counting("cuDevicePrimaryCtxRetain") as counter:
                made = make()
            assert counter.delta == {"cuDevicePrimaryCtxRetain": 1}
            assert emu.live()["context_refs"] == before + 1
            del made
            assert emu.live()["context_refs"] == before

    def test_objects_with_index_are_ordinals(self):
        class Zero:
            def __index__(self):
                return 0

        assert GpuDevice(Zero()).name == GpuDevice(0).name

    def test_int_subclass_is_read_by_value_without_its_index(self):
        class Sneaky(int):
            def __index__(self):
                return 1000  # would name a device that does not exist

        assert GpuDevice(Sneaky(0)).name == GpuDevice(0).name

    def test_false_is_ordinal_zero(self):
        assert GpuDevice(False).name == GpuDevice(0).name

    def test_true_is_ordinal_one(self, emu):
        if configured_devices() != 1:
            pytest.skip("needs a single-device software GPU")
        with pytest.raises(RuntimeError) as excinfo:
            GpuDevice(True)
        assert runtime_error_text(excinfo) == INVALID_DEVICE

    # Ordinals past the driver's int (2**31 - 1) name no device either: none
    # of them may wrap onto device 0 or 1 through its low bits.
    BEYOND = [64, 1000, 2**31 - 1, 2**31, 2**32, 2**32 + 1, 2**32 + 64, 2**63, 2**64 - 1]

    @pytest.mark.parametrize("ordinal", BEYOND)
    def test_ordinal_beyond_the_devices(self, ordinal):
        with pytest.raises(RuntimeError) as excinfo:
            GpuDevice(ordinal)
        assert runtime_error_text(excinfo) == INVALID_DEVICE

    @pytest.mark.parametrize("ordinal", BEYOND)
    def test_ordinal_beyond_the_devices_retains_nothing(self, emu, device, ordinal):
        before = emu.live()
        with emu.counting("cuDevicePrimaryCtxRetain", "cuDevicePrimaryCtxRelease_v2") as counter:
            with pytest.raises(RuntimeError):
                GpuDevice(ordinal)
        assert counter.delta == {"cuDevicePrimaryCtxRetain": 0, "cuDevicePrimaryCtxRelease_v2": 0}
        assert emu.live() == before

    @pytest.mark.parametrize("ordinal", BEYOND)
    def test_only_ordinals_the_driver_can_name_reach_it(self, emu, ordinal):
        # An ordinal past the driver's int is refused here: handed on, its low
        # bits would name another device.
        with emu.counting("cuDeviceGet") as counter:
            with pytest.raises(RuntimeError):
                GpuDevice(ordinal)
        assert counter.delta == {"cuDeviceGet": 1 if ordinal <= 2**31 - 1 else 0}

    def test_device_opened_on_another_thread_works_here(self):
        made = []
        worker = threading.Thread(target=lambda: made.append(GpuDevice(0)))
        worker.start()
        worker.join()
        assert small_graph(made[0]).bfs(0)["distances"] == [0, 1, 2]


class TestArgumentErrors:
    def test_two_positional_arguments(self):
        with pytest.raises(TypeError) as excinfo:
            GpuDevice(0, 1)
        assert str(excinfo.value) == (
            "GpuDevice.__new__() takes from 0 to 1 positional arguments but 2 were given"
        )

    def test_too_many_positionals_win_over_a_bad_keyword(self):
        with pytest.raises(TypeError) as excinfo:
            GpuDevice(0, 1, 2, device=3)
        assert str(excinfo.value) == (
            "GpuDevice.__new__() takes from 0 to 1 positional arguments but 3 were given"
        )

    def test_unknown_keyword(self):
        with pytest.raises(TypeError) as excinfo:
            GpuDevice(device=0)
        assert (
            str(excinfo.value) == "GpuDevice.__new__() got an unexpected keyword argument 'device'"
        )

    def test_unknown_keyword_after_a_good_one(self):
        with pytest.raises(TypeError) as excinfo:
            GpuDevice(ordinal=0, index=0)
        assert (
            str(excinfo.value) == "GpuDevice.__new__() got an unexpected keyword argument 'index'"
        )

    def test_keyword_names_are_case_sensitive(self):
        with pytest.raises(TypeError) as excinfo:
            GpuDevice(Ordinal=0)
        assert (
            str(excinfo.value) == "GpuDevice.__new__() got an unexpected keyword argument 'Ordinal'"
        )

    def test_ordinal_given_twice(self):
        with pytest.raises(TypeError) as excinfo:
            GpuDevice(0, ordinal=0)
        assert (
            str(excinfo.value) == "GpuDevice.__new__() got multiple values for argument 'ordinal'"
        )

    def test_non_string_keyword_reaching_the_constructor(self):
        # Python's call syntax refuses such keys itself; the C call protocol
        # hands the dict to the constructor unchecked.
        call = ctypes.pythonapi.PyObject_Call
        call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]
        call.restype = ctypes.py_object
        with pytest.raises(TypeError) as excinfo:
            call(GpuDevice, (), {1: 2})
        assert str(excinfo.value) == "GpuDevice.__new__() got an unexpected keyword argument '1'"

    @pytest.mark.parametrize("ordinal", [-1, -(2**70), 2**64, 2**100])
    def test_out_of_range_ordinals_overflow(self, ordinal):
        with pytest.raises(OverflowError) as excinfo:
            GpuDevice(ordinal)
        assert type(excinfo.value) is OverflowError
        assert not str(excinfo.value).startswith("argument")

    @pytest.mark.parametrize(
        "ordinal, message",
        [
            ("0", "'str' object cannot be interpreted as an integer"),
            (0.0, "'float' object cannot be interpreted as an integer"),
            (None, "'NoneType' object cannot be interpreted as an integer"),
            ([0], "'list' object cannot be interpreted as an integer"),
        ],
    )
    def test_non_integers_are_type_errors_naming_the_argument(self, ordinal, message):
        with pytest.raises(TypeError) as excinfo:
            GpuDevice(ordinal)
        assert type(excinfo.value) is TypeError
        assert str(excinfo.value) == "argument 'ordinal': " + message
        assert excinfo.value.__cause__ is None
        assert excinfo.value.__suppress_context__

    def test_keyword_ordinal_is_converted_the_same_way(self):
        with pytest.raises(TypeError) as excinfo:
            GpuDevice(ordinal="0")
        assert str(excinfo.value).startswith("argument 'ordinal': ")

    def test_other_exceptions_from_index_pass_unchanged(self):
        class Broken:
            def __index__(self):
                raise ValueError("no index today")

        with pytest.raises(ValueError) as excinfo:
            GpuDevice(Broken())
        assert str(excinfo.value) == "no index today"

    @pytest.mark.parametrize(
        "args, kwargs", [((0, 1), {}), ((), {"device": 0}), (("0",), {}), ((-1,), {})]
    )
    def test_argument_errors_touch_no_device(self, emu, device, args, kwargs):
        before = emu.live()
        with emu.counting("cuDevicePrimaryCtxRetain", "cuDeviceGet") as counter:
            with pytest.raises((TypeError, OverflowError)):
                GpuDevice(*args, **kwargs)
        assert counter.delta == {"cuDevicePrimaryCtxRetain": 0, "cuDeviceGet": 0}
        assert emu.live() == before


class TestProperties:
    def test_name_is_an_equal_but_new_str_at_every_read(self, device):
        first, second = device.name, device.name
        assert type(first) is str and first
        assert first == second
        assert first is not second

    def test_name_of_the_software_gpu(self, emu, device):
        assert device.name == SOFTWARE_GPU_NAME

    def test_total_memory_is_the_configured_memory(self, emu, device):
        assert type(device.total_memory) is int
        assert device.total_memory == configured_memory()
        assert device.total_memory == device.total_memory

    def test_total_memory_is_positive(self, device):
        assert device.total_memory > 0

    @pytest.mark.parametrize("attribute", ["name", "total_memory"])
    def test_properties_are_read_only(self, device, attribute):
        value = getattr(device, attribute)
        with pytest.raises(AttributeError):
            setattr(device, attribute, value)
        with pytest.raises(AttributeError):
            delattr(device, attribute)
        assert getattr(device, attribute) == value

    def test_no_other_attributes_can_be_added(self, device):
        with pytest.raises(AttributeError):
            device.ordinal = 0
        assert not hasattr(device, "ordinal")
        assert not hasattr(device, "__dict__")

    def test_no_weak_references(self, device):
        with pytest.raises(TypeError):
            weakref.ref(device)

    def test_property_docstrings(self):
        assert GpuDevice.name.__doc__ == "Device name."
        assert GpuDevice.total_memory.__doc__ == "Total GPU memory in bytes."

    def test_default_object_behaviour(self, device):
        other = GpuDevice(0)
        assert device != other and device == device
        assert isinstance(hash(device), int)
        assert repr(device).startswith("<builtins.GpuDevice object at 0x")


class TestDriverFailuresWhileOpening:
    def test_failed_name_query_falls_back_to_the_ordinal(self, emu, device):
        emu.fail_call("cuDeviceGetName", 1, 999)
        unnamed = GpuDevice(0)
        assert unnamed.name == "CUDA Device 0"
        assert unnamed.total_memory == configured_memory()
        assert small_graph(unnamed).bfs(0)["distances"] == [0, 1, 2]
        # The failure is not remembered.
        assert GpuDevice(0).name == SOFTWARE_GPU_NAME

    def test_failed_total_memory_query_reads_zero(self, emu, device):
        emu.fail_call("cuDeviceTotalMem_v2", 1, 999)
        forgetful = GpuDevice(0)
        assert forgetful.total_memory == 0
        assert forgetful.name == SOFTWARE_GPU_NAME
        assert small_graph(forgetful).bfs(0)["distances"] == [0, 1, 2]
        assert GpuDevice(0).total_memory == configured_memory()

    @pytest.mark.parametrize(
        "entry_point, code, text",
        [
            ("cuInit", 3, 'CUDA_ERROR_NOT_INITIALIZED, "initialization error"'),
            ("cuDeviceGet", 101, 'CUDA_ERROR_INVALID_DEVICE, "invalid device ordinal"'),
            (
                "cuDevicePrimaryCtxRetain",
                201,
                'CUDA_ERROR_INVALID_CONTEXT, "invalid device context"',
            ),
            ("cuDevicePrimaryCtxRetain", 2, 'CUDA_ERROR_OUT_OF_MEMORY, "out of memory"'),
        ],
    )
    def test_failure_before_the_retain_leaves_no_retain(self, emu, device, entry_point, code, text):
        before = emu.live()["context_refs"]
        emu.fail_call(entry_point, 1, code)
        with emu.counting("cuDevicePrimaryCtxRelease_v2") as counter:
            with pytest.raises(RuntimeError) as excinfo:
                GpuDevice(0)
        assert runtime_error_text(excinfo) == f"CUDA driver error: DriverError({text})"
        assert emu.live()["context_refs"] == before
        assert counter.delta == {"cuDevicePrimaryCtxRelease_v2": 0}
        # Nothing stays broken.
        assert small_graph(GpuDevice(0)).bfs(0)["distances"] == [0, 1, 2]

    def test_failed_attribute_query_is_a_driver_error_and_gives_the_retain_back(self, emu, device):
        before = emu.live()["context_refs"]
        emu.fail_call("cuDeviceGetAttribute", 1, 1)
        with pytest.raises(RuntimeError) as excinfo:
            GpuDevice(0)
        assert runtime_error_text(excinfo) == (
            'CUDA driver error: DriverError(CUDA_ERROR_INVALID_VALUE, "invalid argument")'
        )
        assert emu.live()["context_refs"] == before

    def test_failed_binding_at_creation_gives_the_retain_back(self, emu, device):
        before = emu.live()["context_refs"]
        emu.fail_call("cuCtxGetCurrent", 1, 201)
        with emu.counting("cuDevicePrimaryCtxRetain", "cuDevicePrimaryCtxRelease_v2") as counter:
            with pytest.raises(RuntimeError) as excinfo:
                GpuDevice(0)
        assert runtime_error_text(excinfo) == (
            'CUDA driver error: DriverError(CUDA_ERROR_INVALID_CONTEXT, "invalid device context")'
        )
        assert counter.delta == {"cuDevicePrimaryCtxRetain": 1, "cuDevicePrimaryCtxRelease_v2": 1}
        assert emu.live()["context_refs"] == before


class TestPrimaryContextRetains:
    def test_two_devices_on_one_ordinal_retain_and_release_twice(self, emu, device):
        before = emu.live()["context_refs"]
        with emu.counting("cuDevicePrimaryCtxRetain", "cuDevicePrimaryCtxRelease_v2") as counter:
            first = GpuDevice(0)
            assert emu.live()["context_refs"] == before + 1
            second = GpuDevice(0)
            assert emu.live()["context_refs"] == before + 2
            assert small_graph(first).bfs(0)["distances"] == [0, 1, 2]
            assert small_graph(second).bfs(0)["distances"] == [0, 1, 2]
            del first
            gc.collect()
            assert emu.live()["context_refs"] == before + 1
            assert small_graph(second).bfs(0)["distances"] == [0, 1, 2]
            del second
            gc.collect()
        assert counter.delta == {"cuDevicePrimaryCtxRetain": 2, "cuDevicePrimaryCtxRelease_v2": 2}
        assert emu.live()["context_refs"] == before

    def test_graphs_keep_the_retain_after_the_device_is_gone(self, emu, device):
        # No algorithm runs here, so the kernel-module cache takes no share.
        before = emu.live()["context_refs"]
        owner = GpuDevice(0)
        graph = GpuGraph.from_csr([0, 1, 2], [1, 0], owner)
        del owner
        gc.collect()
        assert emu.live()["context_refs"] == before + 1
        assert graph.num_nodes == 2
        with emu.counting("cuDevicePrimaryCtxRelease_v2") as counter:
            del graph
            gc.collect()
        assert counter.delta == {"cuDevicePrimaryCtxRelease_v2": 1}
        assert emu.live()["context_refs"] == before

    def test_dropping_a_device_frees_nothing_else(self, emu, device):
        before = emu.live()
        extra = GpuDevice(0)
        during = emu.live()
        assert during["context_refs"] == before["context_refs"] + 1
        assert (during["allocations"], during["events"]) == (
            before["allocations"],
            before["events"],
        )
        del extra
        assert emu.live() == before


@needs_software_gpu
class TestNoDriverLibrary:
    def test_missing_library_raises_the_fault_exception(self, empty_library_dir):
        values = run_reporting(
            """
            faults = []
            for attempt in range(2):
                try:
                    try:
                        GpuDevice()
                    except Exception as caught:
                        report(caught_as_exception=repr(caught))
                        sys.exit(0)
                except BaseException as fault:
                    faults.append(fault_info(fault))
            report(faults=faults)
        """,
            library_path=empty_library_dir,
        )
        assert "caught_as_exception" not in values
        first, second = values["faults"]
        assert first["args"] == [NO_LIBRARY_MESSAGE]
        assert first["bases"] == ["BaseException"]
        assert not first["is_exception"]
        assert not first["in_module"]
        # The search runs again and fails the same way, with the same class.
        assert second == first

    def test_fault_class_documents_why_it_is_a_base_exception(self, empty_library_dir):
        values = run_reporting(
            """
            try:
                GpuDevice(0)
            except BaseException as fault:
                report(**fault_info(fault))
        """,
            library_path=empty_library_dir,
        )
        assert "BaseException" in values["doc"]
        assert "SystemExit" in values["doc"]

    def test_argument_errors_need_no_driver(self, empty_library_dir):
        values = run_reporting(
            """
            errors = []
            for call in (lambda: GpuDevice(0, 1), lambda: GpuDevice("0"),
                         lambda: GpuGraph.from_csr([0], [], "x")):
                try:
                    call()
                except TypeError as error:
                    errors.append(str(error))
            report(errors=errors)
        """,
            library_path=empty_library_dir,
        )
        assert values["errors"] == [
            "GpuDevice.__new__() takes from 0 to 1 positional arguments but 2 were given",
            "argument 'ordinal': 'str' object cannot be interpreted as an integer",
            "argument 'device': 'str' object cannot be cast as 'GpuDevice'",
        ]

    def test_uncaught_fault_ends_the_script(self, empty_library_dir):
        result = run_python(
            "import vorlan_cuda\nvorlan_cuda.GpuDevice()\nprint('survived')",
            library_path=empty_library_dir,
        )
        assert result.returncode != 0
        assert "survived" not in result.stdout
        assert 'Unable to dynamically load the "cuda" shared library' in result.stderr

    def test_library_without_an_entry_point(self):
        values = run_reporting(
            """
            faults = []
            for attempt in range(2):
                try:
                    GpuDevice()
                except BaseException as fault:
                    faults.append(fault_info(fault))
            report(faults=faults)
        """,
            library_path=MISSING_ENTRY_DIR,
        )
        first, second = values["faults"]
        (message,) = first["args"]
        assert message.startswith("Expected symbol in library: ")
        assert "dlsym" in message
        assert "cuModuleUnload" in message  # the entry that build leaves out
        assert first["bases"] == ["BaseException"] and not first["is_exception"]
        assert second == first

    def test_incomplete_library_ends_the_search(self):
        # An incomplete libcuda.so is found first; a complete library under a
        # later candidate name must not be tried.
        with tempfile.TemporaryDirectory() as folder:
            os.symlink(
                os.path.join(os.path.abspath(MISSING_ENTRY_DIR), "libcuda.so"),
                os.path.join(folder, "libcuda.so"),
            )
            os.symlink(
                os.path.join(os.path.abspath(EMULATOR_DIR), "libcuda.so"),
                os.path.join(folder, "libcuda.so.1"),
            )
            values = run_reporting(
                """
                try:
                    GpuDevice()
                    report(opened=True)
                except BaseException as fault:
                    report(opened=False, **fault_info(fault))
            """,
                library_path=folder,
            )
        assert not values["opened"]
        assert values["args"][0].startswith("Expected symbol in library: ")

    def test_later_candidate_names_are_searched(self):
        with tempfile.TemporaryDirectory() as folder:
            os.symlink(
                os.path.join(os.path.abspath(EMULATOR_DIR), "libcuda.so"),
                os.path.join(folder, "libcuda.so.1"),
            )
            values = run_reporting("report(name=GpuDevice().name)", library_path=folder)
        assert values["name"] == SOFTWARE_GPU_NAME


@needs_software_gpu
class TestSoftwareGpuSettings:
    def test_two_devices(self):
        values = run_reporting(
            """
            first, second = GpuDevice(0), GpuDevice(1)
            emu = SoftwareGpu()
            refs = [emu.live(0)["context_refs"], emu.live(1)["context_refs"]]
            also_second = GpuDevice(True)
            refs_with_third = [emu.live(0)["context_refs"], emu.live(1)["context_refs"]]
            graph = GpuGraph.from_csr([0, 1, 2, 2], [1, 2], second)
            distances = graph.bfs(0)["distances"]
            try:
                GpuDevice(2)
                beyond = None
            except RuntimeError as error:
                beyond = [type(error).__name__, list(error.args)]
            emu.fail_call("cuDeviceGetName", 1, 999)
            fallback = GpuDevice(True).name
            report(names=[first.name, second.name, also_second.name], refs=refs,
                   refs_with_third=refs_with_third, distances=distances, beyond=beyond,
                   fallback=fallback)
        """,
            extra_env={"VORLAN_EMU_DEVICES": "2"},
        )
        assert values["names"] == [SOFTWARE_GPU_NAME] * 3
        assert values["refs"] == [1, 1]
        assert values["refs_with_third"] == [1, 2]
        assert values["distances"] == [0, 1, 2]
        assert values["beyond"] == ["RuntimeError", [INVALID_DEVICE]]
        assert values["fallback"] == "CUDA Device 1"

    def test_total_memory_follows_the_configuration(self):
        values = run_reporting(
            """
            report(memory=[GpuDevice(0).total_memory, GpuDevice(1).total_memory])
        """,
            extra_env={"VORLAN_EMU_MEMORY": "64M", "VORLAN_EMU_DEVICES": "2"},
        )
        assert values["memory"] == [64 << 20, 64 << 20]

    def test_no_device_at_all(self):
        values = run_reporting(
            """
            try:
                GpuDevice()
                report(error=None)
            except RuntimeError as error:
                report(error=list(error.args), exact=type(error) is RuntimeError)
        """,
            extra_env={"VORLAN_EMU_DEVICES": "0"},
        )
        assert values["exact"]
        assert values["error"] == [
            'CUDA driver error: DriverError(CUDA_ERROR_NO_DEVICE, "no CUDA-capable device is detected")'
        ]
