// Where C++ meets the interpreter. Every function the interpreter calls runs
// its body through guard(), so that no C++ exception crosses into CPython: an
// unrecoverable fault becomes the module's fault exception, after the body's
// destructors have released what the call held.
#pragma once

#include <Python.h>

#include <new>
#include <string_view>

#include "driver/fault.hpp"
#include "engine/error.hpp"

namespace vorlan::python {

// Raises the module's fault exception (created on first use) with `message`.
// Returns nullptr for convenience.
PyObject* raise_fault(std::string_view message);

// Raises the exception an engine error maps to, carrying the error's display
// text: ValueError for refused graph arrays, RuntimeError for everything else;
// an interrupted operation leaves the exception its interrupt poll raised.
// Returns nullptr.
PyObject* raise_gpu_error(const engine::GpuError& error);

template <class Body>
PyObject* guard(Body&& body) noexcept {
  try {
    return body();
  } catch (const Fault& fault) {
    return raise_fault(fault.what());
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& unexpected) {
    return raise_fault(unexpected.what());
  }
}

}  // namespace vorlan::python
