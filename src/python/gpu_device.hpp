// The GpuDevice class: the Python handle of one GPU.
#pragma once

#include <Python.h>

namespace vorlan::python {

// The class object, created from its spec on first use and kept for the life
// of the process (borrowed reference; nullptr with an exception set if the
// creation failed).
PyTypeObject* gpu_device_type();

}  // namespace vorlan::python
