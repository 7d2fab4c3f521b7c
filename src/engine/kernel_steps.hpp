// Steps every algorithm's host loop is made of: the clock, launch sizes, and
// launches and synchronisations whose failures become kernel errors naming
// the step.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "driver/launch.hpp"
#include "engine/error.hpp"
#include "engine/module_cache.hpp"

namespace vorlan::engine {

inline constexpr std::uint32_t kThreadsPerBlock = 256;

// ceil(n / 256), in the kernels' unsigned 32-bit arithmetic.
constexpr std::uint32_t blocks_for(std::uint32_t n) {
  return (n >> 8) + ((n & 0xFFu) != 0 ? 1 : 0);
}

// Blocks for one thread per element, capped at 2^24 - 1 so that the grid's
// thread count fits in 32 bits; kernels launched with it stride over the
// rest. The cap only binds past 2^32 - 256 elements.
constexpr std::uint32_t grid_blocks(std::uint32_t n) {
  constexpr std::uint32_t kMaxBlocks = (std::uint32_t{1} << 24) - 1;
  const std::uint32_t blocks = blocks_for(n);
  return blocks < kMaxBlocks ? blocks : kMaxBlocks;
}

// Blocks for a kernel that deals n entries out across its blocks (thread t
// of block b takes entry t * B + b) and has a block walk its entries' long
// lists one after another: past one block, 64 entries a block (two a
// warp), so that the hubs of a frontier rarely share a block. A single block
// stays single (kernels may finish a narrow frontier's work inside it). At
// most 2^24 blocks, so that t * B + b stays below 2^32.
constexpr std::uint32_t dealt_blocks(std::uint32_t n) {
  const std::uint32_t blocks = blocks_for(n);
  if (blocks <= 1) return blocks;
  const std::uint32_t spread = (n >> 6) + ((n & 63u) != 0 ? 1 : 0);
  const std::uint32_t cap = std::uint32_t{1} << 24;
  return std::max(blocks, spread < cap ? spread : cap);
}

// The interval an algorithm reports as "time_seconds".
class Stopwatch {
 public:
  Stopwatch() : start_(std::chrono::steady_clock::now()) {}
  double elapsed_seconds() const {
    const auto elapsed = std::chrono::steady_clock::now() - start_;
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(elapsed);
    const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed - seconds);
    return static_cast<double>(seconds.count()) + static_cast<double>(nanos.count()) / 1e9;
  }

 private:
  std::chrono::steady_clock::time_point start_;
};

// The algorithm's kernels from the module cache. A failure an earlier teardown
// left on the context is this call's driver error and is taken first: it says
// nothing about the module, which would otherwise fail to load because of it.
inline GpuResult<KernelSet> kernels_step(ModuleSlot& slot, const driver::DeviceStream& stream,
                                         std::string_view ptx,
                                         std::span<const std::string_view> names) {
  if (CUresult pending = stream.context().take_deferred()) {
    return std::unexpected(GpuError(driver::DriverError(pending)));
  }
  return lift(get_kernels(slot, stream.shared_context(), ptx, names));
}

// Between iterations, levels and rounds: stops the operation when the caller's
// poll says so. Returning the error unwinds the loop, which releases every
// buffer the call holds.
inline GpuResult<> interrupt_step(InterruptPoll poll) {
  if (poll != nullptr && poll()) return std::unexpected(GpuError(GpuError::Interrupted{}));
  return {};
}

// The most blocks launch_step gives a grid; 0 (always, outside tests) for
// no limit. Tests lower it so that every kernel strides over more elements
// than its grid has threads on graphs small enough for the software GPU;
// only kernels that stride may run under it.
inline std::atomic<std::uint32_t> grid_cap_for_tests{0};

// Issues the launch; a refusal becomes the kernel error "STEP: <driver error>".
// A grid of no blocks has no threads to run, so nothing is issued for it.
inline GpuResult<> launch_step(driver::KernelLaunch& launch, std::uint32_t blocks,
                               std::string_view step, std::uint32_t shared_bytes = 0) {
  if (blocks == 0) return {};
  if (const std::uint32_t cap = grid_cap_for_tests.load(std::memory_order_relaxed); cap != 0) {
    blocks = std::min(blocks, cap);
  }
  auto launched = launch.launch(driver::linear_launch(blocks, kThreadsPerBlock, shared_bytes));
  if (!launched) {
    return std::unexpected(
        GpuError::kernel(std::string(step) + ": " + driver::to_string(launched.error())));
  }
  return {};
}

// Waits for the stream; a failure (often a fault inside a kernel) becomes the
// kernel error "synchronize failed: <driver error>".
inline GpuResult<> synchronize_step(const driver::DeviceStream& stream) {
  if (auto r = driver::synchronize(stream); !r) {
    return std::unexpected(GpuError::kernel("synchronize failed: " + driver::to_string(r.error())));
  }
  return {};
}

// Uploads `host` as a new buffer, failures as driver errors.
template <class T>
GpuResult<driver::DeviceBuffer<T>> upload_step(const driver::SharedStream& stream,
                                               std::span<const T> host) {
  return lift(driver::upload(stream, host));
}

template <class T>
GpuResult<> copy_step(const driver::DeviceStream& stream, std::span<const T> host,
                      driver::DeviceBuffer<T>& destination) {
  return lift(driver::copy_to_device(stream, host, destination));
}

template <class T>
GpuResult<std::vector<T>> download_step(const driver::DeviceStream& stream,
                                        const driver::DeviceBuffer<T>& source) {
  return lift(driver::download(stream, source));
}

// Sets every element of an existing buffer to `value`, on the device and in
// the stream's order, failures as driver errors.
template <class T>
GpuResult<> fill_step(const driver::DeviceStream& stream, driver::DeviceBuffer<T>& buffer,
                      T value) {
  return lift(driver::fill(stream, buffer, value));
}

// A new buffer of n copies of `value`, filled on the device.
template <class T>
GpuResult<driver::DeviceBuffer<T>> filled_buffer(const driver::SharedStream& stream,
                                                 std::uint32_t n, T value) {
  auto buffer = lift(driver::allocate<T>(stream, n));
  if (!buffer) return buffer;
  if (auto r = fill_step(*stream, *buffer, value); !r) return std::unexpected(r.error());
  return buffer;
}

// Reads back element `index` of a buffer, and nothing else of it.
template <class T>
GpuResult<T> read_element(const driver::DeviceStream& stream, const driver::DeviceBuffer<T>& source,
                          std::uint64_t index) {
  return lift(driver::download_element(stream, source, index));
}

// Reads back the single element of a one-element buffer.
template <class T>
GpuResult<T> read_scalar(const driver::DeviceStream& stream,
                         const driver::DeviceBuffer<T>& source) {
  return read_element(stream, source, 0);
}

}  // namespace vorlan::engine
