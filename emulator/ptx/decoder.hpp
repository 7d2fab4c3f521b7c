// Turns one entry's syntax into a KernelImage: lays out parameters, shared
// memory and register slots, then decodes each statement through the
// instruction table. Family decoders use the operand helpers below, which
// resolve names to slots and check widths as ptxas would.
#pragma once

#include <array>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ptx/kernel_image.hpp"
#include "ptx/syntax.hpp"

namespace vorlan::emu::ptx {

template <class T>
using Result = std::expected<T, PtxError>;

// The modifiers of one statement, consumed by its family decoder; whatever is
// left over afterwards makes the statement invalid.
class Modifiers {
 public:
  explicit Modifiers(const std::vector<std::string>& list) : list_(list.begin(), list.end()) {}
  bool take(std::string_view modifier);
  // Index of the first of `choices` present (and removes it).
  std::optional<std::size_t> take_one_of(std::span<const std::string_view> choices);
  std::optional<Type> take_type();
  std::optional<std::string_view> leftover() const;

 private:
  std::vector<std::string_view> list_;
};

// How a register operand's declared width must relate to the instruction type.
enum class Width : std::uint8_t {
  Exact,    // same width (ordinary arithmetic)
  AtLeast,  // as wide or wider (ld, st, cvt)
};

struct AddressOperand {
  std::uint16_t base;
  std::int32_t offset;
  bool addr32;
};

class Decoder {
 public:
  Decoder(const EntrySyntax& entry, const std::vector<SharedDecl>& module_shared, KernelImage& out);
  Result<void> run();

  // ----- helpers for family decoders -----
  std::unexpected<PtxError> error(std::string reason) const;
  Result<void> expect_operands(const Statement& statement, std::size_t count) const;
  Result<std::uint16_t> source(const Operand& operand, Type type, Width width = Width::Exact);
  Result<std::uint16_t> destination(const Operand& operand, Type type, Width width = Width::Exact);
  Result<std::uint16_t> predicate(
      const Operand& operand);  // a predicate register (negation is the caller's)
  Result<std::uint16_t> predicate_destination(const Operand& operand);
  Result<AddressOperand> address(const Operand& operand, Space space, unsigned access_bytes);
  Result<std::int32_t> label(const Operand& operand) const;
  // A source that is a register, an immediate or the address of a .shared variable.
  Result<std::uint16_t> source_or_symbol(const Operand& operand, Type type);
  std::uint16_t constant(std::uint64_t bits);
  std::optional<Type> register_type(std::string_view name) const;

 private:
  struct Register {
    std::uint16_t slot;
    Type type;
  };
  struct SharedSymbol {
    std::uint32_t offset;
    std::uint64_t bytes;  // 0 for .extern
  };
  struct ParamSymbol {
    std::uint32_t offset;
    std::uint32_t bytes;
  };

  Result<void> lay_out_params();
  Result<void> declare_registers();
  Result<void> lay_out_shared();
  Result<void> place_shared(const SharedDecl& decl);
  Result<void> decode_statement(const Statement& statement);
  Result<Instr> decode_guard(const Statement& statement, Instr instr);
  Result<std::uint16_t> new_slot(std::string name);
  std::optional<std::uint16_t> special(std::string_view name);
  Result<std::uint64_t> immediate(const Operand& operand, Type type) const;
  Result<std::uint16_t> register_operand(std::string_view name, Type type, Width width) const;
  bool referenced(std::string_view name) const;

  const EntrySyntax& entry_;
  const std::vector<SharedDecl>& module_shared_;
  KernelImage& out_;
  int line_ = 0;
  std::unordered_map<std::string, Register> registers_;
  std::unordered_map<std::string, SharedSymbol> shared_;
  std::unordered_map<std::string, ParamSymbol> params_;
  std::unordered_map<std::uint64_t, std::uint16_t> constants_;
  std::unordered_map<std::string, std::uint16_t> specials_;
};

}  // namespace vorlan::emu::ptx
