// Integer arithmetic and logic. Operations whose low result bits depend only
// on the low bits of their inputs (add, sub, mul.lo, logic, shl) run 16-bit
// forms on the 32-bit opcode; readers of a 16-bit register look at its low
// bits only.
#include <array>

#include "ptx/decode_common.hpp"

namespace vorlan::emu::ptx {
namespace {

constexpr std::initializer_list<Type> kAllArith = {Type::U16, Type::U32, Type::U64, Type::S16,
                                                   Type::S32, Type::S64, Type::F32, Type::F64};

Op by_width(Op op32, Op op64, Type type) { return is_wide(type) ? op64 : op32; }

Type doubled(Type type) {
  switch (type) {
    case Type::U16:
      return Type::U32;
    case Type::U32:
      return Type::U64;
    case Type::S16:
      return Type::S32;
    default:
      return Type::S64;
  }
}

// mul.wide / mad.wide: d (and c) are twice as wide as a and b.
Result<Instr> wide_form(Decoder& decoder, const Statement& statement, Op base, Type type,
                        bool with_addend) {
  if (auto count = decoder.expect_operands(statement, with_addend ? 4 : 3); !count) {
    return std::unexpected(count.error());
  }
  const int index = typed4_index(type);
  if (index < 0) return decoder.error(statement.opcode + ".wide takes .u16, .u32, .s16 or .s32");
  Instr instr{.op = op_plus(base, index), .type = type};
  auto d = decoder.destination(statement.operands[0], doubled(type));
  auto a = decoder.source(statement.operands[1], type);
  auto b = decoder.source(statement.operands[2], type);
  if (!d || !a || !b) return std::unexpected(!d ? d.error() : !a ? a.error() : b.error());
  instr.d = *d;
  instr.a = *a;
  instr.b = *b;
  if (with_addend) {
    auto c = decoder.source(statement.operands[3], doubled(type));
    if (!c) return std::unexpected(c.error());
    instr.c = *c;
  }
  return instr;
}

constexpr std::array<std::string_view, 3> kMulModes = {".lo", ".hi", ".wide"};

}  // namespace

Result<Instr> decode_add_sub(Decoder& decoder, const Statement& statement, Modifiers& modifiers) {
  auto type = require_type(decoder, statement, modifiers, kAllArith);
  if (!type) return std::unexpected(type.error());
  if (is_float(*type)) return decode_float_arith(decoder, statement, modifiers, *type);
  const bool add = statement.opcode == "add";
  return uniform(
      decoder, statement,
      add ? by_width(Op::Add32, Op::Add64, *type) : by_width(Op::Sub32, Op::Sub64, *type), *type,
      2);
}

Result<Instr> decode_mul(Decoder& decoder, const Statement& statement, Modifiers& modifiers) {
  auto type = require_type(decoder, statement, modifiers, kAllArith);
  if (!type) return std::unexpected(type.error());
  if (is_float(*type)) return decode_float_arith(decoder, statement, modifiers, *type);
  const auto mode = modifiers.take_one_of(kMulModes);
  if (!mode) return decoder.error("integer mul needs .lo, .hi or .wide");
  if (*mode == 0)
    return uniform(decoder, statement, by_width(Op::MulLo32, Op::MulLo64, *type), *type, 2);
  if (*mode == 1)
    return uniform(decoder, statement, op_plus(Op::MulHiU16, typed6_index(*type)), *type, 2);
  return wide_form(decoder, statement, Op::MulWideU16, *type, false);
}

Result<Instr> decode_mad(Decoder& decoder, const Statement& statement, Modifiers& modifiers) {
  auto type = require_type(decoder, statement, modifiers, kAllArith);
  if (!type) return std::unexpected(type.error());
  if (is_float(*type)) return decode_float_arith(decoder, statement, modifiers, *type);
  const auto mode = modifiers.take_one_of(kMulModes);
  if (!mode) return decoder.error("integer mad needs .lo, .hi or .wide");
  if (*mode == 0)
    return uniform(decoder, statement, by_width(Op::MadLo32, Op::MadLo64, *type), *type, 3);
  if (*mode == 1)
    return uniform(decoder, statement, op_plus(Op::MadHiU16, typed6_index(*type)), *type, 3);
  return wide_form(decoder, statement, Op::MadWideU16, *type, true);
}

Result<Instr> decode_div_rem(Decoder& decoder, const Statement& statement, Modifiers& modifiers) {
  const bool div = statement.opcode == "div";
  auto type = require_type(decoder, statement, modifiers, div ? kAllArith : kIntTypes);
  if (!type) return std::unexpected(type.error());
  if (is_float(*type)) return decode_float_arith(decoder, statement, modifiers, *type);
  return uniform(decoder, statement, op_plus(div ? Op::DivU16 : Op::RemU16, typed6_index(*type)),
                 *type, 2);
}

Result<Instr> decode_min_max(Decoder& decoder, const Statement& statement, Modifiers& modifiers) {
  auto type = require_type(decoder, statement, modifiers, kAllArith);
  if (!type) return std::unexpected(type.error());
  if (is_float(*type)) return decode_float_arith(decoder, statement, modifiers, *type);
  const Op base = statement.opcode == "min" ? Op::MinU16 : Op::MaxU16;
  return uniform(decoder, statement, op_plus(base, typed6_index(*type)), *type, 2);
}

Result<Instr> decode_abs_neg(Decoder& decoder, const Statement& statement, Modifiers& modifiers) {
  auto type = require_type(decoder, statement, modifiers,
                           {Type::S16, Type::S32, Type::S64, Type::F32, Type::F64});
  if (!type) return std::unexpected(type.error());
  if (is_float(*type)) return decode_float_arith(decoder, statement, modifiers, *type);
  if (statement.opcode == "neg")
    return uniform(decoder, statement, by_width(Op::Neg32, Op::Neg64, *type), *type, 1);
  return uniform(decoder, statement, op_plus(Op::AbsU16, typed6_index(*type)), *type, 1);
}

Result<Instr> decode_logic(Decoder& decoder, const Statement& statement, Modifiers& modifiers) {
  auto type =
      require_type(decoder, statement, modifiers, {Type::B16, Type::B32, Type::B64, Type::Pred});
  if (!type) return std::unexpected(type.error());
  Op op32 = Op::And32;
  Op op64 = Op::And64;
  if (statement.opcode == "or") {
    op32 = Op::Or32;
    op64 = Op::Or64;
  } else if (statement.opcode == "xor") {
    op32 = Op::Xor32;
    op64 = Op::Xor64;
  }
  return uniform(decoder, statement, by_width(op32, op64, *type), *type, 2);
}

Result<Instr> decode_not(Decoder& decoder, const Statement& statement, Modifiers& modifiers) {
  auto type =
      require_type(decoder, statement, modifiers, {Type::B16, Type::B32, Type::B64, Type::Pred});
  if (!type) return std::unexpected(type.error());
  if (*type == Type::Pred) return uniform(decoder, statement, Op::NotPred, *type, 1);
  return uniform(decoder, statement, by_width(Op::Not32, Op::Not64, *type), *type, 1);
}

// The shift amount is always an unsigned 32-bit operand.
Result<Instr> decode_shift(Decoder& decoder, const Statement& statement, Modifiers& modifiers) {
  const bool left = statement.opcode == "shl";
  auto type = left ? require_type(decoder, statement, modifiers, kBitTypes)
                   : require_type(decoder, statement, modifiers,
                                  {Type::B16, Type::B32, Type::B64, Type::U16, Type::U32, Type::U64,
                                   Type::S16, Type::S32, Type::S64});
  if (!type) return std::unexpected(type.error());
  if (auto count = decoder.expect_operands(statement, 3); !count)
    return std::unexpected(count.error());
  const Op op =
      left ? by_width(Op::Shl32, Op::Shl64, *type) : op_plus(Op::ShrU16, typed6_index(*type));
  Instr instr{.op = op, .type = *type};
  auto d = decoder.destination(statement.operands[0], *type);
  auto a = decoder.source(statement.operands[1], *type);
  auto b = decoder.source(statement.operands[2], Type::U32);
  if (!d || !a || !b) return std::unexpected(!d ? d.error() : !a ? a.error() : b.error());
  instr.d = *d;
  instr.a = *a;
  instr.b = *b;
  return instr;
}

// popc and clz count into an unsigned 32-bit destination whatever the source width.
Result<Instr> decode_bit_count(Decoder& decoder, const Statement& statement, Modifiers& modifiers) {
  auto type = require_type(decoder, statement, modifiers, {Type::B32, Type::B64});
  if (!type) return std::unexpected(type.error());
  if (auto count = decoder.expect_operands(statement, 2); !count)
    return std::unexpected(count.error());
  const bool popc = statement.opcode == "popc";
  const Op op =
      popc ? by_width(Op::Popc32, Op::Popc64, *type) : by_width(Op::Clz32, Op::Clz64, *type);
  Instr instr{.op = op, .type = *type};
  auto d = decoder.destination(statement.operands[0], Type::U32);
  auto a = decoder.source(statement.operands[1], *type);
  if (!d || !a) return std::unexpected(!d ? d.error() : a.error());
  instr.d = *d;
  instr.a = *a;
  return instr;
}

}  // namespace vorlan::emu::ptx
