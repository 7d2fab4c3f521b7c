// Floating-point arithmetic. The common round-to-nearest forms without .ftz
// or .sat get their own opcodes; everything else goes through the generic
// Float opcode, which carries the operation, rounding and flags.
#include <array>

#include "ptx/decode_common.hpp"

namespace vorlan::emu::ptx {
namespace {

constexpr std::array<std::string_view, 4> kRoundings = {".rn", ".rz", ".rm", ".rp"};

struct FloatForm {
  FloatFn fn;
  std::size_t sources;
  bool needs_rounding;  // PTX requires .rn/.rz/.rm/.rp (or .approx/.full where allowed)
  bool takes_rounding;
  bool takes_sat;
};

struct FloatMods {
  std::optional<std::size_t> rounding;
  bool approx, full, ftz, sat;
};

FloatMods take_float_mods(Modifiers& modifiers) {
  FloatMods mods{};
  mods.rounding = modifiers.take_one_of(kRoundings);
  mods.approx = modifiers.take(".approx");
  mods.full = modifiers.take(".full");
  mods.ftz = modifiers.take(".ftz");
  mods.sat = modifiers.take(".sat");
  return mods;
}

std::optional<FloatForm> form_for(std::string_view opcode, const FloatMods& mods) {
  if (opcode == "add") return FloatForm{FloatFn::Add, 2, false, true, true};
  if (opcode == "sub") return FloatForm{FloatFn::Sub, 2, false, true, true};
  if (opcode == "mul") return FloatForm{FloatFn::Mul, 2, false, true, true};
  if (opcode == "mad" || opcode == "fma") return FloatForm{FloatFn::Fma, 3, true, true, true};
  if (opcode == "min") return FloatForm{FloatFn::Min, 2, false, false, false};
  if (opcode == "max") return FloatForm{FloatFn::Max, 2, false, false, false};
  if (opcode == "abs") return FloatForm{FloatFn::Abs, 1, false, false, false};
  if (opcode == "neg") return FloatForm{FloatFn::Neg, 1, false, false, false};
  if (opcode == "div") {
    if (mods.approx) return FloatForm{FloatFn::DivApprox, 2, false, false, false};
    if (mods.full) return FloatForm{FloatFn::DivFull, 2, false, false, false};
    return FloatForm{FloatFn::Div, 2, true, true, false};
  }
  if (opcode == "rcp")
    return FloatForm{mods.approx ? FloatFn::RcpApprox : FloatFn::Rcp, 1, !mods.approx, !mods.approx,
                     false};
  if (opcode == "sqrt")
    return FloatForm{mods.approx ? FloatFn::SqrtApprox : FloatFn::Sqrt, 1, !mods.approx,
                     !mods.approx, false};
  return std::nullopt;
}

// The dedicated opcode for the plain round-to-nearest form, if there is one.
std::optional<Op> fast_op(FloatFn fn, Type type) {
  const bool f32 = type == Type::F32;
  switch (fn) {
    case FloatFn::Add:
      return f32 ? Op::AddF32 : Op::AddF64;
    case FloatFn::Sub:
      return f32 ? Op::SubF32 : Op::SubF64;
    case FloatFn::Mul:
      return f32 ? Op::MulF32 : Op::MulF64;
    case FloatFn::Fma:
      return f32 ? Op::FmaF32 : Op::FmaF64;
    case FloatFn::Div:
      return f32 ? Op::DivF32 : Op::DivF64;
    case FloatFn::Neg:
      return f32 ? Op::NegF32 : Op::NegF64;
    case FloatFn::Abs:
      return f32 ? Op::AbsF32 : Op::AbsF64;
    case FloatFn::Min:
      return f32 ? Op::MinF32 : Op::MinF64;
    case FloatFn::Max:
      return f32 ? Op::MaxF32 : Op::MaxF64;
    default:
      return std::nullopt;
  }
}

Result<void> check_mods(Decoder& decoder, const Statement& statement, const FloatForm& form,
                        const FloatMods& mods, Type type) {
  const bool approx_ok = form.fn == FloatFn::DivApprox || form.fn == FloatFn::RcpApprox ||
                         form.fn == FloatFn::SqrtApprox;
  if ((mods.approx && !approx_ok) || (mods.full && form.fn != FloatFn::DivFull)) {
    return decoder.error(".approx/.full is not valid on " + statement.opcode);
  }
  if (type == Type::F64 && (mods.approx || mods.full) && form.fn != FloatFn::RcpApprox) {
    return decoder.error(".approx/.full needs .f32");
  }
  if (mods.rounding && !form.takes_rounding)
    return decoder.error(statement.opcode + " takes no rounding modifier here");
  if (!mods.rounding && form.needs_rounding)
    return decoder.error(statement.opcode + " needs a rounding modifier (.rn, .rz, .rm, .rp)");
  if (mods.sat && (!form.takes_sat || type == Type::F64))
    return decoder.error(".sat is not valid here");
  if (mods.ftz && type == Type::F64 && form.fn != FloatFn::RcpApprox)
    return decoder.error(".ftz needs .f32");
  return {};
}

Result<Instr> build(Decoder& decoder, const Statement& statement, const FloatForm& form,
                    const FloatMods& mods, Type type) {
  if (auto valid = check_mods(decoder, statement, form, mods, type); !valid)
    return std::unexpected(valid.error());
  const bool nearest = !mods.rounding || *mods.rounding == 0;
  const auto fast = fast_op(form.fn, type);
  if (fast && nearest && !mods.ftz && !mods.sat)
    return uniform(decoder, statement, *fast, type, form.sources);
  auto instr = uniform(decoder, statement, Op::Float, type, form.sources);
  if (!instr) return instr;
  instr->mod = static_cast<std::uint8_t>(form.fn);
  const auto rounding = static_cast<std::uint8_t>(mods.rounding.value_or(0));
  instr->flags =
      static_cast<std::uint8_t>((rounding << kRoundShift) | (mods.ftz ? kFtz : 0) |
                                (mods.sat ? kSat : 0) | (mods.rounding ? kExplicitRound : 0));
  return instr;
}

}  // namespace

Result<Instr> decode_float_arith(Decoder& decoder, const Statement& statement, Modifiers& modifiers,
                                 Type type) {
  const FloatMods mods = take_float_mods(modifiers);
  const auto form = form_for(statement.opcode, mods);
  if (!form) return decoder.error(statement.opcode + " has no floating-point form");
  return build(decoder, statement, *form, mods, type);
}

Result<Instr> decode_fma(Decoder& decoder, const Statement& statement, Modifiers& modifiers) {
  auto type = require_type(decoder, statement, modifiers, {Type::F32, Type::F64});
  if (!type) return std::unexpected(type.error());
  return decode_float_arith(decoder, statement, modifiers, *type);
}

Result<Instr> decode_rcp_sqrt(Decoder& decoder, const Statement& statement, Modifiers& modifiers) {
  auto type = require_type(decoder, statement, modifiers, {Type::F32, Type::F64});
  if (!type) return std::unexpected(type.error());
  return decode_float_arith(decoder, statement, modifiers, *type);
}

}  // namespace vorlan::emu::ptx
