// The engine's entry point for one kernel launch: checks the launch
// configuration the way the driver would, then hands the grid to the runner.
#include <cstdio>

#include "ptx/kernel_image.hpp"
#include "ptx/launch_runner.hpp"
#include "ptx/verbose.hpp"

namespace vorlan::emu {
namespace {

using vorlan::cuda::CUDA_ERROR_INVALID_VALUE;
using vorlan::cuda::CUDA_SUCCESS;

constexpr std::uint64_t kMaxSharedPerBlock = 48 * 1024;

bool block_fits(const Dim3& block) {
  if (block.x == 0 || block.y == 0 || block.z == 0) return false;
  if (block.x > 1024 || block.y > 1024 || block.z > 64) return false;
  return std::uint64_t{block.x} * block.y * block.z <= 1024;
}

bool grid_fits(const Dim3& grid) {
  return grid.x != 0 && grid.y != 0 && grid.z != 0 && grid.x <= 0x7FFFFFFFu && grid.y <= 65535 && grid.z <= 65535;
}

bool within_limits(const ptx::ThreadLimit& max, const ptx::ThreadLimit& required, const Dim3& block) {
  const std::uint64_t threads = std::uint64_t{block.x} * block.y * block.z;
  if (max.present && threads > std::uint64_t{max.x} * max.y * max.z) return false;
  if (required.present && (block.x != required.x || block.y != required.y || block.z != required.z)) return false;
  return true;
}

CUresult refuse(const char* reason) {
  if (ptx::verbose()) std::fprintf(stderr, "vorlan emu: launch refused: %s\n", reason);
  return CUDA_ERROR_INVALID_VALUE;
}

CUresult validate(const LaunchRequest& request, const ptx::KernelImage& kernel) {
  if (!block_fits(request.block)) return refuse("block dimensions out of range");
  if (!grid_fits(request.grid)) return refuse("grid dimensions out of range");
  if (!within_limits(kernel.max_threads_, kernel.required_threads_, request.block)) {
    return refuse("block size outside the kernel's .maxntid/.reqntid");
  }
  if (request.params.size() != kernel.param_bytes_) return refuse("parameter image of the wrong size");
  const std::uint64_t shared = std::uint64_t{kernel.dynamic_shared_offset_} + request.dynamic_shared_bytes;
  if (shared > kMaxSharedPerBlock || kernel.static_shared_ > kMaxSharedPerBlock) return refuse("more than 48 KiB of shared memory");
  return CUDA_SUCCESS;
}

}  // namespace

CUresult execute(const LaunchRequest& request, GlobalMemory& memory) {
  const auto* kernel = dynamic_cast<const ptx::KernelImage*>(request.kernel);
  if (kernel == nullptr) return refuse("no kernel");
  if (const CUresult code = validate(request, *kernel); code != CUDA_SUCCESS) return code;
  ptx::LaunchRunner runner(request, *kernel, memory);
  return runner.run();
}

}  // namespace vorlan::emu
