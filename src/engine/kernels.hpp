// The PTX texts of the algorithms, built into the module from
// src/engine/kernels/*.ptx (not NUL-terminated).
#pragma once

#include <string_view>

namespace vorlan::kernels {

extern const std::string_view triangle_counting_ptx;
extern const std::string_view bfs_ptx;
extern const std::string_view pagerank_ptx;
extern const std::string_view k_truss_ptx;
extern const std::string_view triangle_counting_edges_ptx;
extern const std::string_view k_truss_peeling_ptx;
extern const std::string_view transpose_ptx;
extern const std::string_view pagerank_directed_ptx;
extern const std::string_view pagerank_gather_ptx;
extern const std::string_view bfs_levels_ptx;
extern const std::string_view connected_components_ptx;
extern const std::string_view triangles_per_node_ptx;
extern const std::string_view core_number_ptx;
extern const std::string_view scan_ptx;
extern const std::string_view bfs_tree_ptx;

}  // namespace vorlan::kernels
