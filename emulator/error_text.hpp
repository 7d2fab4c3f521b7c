// The driver's descriptions of its result codes, as cuGetErrorString gives them.
#pragma once

#include "driver/cuda_api.hpp"

namespace vorlan::emu {

// The description of `code`, or nullptr for a code the driver API of this
// library's version does not define.
const char* error_text(CUresult code);

}  // namespace vorlan::emu
