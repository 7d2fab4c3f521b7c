"""The extension module itself: import, registration, classes, refusals."""

import ctypes
import importlib.util
import shutil
import subprocess
import textwrap

import pytest
import vorlan_cuda
from conftest import run_python


class TestImport:
    def test_import_needs_no_driver(self, empty_library_dir):
        result = run_python(
            "import vorlan_cuda; print(vorlan_cuda.__all__)", library_path=empty_library_dir
        )
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == "['GpuDevice', 'GpuGraph']"

    def test_all_lists_both_classes_in_order(self):
        assert vorlan_cuda.__all__ == ["GpuDevice", "GpuGraph"]

    def test_module_docstring_is_empty(self):
        assert vorlan_cuda.__doc__ == ""

    def test_nothing_else_is_exported_to_python(self):
        public = {name for name in dir(vorlan_cuda) if not name.startswith("_")}
        assert public == {"GpuDevice", "GpuGraph"}

    def test_second_initialisation_returns_the_same_module(self):
        library = ctypes.PyDLL(vorlan_cuda.__file__)
        init = library.PyInit_vorlan_cuda
        init.restype = ctypes.py_object
        assert init() is vorlan_cuda
        assert init() is vorlan_cuda
        assert vorlan_cuda.__all__ == ["GpuDevice", "GpuGraph"]

    def test_only_the_init_function_is_exported(self):
        nm = shutil.which("nm")
        if nm is None:
            pytest.skip("nm is not installed")
        listing = subprocess.run(
            [nm, "-D", "--defined-only", vorlan_cuda.__file__],
            capture_output=True,
            text=True,
            check=True,
        ).stdout
        symbols = [line.split()[-1] for line in listing.splitlines() if line.strip()]
        assert symbols == ["PyInit_vorlan_cuda"]


class TestClasses:
    @pytest.mark.parametrize(
        "cls, name", [(vorlan_cuda.GpuDevice, "GpuDevice"), (vorlan_cuda.GpuGraph, "GpuGraph")]
    )
    def test_type_names_come_from_builtins(self, cls, name):
        assert cls.__module__ == "builtins"
        assert cls.__name__ == name
        assert cls.__qualname__ == name
        assert repr(cls) == f"<class 'builtins.{name}'>"
        assert cls.__bases__ == (object,)

    @pytest.mark.parametrize("cls", [vorlan_cuda.GpuDevice, vorlan_cuda.GpuGraph])
    def test_subclassing_is_refused(self, cls):
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})

    @pytest.mark.parametrize("cls", [vorlan_cuda.GpuDevice, vorlan_cuda.GpuGraph])
    def test_classes_cannot_be_changed(self, cls):
        with pytest.raises(TypeError):
            cls.extra = 1

    def test_graph_cannot_be_instantiated(self):
        with pytest.raises(TypeError):
            vorlan_cuda.GpuGraph()

    def test_docstrings(self):
        assert vorlan_cuda.GpuDevice.__doc__ == "A CUDA GPU device."
        assert vorlan_cuda.GpuDevice.__text_signature__ == "(ordinal=0)"
        assert vorlan_cuda.GpuGraph.__doc__ == "A graph stored in GPU memory (CSR format)."


@pytest.mark.skipif(
    importlib.util.find_spec("_interpreters") is None,
    reason="needs the _interpreters module of Python 3.13 or newer",
)
class TestSubInterpreters:
    """The module keeps process-wide state, so only one interpreter may load it."""

    def run_in_subinterpreter(self, config):
        code = textwrap.dedent(f"""
            import _interpreters, vorlan_cuda
            interp = _interpreters.create(_interpreters.new_config({config!r}))
            failure = _interpreters.exec(interp, "import vorlan_cuda")
            _interpreters.destroy(interp)
            print(failure.type.__name__ if failure else "imported")
            print(failure.msg if failure else "")
            print(vorlan_cuda.__all__)
        """)
        result = run_python(code)
        assert result.returncode == 0, result.stderr
        return result.stdout.splitlines()

    def test_legacy_subinterpreter_is_refused_by_the_module(self):
        kind, message, all_names = self.run_in_subinterpreter("legacy")
        assert kind == "ImportError"
        assert "does not support sub-interpreters" in message
        # The first interpreter keeps a working module.
        assert all_names == "['GpuDevice', 'GpuGraph']"

    def test_isolated_subinterpreter_refuses_single_phase_modules_first(self):
        kind, message, _ = self.run_in_subinterpreter("isolated")
        assert kind == "ImportError"
        assert "does not support sub-interpreters" not in message
