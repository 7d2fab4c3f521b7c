#include "python/boundary.hpp"

#include <string>

#include "python/py_ref.hpp"

namespace vorlan::python {
namespace {

constexpr const char* kFaultName = "vorlan_cuda.UnrecoverableFault";
constexpr const char* kFaultDoc =
    "Raised when vorlan_cuda hits a fault it cannot recover from, such as a missing CUDA "
    "driver library, a driver that lacks an entry point, or a kernel module that the driver "
    "refuses.\n\nLike SystemExit, this exception derives from BaseException, so that it will "
    "typically propagate all the way through the stack and cause the interpreter to exit.";

// Created the first time a fault is raised and kept for the life of the
// process. The interpreter lock serialises its creation.
PyObject* fault_type = nullptr;

PyObject* get_fault_type() {
  if (fault_type == nullptr) {
    fault_type = PyErr_NewExceptionWithDoc(kFaultName, kFaultDoc, PyExc_BaseException, nullptr);
  }
  return fault_type;
}

PyObject* raise_with_text(PyObject* type, std::string_view text) {
  PyRef message = PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (message) PyErr_SetObject(type, message.get());
  return nullptr;
}

}  // namespace

PyObject* raise_fault(std::string_view message) {
  PyObject* type = get_fault_type();
  if (type == nullptr) return nullptr;
  return raise_with_text(type, message.empty() ? "unrecoverable fault" : message);
}

PyObject* raise_gpu_error(const engine::GpuError& error) {
  // The poll that stopped the operation left its exception set: it goes up as is.
  if (std::holds_alternative<engine::GpuError::Interrupted>(error.variant()) && PyErr_Occurred()) {
    return nullptr;
  }
  const bool bad_input = std::holds_alternative<engine::GpuError::InvalidCsr>(error.variant()) ||
                         std::holds_alternative<engine::GpuError::InvalidArgument>(error.variant());
  return raise_with_text(bad_input ? PyExc_ValueError : PyExc_RuntimeError, error.display());
}

}  // namespace vorlan::python
