// The extension's entry point. Initialisation is single-phase: one module
// object per process, created once and handed back on every later import in
// the same interpreter. Other interpreters are refused, because the module's
// classes and driver state are process-wide.
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "python/boundary.hpp"
#include "python/gpu_device.hpp"
#include "python/gpu_graph.hpp"
#include "python/py_ref.hpp"

namespace vorlan::python {
namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "vorlan_cuda",  // m_name
    "",             // m_doc
    0,              // m_size
    nullptr,        // m_methods
    nullptr,        // m_slots
    nullptr,        // m_traverse
    nullptr,        // m_clear
    nullptr,        // m_free
};

constexpr int kApiVersion = 1013;

std::atomic<std::int64_t> owner_interpreter{-1};
// Filled once, under creation_mutex, and kept until the process ends.
PyObject* module_object = nullptr;
std::mutex creation_mutex;

// Claims the module for the calling interpreter; false with ImportError set
// when another interpreter got there first.
bool claim_interpreter() {
  const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (current == -1) return false;
  std::int64_t expected = -1;
  if (owner_interpreter.compare_exchange_strong(expected, current) || expected == current) {
    return true;
  }
  PyErr_Format(PyExc_ImportError,
               "vorlan_cuda does not support sub-interpreters: it is already loaded in "
               "interpreter %lld and cannot be imported into interpreter %lld",
               static_cast<long long>(expected), static_cast<long long>(current));
  return false;
}

// Returns a new reference to the module's __all__ list, creating it if absent.
PyRef all_list(PyObject* module) {
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (all || !PyErr_ExceptionMatches(PyExc_AttributeError)) return all;
  PyErr_Clear();
  all = PyRef::steal(PyList_New(0));
  if (all && PyObject_SetAttrString(module, "__all__", all.get()) < 0) return PyRef();
  return all;
}

bool append_name(PyObject* all, const char* name) {
  PyRef text = PyRef::steal(PyUnicode_FromString(name));
  if (text && PyList_Append(all, text.get()) == 0) return true;
  PyObject* cause = PyErr_GetRaisedException();
  PyErr_Format(PyExc_RuntimeError, "could not append __name__ to __all__ (%s)", name);
  PyObject* raised = PyErr_GetRaisedException();
  PyException_SetCause(raised, cause);
  PyErr_SetRaisedException(raised);
  return false;
}

// Lists the class in __all__, then sets it as a module attribute.
bool register_class(PyObject* module, const char* name, PyTypeObject* type) {
  if (type == nullptr) return false;
  PyRef all = all_list(module);
  if (!all || !append_name(all.get(), name)) return false;
  return PyObject_SetAttrString(module, name, reinterpret_cast<PyObject*>(type)) == 0;
}

// Creates the module and its classes; nullptr with an exception set on failure,
// in which case nothing is kept.
PyObject* create_module() {
  PyRef module = PyRef::steal(PyModule_Create2(&module_definition, kApiVersion));
  if (!module) return nullptr;
  if (!register_class(module.get(), "GpuDevice", gpu_device_type()) ||
      !register_class(module.get(), "GpuGraph", gpu_graph_type())) {
    return nullptr;
  }
  return module.release();
}

PyObject* initialise() {
  if (!claim_interpreter()) return nullptr;
  std::unique_lock lock(creation_mutex, std::try_to_lock);
  if (!lock.owns_lock()) {
    // Another thread is creating the module: wait without the interpreter lock.
    Py_BEGIN_ALLOW_THREADS lock.lock();
    Py_END_ALLOW_THREADS
  }
  if (module_object == nullptr) module_object = create_module();
  return Py_XNewRef(module_object);
}

}  // namespace
}  // namespace vorlan::python

PyMODINIT_FUNC PyInit_vorlan_cuda() {
  return vorlan::python::guard([] { return vorlan::python::initialise(); });
}
