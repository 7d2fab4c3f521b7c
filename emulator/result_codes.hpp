// Result codes the software GPU returns beyond those the driver layer names.
#pragma once

#include "driver/cuda_api.hpp"

namespace vorlan::emu {

using namespace vorlan::cuda;

inline constexpr CUresult CUDA_ERROR_INVALID_IMAGE = 200;
inline constexpr CUresult CUDA_ERROR_NOT_SUPPORTED = 801;

}  // namespace vorlan::emu
