// A test-only extension module that hands the Python tests the list-of-u32
// converter itself, so that they can compare what it stores for every kind of
// input (lists, tuples, NumPy arrays, array.array, plain sequences) without
// the graph checks of from_csr in the way.
#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "python/arguments.hpp"

namespace {

// u32_list(object, parameter) -> bytes holding the converted values in native
// byte order, or the converter's exception.
PyObject* u32_list(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2 || !PyUnicode_Check(args[1])) {
    PyErr_SetString(PyExc_TypeError, "u32_list(object, parameter: str)");
    return nullptr;
  }
  const char* parameter = PyUnicode_AsUTF8(args[1]);
  if (parameter == nullptr) return nullptr;
  const auto values = vorlan::python::convert_u32_list(args[0], parameter);
  if (!values) return nullptr;
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values->data()),
                                   static_cast<Py_ssize_t>(values->size() * sizeof(std::uint32_t)));
}

PyMethodDef probe_methods[] = {
    {"u32_list", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(u32_list)),
     METH_FASTCALL, "The converted values as native-order u32 bytes."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef probe_module = {
    PyModuleDef_HEAD_INIT,
    "vorlan_arguments_probe",
    nullptr,
    -1,
    probe_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_vorlan_arguments_probe() { return PyModule_Create(&probe_module); }
