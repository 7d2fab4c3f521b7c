#include "launch.hpp"

#include <format>

namespace vorlan::emu {

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

LaunchRequest launch_request(const Kernel& kernel, const LaunchShape& shape,
                             std::span<const std::byte> params, const EmuConfig& config) {
  return LaunchRequest{
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
}

}  // namespace vorlan::emu
