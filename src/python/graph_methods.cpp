#include "python/graph_methods.hpp"

#include <array>

#include "engine/bfs.hpp"
#include "engine/bfs_tree.hpp"
#include "engine/connected_components.hpp"
#include "engine/core_number.hpp"
#include "engine/k_truss.hpp"
#include "engine/pagerank.hpp"
#include "engine/pagerank_directed.hpp"
#include "engine/transpose.hpp"
#include "engine/triangle_counting.hpp"
#include "engine/triangles_per_node.hpp"
#include "python/arguments.hpp"
#include "python/boundary.hpp"
#include "python/float_array.hpp"
#include "python/gpu_graph.hpp"

namespace vorlan::python {

const char* const kTriangleCountDoc =
    "triangle_count($self)\n--\n\nCount all triangles in the graph on GPU.\n\n"
    "Returns:\n    dict with keys 'total_triangles' (int) and 'time_seconds' (float).";
const char* const kPageRankDoc =
    "pagerank($self, damping=0.85, max_iterations=100, tolerance=1e-6)\n--\n\n"
    "Run PageRank on GPU.\n\nArgs:\n    damping (float): Damping factor (default 0.85).\n"
    "    max_iterations (int): Maximum iterations (default 100).\n"
    "    tolerance (float): Convergence tolerance (default 1e-6).\n\n"
    "Returns:\n    dict with keys 'ranks' (list[float]), 'iterations' (int),\n"
    "    'converged' (bool), 'time_seconds' (float).";
const char* const kPageRankDirectedDoc =
    "pagerank_directed($self, alpha=0.85, max_iterations=100, tolerance=1e-6, weights=None,\n"
    "                  personalization=None, dangling=None, start=None)\n--\n\n"
    "PageRank of the graph as stored (each list a node's out-edges), as NetworkX\n"
    "computes it, in double precision on GPU: the rank of nodes without out-weight\n"
    "goes to every node by the dangling vector; stops once the L1 change is below\n"
    "num_nodes * tolerance.\n\n"
    "Args:\n    alpha (float): Damping factor in [0, 1] (default 0.85).\n"
    "    max_iterations (int): Maximum iterations (default 100).\n"
    "    tolerance (float): Per-node tolerance, positive (default 1e-6).\n"
    "    weights: None, or one non-negative weight per entry of targets\n"
    "        (float64 or float32 buffer, or a sequence); repeated edges add up.\n"
    "    personalization, dangling, start: None, or one value per node, scaled\n"
    "        to sum 1 (default uniform; dangling defaults to personalization).\n\n"
    "Returns:\n    dict with keys 'ranks' (list[float]), 'iterations' (int),\n"
    "    'converged' (bool), 'time_seconds' (float).";
const char* const kBfsDoc =
    "bfs($self, source)\n--\n\nRun BFS from a source node on GPU.\n\n"
    "Args:\n    source (int): Source node index (0-based).\n\n"
    "Returns:\n    dict with keys 'distances' (list[int]), 'reachable' (int),\n"
    "    'max_depth' (int), 'time_seconds' (float).";
const char* const kBfsTreeDoc =
    "bfs_tree($self, source, depth_limit=None)\n--\n\n"
    "BFS tree on GPU in the order of a first-in first-out queue.\n\n"
    "Nodes are reached in the order a queue that scans each node's list in list\n"
    "order appends them (NetworkX's bfs_edges order), each from its parent: the\n"
    "node of the previous level whose list the queue meets it in first.\n\n"
    "Args:\n    source (int): Source node index (0-based).\n"
    "    depth_limit (int | None): Levels to expand (None: all).\n\n"
    "Returns:\n    dict with keys 'order' (list[int], the reached nodes in queue\n"
    "    order, source first), 'parents' (list[int], per node, -1 for the source\n"
    "    and unreached nodes), 'depths' (list[int], per node, -1 where not\n"
    "    reached), 'max_depth' (int), 'time_seconds' (float).";
const char* const kKTrussDoc =
    "k_truss($self, k)\n--\n\nExtract the k-truss from the graph.\n\n"
    "Args:\n    k (int): Truss number (minimum 3).\n\n"
    "Returns:\n    dict with keys 'edges' (list[tuple[int,int]]), 'k' (int),\n"
    "    'iterations' (int), 'time_seconds' (float).";
const char* const kConnectedComponentsDoc =
    "connected_components($self)\n--\n\nLabel the connected components on GPU.\n\n"
    "Each list entry u -> v counts as the undirected edge {u, v}, so a graph\n"
    "that is not symmetric gets its weakly connected components.\n\n"
    "Returns:\n    dict with keys 'labels' (list[int], per node the smallest node\n"
    "    index of its component), 'num_components' (int), 'rounds' (int),\n"
    "    'time_seconds' (float).";
const char* const kTrianglesPerNodeDoc =
    "triangles_per_node($self)\n--\n\nCount the triangles at each node on GPU.\n\n"
    "Counts each triple u < v < w with v, w in u's list and w in v's list once\n"
    "at each of u, v and w: on a symmetric graph without self-loops, the\n"
    "triangles each node lies on. Lists must be strictly ascending (a graph\n"
    "without edges has no triangles); any other graph raises RuntimeError.\n\n"
    "Returns:\n    dict with keys 'triangles' (list[int], per node), 'total_triangles'\n"
    "    (int, each triangle once), 'time_seconds' (float).";
const char* const kCoreNumberDoc =
    "core_number($self)\n--\n\nCore numbers by node peeling on GPU.\n\n"
    "For a symmetric graph without self-loops, each node's core number: the\n"
    "largest k such that it lies in a subgraph whose nodes all have k or more\n"
    "neighbours in it.\n\n"
    "Returns:\n    dict with keys 'core' (list[int], per node), 'max_core' (int),\n"
    "    'rounds' (int), 'time_seconds' (float).";

namespace {

constexpr std::array<std::string_view, 3> kPageRankParameters = {"damping", "max_iterations",
                                                                 "tolerance"};
const FunctionDescription kPageRankDescription{"GpuGraph", "pagerank", kPageRankParameters, 0};
constexpr std::array<std::string_view, 7> kPageRankDirectedParameters = {
    "alpha", "max_iterations", "tolerance", "weights", "personalization", "dangling", "start"};
const FunctionDescription kPageRankDirectedDescription{"GpuGraph", "pagerank_directed",
                                                       kPageRankDirectedParameters, 0};
constexpr std::array<std::string_view, 1> kBfsParameters = {"source"};
const FunctionDescription kBfsDescription{"GpuGraph", "bfs", kBfsParameters, 1};
constexpr std::array<std::string_view, 2> kBfsTreeParameters = {"source", "depth_limit"};
const FunctionDescription kBfsTreeDescription{"GpuGraph", "bfs_tree", kBfsTreeParameters, 1};
constexpr std::array<std::string_view, 1> kKTrussParameters = {"k"};
const FunctionDescription kKTrussDescription{"GpuGraph", "k_truss", kKTrussParameters, 1};

constexpr float kDefaultDamping = 0.85f;
constexpr std::uint32_t kDefaultMaxIterations = 100;
constexpr float kDefaultTolerance = 1e-6f;

// Runs pending signal handlers between the steps of long operations, so that
// Ctrl-C ends them; a handler that raised leaves its exception set.
bool signal_raised() { return PyErr_CheckSignals() != 0; }

bool is_graph(PyObject* self) { return check_self(self, gpu_graph_type(), "GpuGraph"); }

PyRef triangle_result(const engine::TriangleCountResult& result) {
  return DictBuilder()
      .set("total_triangles", int_from_u64(result.total_triangles))
      .set("time_seconds", float_from_f64(result.time_seconds))
      .finish();
}

PyRef pagerank_result(const engine::PageRankResult& result) {
  return DictBuilder()
      .set("ranks", build_list(result.ranks, float_from_f32))
      .set("iterations", int_from_u32(result.iterations))
      .set("converged", bool_object(result.converged))
      .set("time_seconds", float_from_f64(result.time_seconds))
      .finish();
}

PyRef pagerank_directed_result(const engine::DirectedPageRankResult& result) {
  return DictBuilder()
      .set("ranks", build_list(result.ranks, float_from_f64))
      .set("iterations", int_from_u32(result.iterations))
      .set("converged", bool_object(result.converged))
      .set("time_seconds", float_from_f64(result.time_seconds))
      .finish();
}

// Distances and the depth reach Python as signed 32-bit values, so an
// unreached node reads -1.
PyRef bfs_result(const engine::BfsResult& result) {
  auto as_signed = [](std::uint32_t value) {
    return int_from_i32(static_cast<std::int32_t>(value));
  };
  return DictBuilder()
      .set("distances", build_list(result.distances, as_signed))
      .set("reachable", int_from_u32(result.reachable))
      .set("max_depth", as_signed(result.max_depth))
      .set("time_seconds", float_from_f64(result.time_seconds))
      .finish();
}

PyRef bfs_tree_result(const engine::BfsTreeResult& result) {
  auto as_signed = [](std::uint32_t value) {
    return int_from_i32(static_cast<std::int32_t>(value));
  };
  return DictBuilder()
      .set("order", build_list(result.order, int_from_u32))
      .set("parents", build_list(result.parents, as_signed))
      .set("depths", build_list(result.depths, as_signed))
      .set("max_depth", int_from_u32(result.max_depth))
      .set("time_seconds", float_from_f64(result.time_seconds))
      .finish();
}

PyRef k_truss_result(const engine::KTrussResult& result) {
  auto as_tuple = [](const std::pair<std::uint32_t, std::uint32_t>& edge) {
    return pair_tuple(int_from_u32(edge.first), int_from_u32(edge.second));
  };
  return DictBuilder()
      .set("edges", build_list(result.edges, as_tuple))
      .set("k", int_from_u32(result.k))
      .set("iterations", int_from_u32(result.iterations))
      .set("time_seconds", float_from_f64(result.time_seconds))
      .finish();
}

PyRef components_result(const engine::ComponentsResult& result) {
  return DictBuilder()
      .set("labels", build_list(result.labels, int_from_u32))
      .set("num_components", int_from_u32(result.num_components))
      .set("rounds", int_from_u32(result.rounds))
      .set("time_seconds", float_from_f64(result.time_seconds))
      .finish();
}

PyRef node_triangles_result(const engine::NodeTrianglesResult& result) {
  return DictBuilder()
      .set("triangles", build_list(result.triangles, int_from_u64))
      .set("total_triangles", int_from_u64(result.total_triangles))
      .set("time_seconds", float_from_f64(result.time_seconds))
      .finish();
}

PyRef core_number_result(const engine::CoreNumberResult& result) {
  return DictBuilder()
      .set("core", build_list(result.core, int_from_u32))
      .set("max_core", int_from_u32(result.max_core))
      .set("rounds", int_from_u32(result.rounds))
      .set("time_seconds", float_from_f64(result.time_seconds))
      .finish();
}

// Runs an engine operation and turns its outcome into the method's result.
template <class Result, class Build>
PyObject* finish(engine::GpuResult<Result> outcome, Build build) {
  if (!outcome) return raise_gpu_error(outcome.error());
  return build(*outcome).release();
}

// The pagerank method's binding and conversions, on the kernels `choice` names.
PyObject* run_pagerank(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                       engine::KernelChoice choice) {
  return guard([&]() -> PyObject* {
    std::array<PyObject*, 3> slots{};
    if (!bind_vectorcall(kPageRankDescription, args, nargs, kwnames, slots)) return nullptr;
    if (!is_graph(self)) return nullptr;
    const auto damping = convert_or_default(slots[0], kDefaultDamping, convert_f32, "damping");
    if (!damping) return nullptr;
    const auto max_iterations =
        convert_or_default(slots[1], kDefaultMaxIterations, convert_u32, "max_iterations");
    if (!max_iterations) return nullptr;
    const auto tolerance =
        convert_or_default(slots[2], kDefaultTolerance, convert_f32, "tolerance");
    if (!tolerance) return nullptr;
    return finish(engine::pagerank(graph_of(self), *damping, *max_iterations, *tolerance,
                                   signal_raised, choice),
                  pagerank_result);
  });
}

}  // namespace

PyObject* graph_triangle_count(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    if (!is_graph(self)) return nullptr;
    return finish(engine::count_triangles(graph_of(self)), triangle_result);
  });
}

