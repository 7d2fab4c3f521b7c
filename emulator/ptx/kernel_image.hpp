// One decoded kernel: its parameter and shared-memory layout, its code in the
// compact form, and the initial register file every thread starts from.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ptx/kernel_runner.hpp"
#include "ptx/opcodes.hpp"
#include "ptx/syntax.hpp"

namespace vorlan::emu::ptx {

// Base of the generic-address window onto a block's shared memory. It lies
// outside every canonical user-space address, so no device allocation can
// overlap it, and its low 32 bits are zero, so that truncating a generic
// shared address to 32 bits gives its offset in the window.
inline constexpr std::uint64_t kSharedWindow = 0x8000'0000'0000'0000ull;
inline constexpr std::uint64_t kSharedWindowSize = 1ull << 32;

enum class Special : std::uint8_t {
  TidX,
  TidY,
  TidZ,
  NtidX,
  NtidY,
  NtidZ,
  CtaidX,
  CtaidY,
  CtaidZ,
  NctaidX,
  NctaidY,
  NctaidZ,
  LaneId,
  WarpId,
  NWarpId,
  LanemaskEq,
  LanemaskLt,
  LanemaskLe,
  LanemaskGt,
  LanemaskGe,
};

struct SpecialSlot {
  std::uint16_t slot;
  Special which;
};

struct ParamName {
  std::uint32_t offset;
  std::string name;
};

class KernelImage final : public Kernel {
 public:
  std::string_view name() const override { return name_; }
  std::span<const ParamLayout> params() const override { return param_layouts_; }
  std::uint32_t param_space_bytes() const override { return param_bytes_; }
  std::uint32_t static_shared_bytes() const override { return static_shared_; }
  // Dynamic shared memory starts at its aligned offset past the static
  // arrays, so the padding counts as soon as any is asked for.
  std::uint64_t block_shared_bytes(std::uint32_t dynamic) const override {
    return dynamic == 0 ? static_shared_ : std::uint64_t{dynamic_shared_offset_} + dynamic;
  }

  std::string name_;
  std::vector<ParamLayout> param_layouts_;
  std::vector<ParamName> param_names_;  // for the disassembler
  std::uint32_t param_bytes_ = 0;
  std::uint32_t static_shared_ = 0;
  std::uint32_t dynamic_shared_offset_ = 0;  // where .extern .shared arrays begin
  std::vector<Instr> code_;
  std::vector<int> lines_;                    // source line of each instruction
  std::vector<std::uint64_t> initial_slots_;  // register file template: zeros, constants
  std::vector<SpecialSlot> specials_;         // slots filled per thread at launch
  std::vector<std::string> slot_names_;       // register names and constants, for the disassembler
  std::vector<std::pair<std::uint32_t, std::string>> labels_;  // pc and name, for the disassembler
  ThreadLimit max_threads_;
  ThreadLimit required_threads_;
};

}  // namespace vorlan::emu::ptx
