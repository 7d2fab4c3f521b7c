#include "launch.hpp"

#include <format>

namespace vorlan::emu {

std::optional<std::string> shape_problem(const LaunchShape& shape, const Kernel& kernel) {
  return launch_shape_problem(
      shape.grid, shape.block,
      std::uint64_t{kernel.static_shared_bytes()} + shape.dynamic_shared_bytes);
}

std::optional<std::string> parameter_problem(const Kernel& kernel, void** kernel_params) {
  std::size_t count = kernel.params().size();
  if (count == 0) return std::nullopt;
  if (kernel_params == nullptr)
    return std::format("kernelParams is null, the kernel takes {}", count);
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
