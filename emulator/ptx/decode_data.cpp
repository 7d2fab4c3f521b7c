// mov, cvt and cvta.
#include <array>

#include "ptx/decode_common.hpp"

namespace vorlan::emu::ptx {
namespace {

constexpr std::array<std::string_view, 8> kCvtRoundings = {".rn",  ".rz",  ".rm",  ".rp",
                                                           ".rni", ".rzi", ".rmi", ".rpi"};
constexpr std::initializer_list<Type> kCvtTypes = {Type::U8,  Type::U16, Type::U32, Type::U64,
                                                   Type::S8,  Type::S16, Type::S32, Type::S64,
                                                   Type::F32, Type::F64};

bool valid_cvt_type(Type type) { return std::ranges::find(kCvtTypes, type) != kCvtTypes.end(); }

// Which rounding modifiers a conversion requires or accepts.
Result<void> check_cvt_rounding(Decoder& decoder, Type to, Type from,
                                std::optional<std::size_t> rounding) {
  const bool float_round = rounding && *rounding < 4;
  const bool int_round = rounding && *rounding >= 4;
  if (is_integer(to) && is_integer(from)) {
    if (rounding) return decoder.error("integer-to-integer cvt takes no rounding modifier");
  } else if (is_float(to) && is_integer(from)) {
    if (!float_round) return decoder.error("integer-to-float cvt needs .rn, .rz, .rm or .rp");
  } else if (is_integer(to)) {
    if (!int_round) return decoder.error("float-to-integer cvt needs .rni, .rzi, .rmi or .rpi");
  } else if (to == Type::F32 && from == Type::F64) {
    if (!float_round) return decoder.error("cvt.f32.f64 needs .rn, .rz, .rm or .rp");
  } else if (to != from && rounding) {
    return decoder.error("cvt.f64.f32 is exact and takes no rounding modifier");
  } else if (to == from && float_round) {
    return decoder.error(
        "a float-to-same-float cvt rounds only to an integer (.rni, .rzi, .rmi, .rpi)");
  }
  return {};
}

// Integer conversions that are a plain zero or sign extension of 32 bits.
std::optional<Op> fast_int_cvt(Type to, Type from) {
  if (type_bits(from) == 32 && type_bits(to) == 64)
    return is_signed(from) ? Op::CvtSext32 : Op::CvtZext32;
  if (type_bits(from) == 64 && type_bits(to) == 32) return Op::CvtZext32;
  return std::nullopt;
}

Op choose_cvt_op(Type to, Type from, bool sat, bool ftz) {
  if (!is_integer(to) || !is_integer(from) || sat || ftz) return Op::Cvt;
  return fast_int_cvt(to, from).value_or(Op::CvtInt);
}

}  // namespace

Result<Instr> decode_mov(Decoder& decoder, const Statement& statement, Modifiers& modifiers) {
  auto type = require_type(decoder, statement, modifiers,
                           {Type::B16, Type::B32, Type::B64, Type::U16, Type::U32, Type::U64,
                            Type::S16, Type::S32, Type::S64, Type::F32, Type::F64, Type::Pred});
  if (!type) return std::unexpected(type.error());
  if (auto count = decoder.expect_operands(statement, 2); !count)
    return std::unexpected(count.error());
  Instr instr{.op = Op::Mov, .type = *type};
  auto d = *type == Type::Pred ? decoder.predicate_destination(statement.operands[0])
                               : decoder.destination(statement.operands[0], *type);
  auto a = *type == Type::Pred ? decoder.predicate(statement.operands[1])
                               : decoder.source_or_symbol(statement.operands[1], *type);
  if (!d || !a) return std::unexpected(!d ? d.error() : a.error());
  if (*type == Type::Pred && statement.operands[1].negated)
    return decoder.error("use not.pred to negate");
  instr.d = *d;
  instr.a = *a;
  return instr;
}

Result<Instr> decode_cvt(Decoder& decoder, const Statement& statement, Modifiers& modifiers) {
  const auto rounding = modifiers.take_one_of(kCvtRoundings);
  const bool ftz = modifiers.take(".ftz");
  const bool sat = modifiers.take(".sat");
  const auto to = modifiers.take_type();
  const auto from = modifiers.take_type();
  if (!to || !from) return decoder.error("cvt needs a destination and a source type");
  if (!valid_cvt_type(*to) || !valid_cvt_type(*from)) return decoder.error("unsupported cvt types");
  if (auto valid = check_cvt_rounding(decoder, *to, *from, rounding); !valid)
    return std::unexpected(valid.error());
  if (ftz && *from != Type::F32 && *to != Type::F32)
    return decoder.error(".ftz needs an .f32 operand");
  if (auto count = decoder.expect_operands(statement, 2); !count)
    return std::unexpected(count.error());
  Instr instr{.op = choose_cvt_op(*to, *from, sat, ftz),
              .mod = static_cast<std::uint8_t>(*from),
              .type = *to};
  auto d = decoder.destination(statement.operands[0], *to, Width::AtLeast);
  auto a = decoder.source(statement.operands[1], *from, Width::AtLeast);
  if (!d || !a) return std::unexpected(!d ? d.error() : a.error());
  instr.d = *d;
  instr.a = *a;
  const std::size_t round = rounding.value_or(0);
  instr.flags = static_cast<std::uint8_t>(((round % 4) << kRoundShift) |
                                          (round >= 4 ? kIntRound : 0) | (ftz ? kFtz : 0) |
                                          (sat ? kSat : 0) | (rounding ? kExplicitRound : 0));
  return instr;
}

// Generic addresses of global memory are its device addresses; shared memory
// appears in the generic space at kSharedWindow.
Result<Instr> decode_cvta(Decoder& decoder, const Statement& statement, Modifiers& modifiers) {
  const bool to_space = modifiers.take(".to");
  const bool shared = modifiers.take(".shared") || modifiers.take(".shared::cta");
  const bool global = !shared && modifiers.take(".global");
  if (!shared && !global) return decoder.error("cvta supports the .global and .shared spaces");
  auto type = require_type(decoder, statement, modifiers, {Type::U64});
  if (!type) return std::unexpected(type.error());
  if (auto count = decoder.expect_operands(statement, 2); !count)
    return std::unexpected(count.error());
  Op op = Op::Mov;
  if (shared) op = to_space ? Op::CvtaToShared : Op::CvtaShared;
  Instr instr{.op = op, .type = Type::U64};
  auto d = decoder.destination(statement.operands[0], Type::U64);
  auto a = shared && !to_space ? decoder.source_or_symbol(statement.operands[1], Type::U64)
                               : decoder.source(statement.operands[1], Type::U64);
  if (!d || !a) return std::unexpected(!d ? d.error() : a.error());
  instr.d = *d;
  instr.a = *a;
  return instr;
}

}  // namespace vorlan::emu::ptx
