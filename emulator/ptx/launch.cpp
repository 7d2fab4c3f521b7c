// The engine's entry point for one kernel launch: checks the launch
// configuration the way the driver would, then hands the grid to the runner.
#include <cstdio>
#include <format>

#include "launch_limits.hpp"
#include "ptx/kernel_image.hpp"
#include "ptx/launch_runner.hpp"
#include "ptx/verbose.hpp"

namespace vorlan::emu {
namespace {

using vorlan::cuda::CUDA_ERROR_INVALID_VALUE;
using vorlan::cuda::CUDA_SUCCESS;

std::uint32_t component(const Dim3& dims, int axis) {
  return axis == 0 ? dims.x : axis == 1 ? dims.y : dims.z;
}

std::optional<std::string> dims_problem(const Dim3& dims, const std::uint32_t (&limits)[3],
                                        std::string_view what) {
  for (int axis = 0; axis < 3; ++axis) {
    const std::uint32_t value = component(dims, axis);
    if (value == 0 || value > limits[axis]) {
      return std::format("{} {}x{}x{}: each dimension must be 1 to {}x{}x{}", what, dims.x, dims.y,
                         dims.z, limits[0], limits[1], limits[2]);
    }
  }
  return std::nullopt;
}

bool within_limits(const ptx::ThreadLimit& max, const ptx::ThreadLimit& required,
                   const Dim3& block) {
  const std::uint64_t threads = std::uint64_t{block.x} * block.y * block.z;
  if (max.present && threads > std::uint64_t{max.x} * max.y * max.z) return false;
  if (required.present && (block.x != required.x || block.y != required.y || block.z != required.z))
    return false;
  return true;
}

}  // namespace

std::optional<std::string> launch_problem(const LaunchRequest& request) {
  const auto* kernel = dynamic_cast<const ptx::KernelImage*>(request.kernel);
  if (kernel == nullptr) return "no kernel";
  const std::uint64_t shared = kernel->block_shared_bytes(request.dynamic_shared_bytes);
  if (auto problem = launch_shape_problem(request.grid, request.block, shared)) return problem;
  if (!within_limits(kernel->max_threads_, kernel->required_threads_, request.block)) {
    return "block size outside the kernel's .maxntid/.reqntid";
  }
  if (request.params.size() != kernel->param_bytes_) return "parameter image of the wrong size";
  return std::nullopt;
}

std::optional<std::string> launch_shape_problem(const Dim3& grid, const Dim3& block,
                                                std::uint64_t shared_bytes) {
  if (auto problem = dims_problem(grid, kMaxGridDim, "grid")) return problem;
  if (auto problem = dims_problem(block, kMaxBlockDim, "block")) return problem;
  const std::uint64_t threads = std::uint64_t{block.x} * block.y * block.z;
  if (threads > kMaxThreadsPerBlock) {
    return std::format("{} threads per block, at most {}", threads, kMaxThreadsPerBlock);
  }
  if (shared_bytes > kMaxSharedBytesPerBlock) {
    return std::format("{} bytes of shared memory per block, at most {}", shared_bytes,
                       kMaxSharedBytesPerBlock);
  }
  return std::nullopt;
}

CUresult run_accepted(const LaunchRequest& request, GlobalMemory& memory) {
  ptx::LaunchRunner runner(request, static_cast<const ptx::KernelImage&>(*request.kernel), memory);
  return runner.run();
}

CUresult execute(const LaunchRequest& request, GlobalMemory& memory) {
  if (auto problem = launch_problem(request)) {
    if (ptx::verbose()) std::fprintf(stderr, "vorlan emu: launch refused: %s\n", problem->c_str());
    return CUDA_ERROR_INVALID_VALUE;
  }
  return run_accepted(request, memory);
}

}  // namespace vorlan::emu
