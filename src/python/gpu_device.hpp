// The GpuDevice class: the Python handle of one GPU. Creating one retains the
// device's context, reads its name and memory size and prepares the one
// stream every graph built from it will use.
#pragma once

#include <Python.h>

#include "driver/memory.hpp"

namespace vorlan::python {

// The class object, made by PyType_FromSpec on first use and kept for the life
// of the process (borrowed reference; nullptr with an exception set if the
// creation failed).
PyTypeObject* gpu_device_type();

// The stream of a GpuDevice instance (the caller has checked the type).
const driver::SharedStream& device_stream(PyObject* device);

}  // namespace vorlan::python
