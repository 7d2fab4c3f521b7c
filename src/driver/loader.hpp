// Finding and binding the CUDA driver library at run time. The module never
// links against the driver: the first caller of driver_api() searches the
// library under its known file names, resolves every entry point it calls and
// keeps the table for the life of the process.
#pragma once

#include <string>
#include <vector>

#include "driver/cuda_api.hpp"

namespace vorlan::driver {

// One function pointer per entry point, named as the driver exports it.
struct DriverApi {
#define VORLAN_DECLARE_ENTRY_POINT(name, params) CUresult(*name) params = nullptr;
  VORLAN_DRIVER_ENTRY_POINTS(VORLAN_DECLARE_ENTRY_POINT)
#undef VORLAN_DECLARE_ENTRY_POINT
  void* library = nullptr;
};

// The process-wide table, loaded on first use. A failed load throws
// vorlan::Fault (no library found, or one that lacks an entry point) and leaves
// nothing cached, so the next call searches again.
const DriverApi& driver_api();

// The 34 file names searched, in order (duplicates included).
std::vector<std::string> candidate_library_names();

}  // namespace vorlan::driver
