#include "python/gpu_graph.hpp"

namespace vorlan::python {
namespace {

struct GpuGraphObject {
  PyObject_HEAD
};

PyType_Slot graph_slots[] = {
    {Py_tp_doc, const_cast<char*>("A graph stored in GPU memory (CSR format).")},
    {0, nullptr},
};

// Graphs are made only by from_csr: the class refuses instantiation and
// cannot be subclassed.
PyType_Spec graph_spec = {
    "builtins.GpuGraph",
    sizeof(GpuGraphObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    graph_slots,
};

PyTypeObject* graph_type = nullptr;

}  // namespace

PyTypeObject* gpu_graph_type() {
  if (graph_type == nullptr) {
    graph_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&graph_spec));
  }
  return graph_type;
}

}  // namespace vorlan::python