PyObject* graph_pagerank(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return run_pagerank(self, args, nargs, kwnames, engine::KernelChoice::automatic);
}

PyObject* graph_pagerank_directed(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    std::array<PyObject*, 7> slots{};
    if (!bind_vectorcall(kPageRankDirectedDescription, args, nargs, kwnames, slots)) return nullptr;
    if (!is_graph(self)) return nullptr;
    engine::DirectedPageRankOptions options;
    const auto alpha = convert_or_default(slots[0], options.alpha, convert_f64, "alpha");
    if (!alpha) return nullptr;
    const auto max_iterations =
        convert_or_default(slots[1], options.max_iterations, convert_u32, "max_iterations");
    if (!max_iterations) return nullptr;
    const auto tolerance =
        convert_or_default(slots[2], options.tolerance, convert_f64, "tolerance");
    if (!tolerance) return nullptr;
    std::array<std::vector<double>, 4> arrays;
    for (std::size_t i = 0; i < arrays.size(); ++i) {
      auto values = convert_f64_array(slots[3 + i], kPageRankDirectedParameters[3 + i]);
      if (!values) return nullptr;
      arrays[i] = std::move(*values);
    }
    options.alpha = *alpha;
    options.max_iterations = *max_iterations;
    options.tolerance = *tolerance;
    options.weights = arrays[0];
    options.personalization = arrays[1];
    options.dangling = arrays[2];
    options.start = arrays[3];
    return finish(engine::pagerank_directed(graph_of(self), options, signal_raised),
                  pagerank_directed_result);
  });
}

