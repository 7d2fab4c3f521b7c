// Small building blocks shared by the family decoders.
#pragma once

#include <initializer_list>

#include "ptx/instruction_table.hpp"

namespace vorlan::emu::ptx {

// The statement's type modifier, which must be one of `allowed`.
Result<Type> require_type(Decoder& decoder, const Statement& statement, Modifiers& modifiers,
                          std::initializer_list<Type> allowed);

// `op.type d, a[, b[, c]]` with every operand of the instruction type.
Result<Instr> uniform(Decoder& decoder, const Statement& statement, Op op, Type type,
                      std::size_t sources);

inline constexpr std::initializer_list<Type> kIntTypes = {Type::U16, Type::U32, Type::U64,
                                                          Type::S16, Type::S32, Type::S64};
inline constexpr std::initializer_list<Type> kBitTypes = {Type::B16, Type::B32, Type::B64};
inline constexpr bool is_wide(Type type) { return type_bits(type) == 64; }

}  // namespace vorlan::emu::ptx
