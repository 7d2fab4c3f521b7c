// Checking a launch the way the hardware does before it accepts one, and
// running an accepted launch on the PTX engine.
#pragma once

#include <optional>
#include <string>

#include "emu_config.hpp"
#include "ptx/kernel_runner.hpp"

namespace vorlan::emu {

struct LaunchShape {
  Dim3 grid;
  Dim3 block;
  std::uint32_t dynamic_shared_bytes = 0;
};

// Why the device would refuse to launch `kernel` with `shape`, if it would.
std::optional<std::string> shape_problem(const LaunchShape& shape, const Kernel& kernel);

// Why `kernel_params` cannot supply the kernel's parameters, if it cannot.
std::optional<std::string> parameter_problem(const Kernel& kernel, void** kernel_params);

// Runs the whole grid now; CUDA_SUCCESS or the fault that stopped it.
CUresult run_kernel(const Kernel& kernel, const LaunchShape& shape, void** kernel_params,
                    const EmuConfig& config, GlobalMemory& memory);

}  // namespace vorlan::emu