PyObject* graph_bfs(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    std::array<PyObject*, 1> slots{};
    if (!bind_vectorcall(kBfsDescription, args, nargs, kwnames, slots)) return nullptr;
    if (!is_graph(self)) return nullptr;
    const auto source = convert_u32(slots[0], "source");
    if (!source) return nullptr;
    return finish(engine::breadth_first_search(graph_of(self), *source, signal_raised), bfs_result);
  });
}

PyObject* graph_bfs_tree(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    std::array<PyObject*, 2> slots{};
    if (!bind_vectorcall(kBfsTreeDescription, args, nargs, kwnames, slots)) return nullptr;
    if (!is_graph(self)) return nullptr;
    const auto source = convert_u32(slots[0], "source");
    if (!source) return nullptr;
    std::uint32_t depth_limit = engine::kNoDepthLimit;
    if (slots[1] != nullptr && slots[1] != Py_None) {
      const auto limit = convert_u32(slots[1], "depth_limit");
      if (!limit) return nullptr;
      depth_limit = *limit;
    }
    return finish(engine::bfs_tree(graph_of(self), *source, depth_limit, signal_raised),
                  bfs_tree_result);
  });
}

PyObject* graph_k_truss(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    std::array<PyObject*, 1> slots{};
    if (!bind_vectorcall(kKTrussDescription, args, nargs, kwnames, slots)) return nullptr;
    if (!is_graph(self)) return nullptr;
    const auto k = convert_u32(slots[0], "k");
    if (!k) return nullptr;
    return finish(engine::k_truss(graph_of(self), *k, signal_raised), k_truss_result);
  });
}

