// The seam between the software GPU's driver entry points and its PTX engine.
// The driver side owns devices, contexts, memory and error state; the PTX engine
// turns module text into decoded kernels and runs one launch at a time against
// the memory the driver side exposes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "driver/cuda_api.hpp"

namespace vorlan::emu {

// Why a module text was refused: CUDA_ERROR_INVALID_PTX or
// CUDA_ERROR_UNSUPPORTED_PTX_VERSION, with the 1-based line and a reason.
struct PtxError {
  CUresult code;
  int line;
  std::string reason;
};

struct ParamLayout {
  std::uint32_t offset;  // byte offset in the kernel's parameter space
  std::uint32_t size;    // bytes
};

class Kernel {
 public:
  virtual ~Kernel() = default;
  virtual std::string_view name() const = 0;
  virtual std::span<const ParamLayout> params() const = 0;
  virtual std::uint32_t param_space_bytes() const = 0;
  virtual std::uint32_t static_shared_bytes() const = 0;
  // The shared memory one block of a launch with `dynamic` bytes of dynamic
  // shared memory holds: the one figure the launch checks and the runner use.
  virtual std::uint64_t block_shared_bytes(std::uint32_t dynamic) const = 0;
};

// One parsed and decoded module; immutable and safe to share.
class Program {
 public:
  virtual ~Program() = default;
  virtual const Kernel* find_kernel(std::string_view name) const = 0;
};

std::expected<std::shared_ptr<const Program>, PtxError> compile_ptx(std::string_view text);

// One live device allocation as the PTX engine sees it.
class MemoryShadow;

struct MemorySpan {
  std::uint64_t base;              // device address of the first byte
  std::uint64_t size;              // bytes
  std::byte* host;                 // where those bytes live in this process
  MemoryShadow* shadow = nullptr;  // what the hazard checks know of it; null: not checked
};

class GlobalMemory {
 public:
  virtual ~GlobalMemory() = default;
  // The live allocation containing `address`, or nullptr.
  virtual const MemorySpan* find(std::uint64_t address) const = 0;
};

struct Dim3 {
  std::uint32_t x = 1, y = 1, z = 1;
};

struct LaunchRequest {
  const Kernel* kernel = nullptr;
  Dim3 grid{};
  Dim3 block{};
  std::uint32_t dynamic_shared_bytes = 0;
  std::span<const std::byte> params;     // the parameter space image, param_space_bytes() long
  std::uint64_t instruction_budget = 0;  // per launch; 0 means unlimited
  std::uint64_t schedule_seed = 0;       // 0: deterministic block and warp order
  bool trace = false;                    // print each executed instruction to stderr
  bool check = true;                     // run the hazard checks
  bool profile = false;                  // print the cost counters at exit
};

// Why the device would refuse `grid` blocks of `block` threads using
// `shared_bytes` of shared memory per block, if it would; the limits are
// those of launch_limits.hpp.
std::optional<std::string> launch_shape_problem(const Dim3& grid, const Dim3& block,
                                                std::uint64_t shared_bytes);

// Why the device would refuse `request`, if it would: its shape against the
// device's limits (launch_shape_problem) and the kernel's .maxntid/.reqntid,
// its parameter image's size, a kernel that is not one of this engine's.
std::optional<std::string> launch_problem(const LaunchRequest& request);

// Runs the whole grid of a launch launch_problem accepted, to completion.
// Returns CUDA_SUCCESS, or the fault that stopped it:
// CUDA_ERROR_ILLEGAL_ADDRESS, CUDA_ERROR_MISALIGNED_ADDRESS,
// CUDA_ERROR_LAUNCH_TIMEOUT (budget spent), or another launch failure code.
CUresult run_accepted(const LaunchRequest& request, GlobalMemory& memory);

// launch_problem, then run_accepted: CUDA_ERROR_INVALID_VALUE for a launch
// the device would refuse.
CUresult execute(const LaunchRequest& request, GlobalMemory& memory);

// A hazard check failing stops the launch with CUDA_ERROR_LAUNCH_FAILED and
// leaves its report here: the hazard, kernel, instruction, address and
// threads. Empty when none failed since the last clear.
std::string last_check_report();
void clear_last_check();

// Cost counters of one kernel name, summed over its launches since the last
// reset (see launch_counts.hpp for how warp-level figures are formed).
struct KernelStats {
  std::uint64_t launches = 0;
  std::uint64_t warp_instructions = 0;
  std::uint64_t thread_instructions = 0;  // executed by active lanes
  std::uint64_t global_sectors = 0;
  std::uint64_t shared_accesses = 0;
  std::uint64_t atomics = 0;
  std::uint64_t busiest_warp_instructions = 0;         // the largest of one warp in any launch
  std::uint64_t distinct_global_sectors = 0;           // each launch's distinct sectors, summed
  std::uint64_t summed_busiest_warp_instructions = 0;  // each launch's busiest warp, summed
};
std::optional<KernelStats> kernel_stats(std::string_view kernel);
void reset_kernel_stats();

// Packs the driver's kernelParams array (one pointer per parameter, each to the
// value) into a parameter space image laid out as `kernel` declares.
std::vector<std::byte> pack_params(const Kernel& kernel, void** kernel_params);

}  // namespace vorlan::emu
