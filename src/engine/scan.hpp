// Exclusive prefix sums of 32-bit counts on the device: how the engine turns
// per-node counts into offsets (and flags into slots) without a round trip
// through the host.
#pragma once

#include <cstdint>

#include "driver/memory.hpp"
#include "engine/error.hpp"

namespace vorlan::engine {

// Issues, on `stream` and in its order, the launches that set sums[i] to
// values[0] + ... + values[i - 1] for every i <= n (so sums[n] is the total,
// modulo 2^32). `values` holds at least n words and `sums` at least n + 1;
// they may be the same buffer. Nothing is waited for: the caller synchronises
// or reads the result back as it needs. Failures to launch become kernel
// errors naming the step.
GpuResult<> exclusive_scan_step(const driver::SharedStream& stream,
                                const driver::DeviceBuffer<std::uint32_t>& values,
                                driver::DeviceBuffer<std::uint32_t>& sums, std::uint32_t n);

}  // namespace vorlan::engine
