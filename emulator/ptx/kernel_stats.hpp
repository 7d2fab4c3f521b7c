// How the runner hands its counts and hazard reports to the process-wide
// record that kernel_runner.hpp's readers see.
#pragma once

#include <string>
#include <string_view>

#include "ptx/kernel_runner.hpp"
#include "ptx/launch_counts.hpp"

namespace vorlan::emu {

void record_launch(std::string_view kernel, const ptx::LaunchCounts& counts, bool profile);
void record_check(std::string report);

}  // namespace vorlan::emu
