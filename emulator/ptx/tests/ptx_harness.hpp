// Test support: a GlobalMemory over host vectors, parameter packing for test
// launches, and the ptxas cross-check that keeps every snippet valid PTX.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ptx/kernel_runner.hpp"

namespace vorlan::emu::testing {

inline constexpr CUresult kSuccess = vorlan::cuda::CUDA_SUCCESS;
inline constexpr CUresult kIllegalAddress = vorlan::cuda::CUDA_ERROR_ILLEGAL_ADDRESS;
inline constexpr CUresult kMisaligned = vorlan::cuda::CUDA_ERROR_MISALIGNED_ADDRESS;
inline constexpr CUresult kTimeout = vorlan::cuda::CUDA_ERROR_LAUNCH_TIMEOUT;
inline constexpr CUresult kInvalidPtx = vorlan::cuda::CUDA_ERROR_INVALID_PTX;
inline constexpr CUresult kInvalidValue = vorlan::cuda::CUDA_ERROR_INVALID_VALUE;
inline constexpr CUresult kLaunchFailed = vorlan::cuda::CUDA_ERROR_LAUNCH_FAILED;

// Device memory for tests: each allocation gets its own address range with an
// unmapped gap after it, so that running off its end is an illegal access.
class HostMemory final : public GlobalMemory {
 public:
  std::uint64_t allocate(std::size_t bytes);
  const MemorySpan* find(std::uint64_t address) const override;

  template <class T>
  std::uint64_t upload(const std::vector<T>& values) {
    const std::uint64_t address = allocate(values.size() * sizeof(T));
    std::memcpy(host(address), values.data(), values.size() * sizeof(T));
    return address;
  }
  template <class T>
  std::vector<T> download(std::uint64_t address, std::size_t count) const {
    std::vector<T> values(count);
    std::memcpy(values.data(), host(address), count * sizeof(T));
    return values;
  }
  template <class T>
  T read(std::uint64_t address) const {
    return download<T>(address, 1)[0];
  }

 private:
  std::byte* host(std::uint64_t address) const;

  struct Allocation {
    std::unique_ptr<std::byte[]> bytes;
    MemorySpan span;
  };
  std::map<std::uint64_t, Allocation> allocations_;
  std::uint64_t next_ = 0x1'0000'0000ull;
};

// The kernel arguments of one launch, in declaration order.
class Args {
 public:
  template <class T>
  Args& add(T value) {
    auto& slot = storage_.emplace_back(sizeof(T));
    std::memcpy(slot.data(), &value, sizeof(T));
    return *this;
  }
  std::vector<void*> pointers();

 private:
  std::vector<std::vector<std::byte>> storage_;
};

struct Config {
  Dim3 grid{1, 1, 1};
  Dim3 block{32, 1, 1};
  std::uint32_t dynamic_shared = 0;
  std::uint64_t budget = 0;
  std::uint64_t seed = 0;
  bool trace = false;
  bool check =
      true;  // hazard checks (global memory here has no shadow: shared memory and collectives only)
};

// Compiles a snippet that must be valid: ptxas (when on PATH) must accept it
// and so must the engine. Fails the current test otherwise.
std::shared_ptr<const Program> compile_valid(std::string_view ptx);

// Asserts that ptxas accepts `ptx`; does nothing when ptxas is not installed.
void expect_ptxas_accepts(std::string_view ptx);

// Asserts that ptxas refuses `ptx`; does nothing when ptxas is not installed.
void expect_ptxas_refuses(std::string_view ptx);

// The engine's verdict on a snippet that is meant to be refused.
CUresult refusal_code(std::string_view ptx);

// Launches `kernel` of `program` with `args`.
CUresult launch(const Program& program, std::string_view kernel, HostMemory& memory, Args args,
                const Config& config);

// A module around one entry: the header, then `entry` verbatim.
std::string module(std::string_view entry);

}  // namespace vorlan::emu::testing
