// The algorithm methods of GpuGraph. Each binds its arguments, checks self,
// converts, runs its engine operation with the interpreter lock held, and
// builds its result dict.
#pragma once

#include <Python.h>

#include "engine/graph_store.hpp"

namespace vorlan::python {

// The graph record of a GpuGraph instance (the caller has checked the type).
const engine::GraphStore& graph_of(PyObject* self);

PyObject* graph_triangle_count(PyObject* self, PyObject* unused);
PyObject* graph_pagerank(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames);
PyObject* graph_pagerank_directed(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames);
PyObject* graph_bfs(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* graph_bfs_tree(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames);
PyObject* graph_k_truss(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* graph_connected_components(PyObject* self, PyObject* unused);
PyObject* graph_triangles_per_node(PyObject* self, PyObject* unused);
PyObject* graph_core_number(PyObject* self, PyObject* unused);
PyObject* graph_node_kernels_triangle_count(PyObject* self, PyObject* unused);
PyObject* graph_node_kernels_k_truss(PyObject* self, PyObject* k);
PyObject* graph_transposed(PyObject* self, PyObject* unused);
PyObject* graph_node_kernels_pagerank(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames);
PyObject* graph_node_kernels_bfs(PyObject* self, PyObject* source);

extern const char* const kTriangleCountDoc;
extern const char* const kPageRankDoc;
extern const char* const kPageRankDirectedDoc;
extern const char* const kBfsDoc;
extern const char* const kBfsTreeDoc;
extern const char* const kKTrussDoc;
extern const char* const kConnectedComponentsDoc;
extern const char* const kTrianglesPerNodeDoc;
extern const char* const kCoreNumberDoc;

// Entries of GpuGraph's member table, in the order the class lists them.
#define VORLAN_FASTCALL(function) \
  reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function))
#define VORLAN_GRAPH_ALGORITHM_METHODS                                                            \
  {"triangle_count", graph_triangle_count, METH_NOARGS, kTriangleCountDoc},                       \
      {"pagerank", VORLAN_FASTCALL(graph_pagerank), METH_FASTCALL | METH_KEYWORDS, kPageRankDoc}, \
      {"pagerank_directed", VORLAN_FASTCALL(graph_pagerank_directed),                             \
       METH_FASTCALL | METH_KEYWORDS, kPageRankDirectedDoc},                                      \
      {"bfs", VORLAN_FASTCALL(graph_bfs), METH_FASTCALL | METH_KEYWORDS, kBfsDoc},                \
      {"bfs_tree", VORLAN_FASTCALL(graph_bfs_tree), METH_FASTCALL | METH_KEYWORDS, kBfsTreeDoc},  \
      {"k_truss", VORLAN_FASTCALL(graph_k_truss), METH_FASTCALL | METH_KEYWORDS, kKTrussDoc},     \
      {"connected_components", graph_connected_components, METH_NOARGS, kConnectedComponentsDoc}, \
      {"triangles_per_node", graph_triangles_per_node, METH_NOARGS, kTrianglesPerNodeDoc},        \
      {"core_number", graph_core_number, METH_NOARGS, kCoreNumberDoc},                            \
      {"_node_kernels_triangle_count", graph_node_kernels_triangle_count, METH_NOARGS, nullptr},  \
      {"_node_kernels_k_truss", graph_node_kernels_k_truss, METH_O, nullptr},                     \
      {"_transposed", graph_transposed, METH_NOARGS, nullptr},                                    \
      {"_node_kernels_pagerank", VORLAN_FASTCALL(graph_node_kernels_pagerank),                    \
       METH_FASTCALL | METH_KEYWORDS, nullptr},                                                   \
      {"_node_kernels_bfs", graph_node_kernels_bfs, METH_O, nullptr},

}  // namespace vorlan::python
