// The shape of the device the software GPU imitates (compute capability 7.0):
// what a launch may ask for, and what the device reports about itself. One
// table, so that queries and launch checks never disagree.
#pragma once

#include <cstdint>

namespace vorlan::emu {

inline constexpr std::uint32_t kMaxThreadsPerBlock = 1024;
inline constexpr std::uint32_t kMaxBlockDim[3] = {1024, 1024, 64};
inline constexpr std::uint32_t kMaxGridDim[3] = {2147483647u, 65535, 65535};
inline constexpr std::uint32_t kMaxSharedBytesPerBlock = 48 * 1024;
inline constexpr std::uint32_t kWarpSize = 32;
inline constexpr int kComputeMajor = 7;
inline constexpr int kComputeMinor = 0;
// The driver API version this library implements: 12.6.
inline constexpr int kDriverVersion = 12060;

}  // namespace vorlan::emu