PyObject* graph_connected_components(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    if (!is_graph(self)) return nullptr;
    return finish(engine::connected_components(graph_of(self), signal_raised), components_result);
  });
}

PyObject* graph_triangles_per_node(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    if (!is_graph(self)) return nullptr;
    return finish(engine::triangles_per_node(graph_of(self)), node_triangles_result);
  });
}

PyObject* graph_core_number(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    if (!is_graph(self)) return nullptr;
    return finish(engine::core_number(graph_of(self), signal_raised), core_number_result);
  });
}

// Today's node-parallel kernels on any graph, for tests and benchmarks that
// compare them with the kernels the graph's shape selects; not part of the
// documented interface.
PyObject* graph_node_kernels_triangle_count(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    if (!is_graph(self)) return nullptr;
    return finish(engine::count_triangles(graph_of(self), engine::KernelChoice::node_kernels),
                  triangle_result);
  });
}

// The kept transpose as (in_offsets, in_sources, in_edges), for tests that
// compare it with another transposition; not part of the documented interface.
PyObject* graph_transposed(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    if (!is_graph(self)) return nullptr;
    return finish(
        engine::download_transpose(graph_of(self)), [](const engine::TransposedLists& lists) {
          PyRef triple = created_or_fault(PyTuple_New(3));
          PyTuple_SET_ITEM(triple.get(), 0, build_list(lists.in_offsets, int_from_u32).release());
          PyTuple_SET_ITEM(triple.get(), 1, build_list(lists.in_sources, int_from_u32).release());
          PyTuple_SET_ITEM(triple.get(), 2, build_list(lists.in_edges, int_from_u32).release());
          return triple;
        });
  });
}

PyObject* graph_node_kernels_k_truss(PyObject* self, PyObject* k_object) {
  return guard([&]() -> PyObject* {
    if (!is_graph(self)) return nullptr;
    const auto k = convert_u32(k_object, "k");
    if (!k) return nullptr;
    return finish(
        engine::k_truss(graph_of(self), *k, signal_raised, engine::KernelChoice::node_kernels),
        k_truss_result);
  });
}

PyObject* graph_node_kernels_pagerank(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
  return run_pagerank(self, args, nargs, kwnames, engine::KernelChoice::node_kernels);
}

PyObject* graph_node_kernels_bfs(PyObject* self, PyObject* source_object) {
  return guard([&]() -> PyObject* {
    if (!is_graph(self)) return nullptr;
    const auto source = convert_u32(source_object, "source");
    if (!source) return nullptr;
    return finish(engine::breadth_first_search(graph_of(self), *source, signal_raised,
                                               engine::KernelChoice::node_kernels),
                  bfs_result);
  });
}

}  // namespace vorlan::python
