#include "launch.hpp"

#include <format>

#include "launch_limits.hpp"

namespace vorlan::emu {
namespace {

std::uint32_t component(const Dim3& dims, int axis) {
  return axis == 0 ? dims.x : axis == 1 ? dims.y : dims.z;
}

std::optional<std::string> dims_problem(const Dim3& dims, const std::uint32_t (&limits)[3],
                                        std::string_view what) {
  for (int axis = 0; axis < 3; ++axis) {
    std::uint32_t value = component(dims, axis);
    if (value == 0 || value > limits[axis]) {
      return std::format("{} {}x{}x{}: each dimension must be 1 to {}x{}x{}", what, dims.x, dims.y,
                         dims.z, limits[0], limits[1], limits[2]);
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> shape_problem(const LaunchShape& shape, const Kernel& kernel) {
  if (auto problem = dims_problem(shape.grid, kMaxGridDim, "grid")) return problem;
  if (auto problem = dims_problem(shape.block, kMaxBlockDim, "block")) return problem;
  std::uint64_t threads = std::uint64_t{shape.block.x} * shape.block.y * shape.block.z;
  if (threads > kMaxThreadsPerBlock) {
    return std::format("{} threads per block, at most {}", threads, kMaxThreadsPerBlock);
  }
  std::uint64_t shared = std::uint64_t{kernel.static_shared_bytes()} + shape.dynamic_shared_bytes;
  if (shared > kMaxSharedBytesPerBlock) {
    return std::format("{} bytes of shared memory per block ({} static), at most {}", shared,
                       kernel.static_shared_bytes(), kMaxSharedBytesPerBlock);
  }
  return std::nullopt;
}

std::optional<std::string> parameter_problem(const Kernel& kernel, void** kernel_params) {
  std::size_t count = kernel.params().size();
  if (count == 0) return std::nullopt;
  if (kernel_params == nullptr) return std::format("kernelParams is null, the kernel takes {}", count);
  for (std::size_t i = 0; i < count; ++i) {
    if (kernel_params[i] == nullptr) return std::format("kernelParams[{}] is null", i);
  }
  return std::nullopt;
}

CUresult run_kernel(const Kernel& kernel, const LaunchShape& shape, void** kernel_params,
                    const EmuConfig& config, GlobalMemory& memory) {
  std::vector<std::byte> params = pack_params(kernel, kernel_params);
  LaunchRequest request{
      .kernel = &kernel,
      .grid = shape.grid,
      .block = shape.block,
      .dynamic_shared_bytes = shape.dynamic_shared_bytes,
      .params = params,
      .instruction_budget = config.instruction_budget,
      .schedule_seed = config.schedule_seed,
      .trace = config.trace,
      .check = config.check,
      .profile = config.profile,
  };
  return execute(request, memory);
}

}  // namespace vorlan::emu
