// Checking a launch the way the hardware does before it accepts one, and
// running an accepted launch on the PTX engine.
#pragma once

#include <optional>
#include <span>
#include <string>

#include "emu_config.hpp"
#include "ptx/kernel_runner.hpp"

namespace vorlan::emu {

struct LaunchShape {
  Dim3 grid;
  Dim3 block;
  std::uint32_t dynamic_shared_bytes = 0;
};

// Why `kernel_params` cannot supply the kernel's parameters, if it cannot.
std::optional<std::string> parameter_problem(const Kernel& kernel, void** kernel_params);

// The engine's request for launching `kernel` with `shape` on its packed
// parameter image, under the software GPU's settings. The engine's
// launch_problem says whether the device would take it; run_accepted runs it.
LaunchRequest launch_request(const Kernel& kernel, const LaunchShape& shape,
                             std::span<const std::byte> params, const EmuConfig& config);

}  // namespace vorlan::emu
