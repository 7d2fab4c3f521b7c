// Renders decoded instructions back as PTX text, for traces and fault reports.
#pragma once

#include <cstddef>
#include <string>

#include "ptx/kernel_image.hpp"

namespace vorlan::emu::ptx {

std::string disassemble(const KernelImage& kernel, std::size_t pc);

}  // namespace vorlan::emu::ptx
