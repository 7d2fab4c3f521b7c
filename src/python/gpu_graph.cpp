#include "python/gpu_graph.hpp"

#include <array>
#include <memory>

#include "engine/graph_store.hpp"
#include "python/arguments.hpp"
#include "python/boundary.hpp"
#include "python/gpu_device.hpp"
#include "python/graph_methods.hpp"

namespace vorlan::python {
namespace {

struct GpuGraphObject {
  PyObject_HEAD engine::GraphStore* graph;  // owned
};

constexpr std::array<std::string_view, 3> kFromCsrParameters = {"offsets", "targets", "device"};
const FunctionDescription kFromCsrDescription{"GpuGraph", "from_csr", kFromCsrParameters, 3};

// Wraps a built graph in a new GpuGraph; on failure the graph is released.
PyObject* wrap_graph(engine::GraphStore graph) {
  // Allocated before the object, as a GpuDevice's record is.
  auto owned = std::make_unique<engine::GraphStore>(std::move(graph));
  PyTypeObject* type = gpu_graph_type();
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  reinterpret_cast<GpuGraphObject*>(self)->graph = owned.release();
  return self;
}

PyObject* from_csr(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    std::array<PyObject*, 3> slots{};
    if (!bind_vectorcall(kFromCsrDescription, args, nargs, kwnames, slots)) return nullptr;
    auto offsets = convert_u32_list(slots[0], "offsets");
    if (!offsets) return nullptr;
    auto targets = convert_u32_list(slots[1], "targets");
    if (!targets) return nullptr;
    PyObject* device = convert_instance(slots[2], gpu_device_type(), "GpuDevice", "device");
    if (device == nullptr) return nullptr;
    auto graph = engine::GraphStore::build(*offsets, *targets, device_stream(device));
    if (!graph) return raise_gpu_error(graph.error());
    return wrap_graph(std::move(*graph));
  });
}

void graph_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<GpuGraphObject*>(self)->graph;
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* get_num_nodes(PyObject* self, void*) {
  return guard([&] { return int_from_u32(graph_of(self).num_nodes()).release(); });
}

PyObject* get_num_edges(PyObject* self, void*) {
  return guard([&] { return int_from_u32(graph_of(self).num_edges()).release(); });
}

constexpr const char* kFromCsrDoc =
    "from_csr(offsets, targets, device)\n--\n\nCreate a GpuGraph from raw CSR arrays.\n\n"
    "Args:\n    offsets (list[int]): CSR row pointer array.\n"
    "    targets (list[int]): CSR column index array.\n    device: A GpuDevice instance.";

PyMethodDef graph_methods[] = {
    {"from_csr", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(from_csr)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC, kFromCsrDoc},
    VORLAN_GRAPH_ALGORITHM_METHODS{nullptr, nullptr, 0, nullptr},
};

PyGetSetDef graph_getset[] = {
    {"num_nodes", get_num_nodes, nullptr, "Number of nodes.", nullptr},
    {"num_edges", get_num_edges, nullptr, "Number of edge entries in CSR.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot graph_slots[] = {
    {Py_tp_doc, const_cast<char*>("A graph stored in GPU memory (CSR format).")},
    {Py_tp_dealloc, reinterpret_cast<void*>(graph_dealloc)},
    {Py_tp_methods, graph_methods},
    {Py_tp_getset, graph_getset},
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

const engine::GraphStore& graph_of(PyObject* self) {
  return *reinterpret_cast<GpuGraphObject*>(self)->graph;
}

}  // namespace vorlan::python
