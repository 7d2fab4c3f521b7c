// The GpuGraph class: the Python handle of one graph held in GPU memory.
#pragma once

#include <Python.h>

namespace vorlan::python {

// The class object, made by PyType_FromSpec on first use and kept for the life
// of the process (borrowed reference; nullptr with an exception set if the
// creation failed).
PyTypeObject* gpu_graph_type();

}  // namespace vorlan::python
