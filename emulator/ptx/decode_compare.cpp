// setp and selp. Integer compares without a combining predicate get
// dedicated opcodes; gt/ge/hi/hs are decoded as lt/le/lo/ls with swapped
// operands so that four opcodes per width cover them all.
#include <array>
#include <utility>

#include "ptx/decode_common.hpp"

namespace vorlan::emu::ptx {
namespace {

constexpr std::array<std::string_view, 18> kCompares = {
    ".eq", ".ne",  ".lt",  ".le",  ".gt",  ".ge",  ".lo",  ".ls",  ".hi",
    ".hs", ".equ", ".neu", ".ltu", ".leu", ".gtu", ".geu", ".num", ".nan"};
constexpr std::array<std::string_view, 3> kBoolOps = {".and", ".or", ".xor"};

bool compare_allowed(Compare compare, Type type) {
  const auto index = static_cast<int>(compare);
  if (is_float(type))
    return index <= static_cast<int>(Compare::Ge) || index >= static_cast<int>(Compare::Equ);
  if (index >= static_cast<int>(Compare::Equ)) return false;
  const bool unsigned_compare = index >= static_cast<int>(Compare::Lo);
  const bool bits = type == Type::B16 || type == Type::B32 || type == Type::B64;
  if (bits) return compare == Compare::Eq || compare == Compare::Ne || unsigned_compare;
  return !unsigned_compare || !is_signed(type);
}

struct FastCompare {
  Op op32;
  bool swap;
};

std::optional<FastCompare> fast_compare(Compare compare, Type type) {
  const bool s = is_signed(type);
  switch (compare) {
    case Compare::Eq:
      return FastCompare{Op::SetpEq32, false};
    case Compare::Ne:
      return FastCompare{Op::SetpNe32, false};
    case Compare::Lt:
      return FastCompare{s ? Op::SetpLtS32 : Op::SetpLtU32, false};
    case Compare::Le:
      return FastCompare{s ? Op::SetpLeS32 : Op::SetpLeU32, false};
    case Compare::Gt:
      return FastCompare{s ? Op::SetpLtS32 : Op::SetpLtU32, true};
    case Compare::Ge:
      return FastCompare{s ? Op::SetpLeS32 : Op::SetpLeU32, true};
    case Compare::Lo:
      return FastCompare{Op::SetpLtU32, false};
    case Compare::Ls:
      return FastCompare{Op::SetpLeU32, false};
    case Compare::Hi:
      return FastCompare{Op::SetpLtU32, true};
    case Compare::Hs:
      return FastCompare{Op::SetpLeU32, true};
    default:
      return std::nullopt;
  }
}

// The 64-bit variant of each fast compare directly follows its 32-bit one.
Op widen(Op op32, Type type) { return type_bits(type) == 64 ? op_plus(op32, 1) : op32; }

Result<void> setp_destinations(Decoder& decoder, const Operand& operand, Instr& instr) {
  if (operand.kind == Operand::Kind::Pair) {
    auto first =
        decoder.predicate_destination(Operand{.kind = Operand::Kind::Name, .name = operand.name});
    auto second =
        decoder.predicate_destination(Operand{.kind = Operand::Kind::Name, .name = operand.second});
    if (!first || !second) return std::unexpected(!first ? first.error() : second.error());
    instr.d = *first;
    instr.e = *second;
    return {};
  }
  auto first = decoder.predicate_destination(operand);
  if (!first) return std::unexpected(first.error());
  instr.d = *first;
  return {};
}

}  // namespace

Result<Instr> decode_setp(Decoder& decoder, const Statement& statement, Modifiers& modifiers) {
  const auto compare_index = modifiers.take_one_of(kCompares);
  if (!compare_index) return decoder.error("setp needs a comparison");
  const auto compare = static_cast<Compare>(*compare_index);
  const auto bool_op = modifiers.take_one_of(kBoolOps);
  const bool ftz = modifiers.take(".ftz");
  auto type = require_type(decoder, statement, modifiers,
                           {Type::B16, Type::B32, Type::B64, Type::U16, Type::U32, Type::U64,
                            Type::S16, Type::S32, Type::S64, Type::F32, Type::F64});
  if (!type) return std::unexpected(type.error());
  if (!compare_allowed(compare, *type))
    return decoder.error("comparison not valid for ." + std::string(type_name(*type)));
  if (ftz && *type != Type::F32) return decoder.error(".ftz needs .f32");
  if (auto count = decoder.expect_operands(statement, bool_op ? 4 : 3); !count)
    return std::unexpected(count.error());
  Instr instr{.op = Op::Setp, .mod = static_cast<std::uint8_t>(compare), .type = *type};
  if (auto dests = setp_destinations(decoder, statement.operands[0], instr); !dests)
    return std::unexpected(dests.error());
  auto a = decoder.source(statement.operands[1], *type);
  auto b = decoder.source(statement.operands[2], *type);
  if (!a || !b) return std::unexpected(!a ? a.error() : b.error());
  instr.a = *a;
  instr.b = *b;
  if (bool_op) {
    auto c = decoder.predicate(statement.operands[3]);
    if (!c) return std::unexpected(c.error());
    instr.c = *c;
    instr.flags = static_cast<std::uint8_t>(((*bool_op + 1) << kBoolShift) |
                                            (statement.operands[3].negated ? kNegate : 0));
  }
  if (ftz) instr.flags |= kFtz;
  const auto fast =
      is_float(*type) || type_bits(*type) < 32 ? std::nullopt : fast_compare(compare, *type);
  if (fast && !bool_op && instr.e == kSinkSlot) {
    instr.op = widen(fast->op32, *type);
    if (fast->swap) std::swap(instr.a, instr.b);
  }
  return instr;
}

Result<Instr> decode_selp(Decoder& decoder, const Statement& statement, Modifiers& modifiers) {
  auto type = require_type(decoder, statement, modifiers,
                           {Type::B16, Type::B32, Type::B64, Type::U16, Type::U32, Type::U64,
                            Type::S16, Type::S32, Type::S64, Type::F32, Type::F64});
  if (!type) return std::unexpected(type.error());
  if (auto count = decoder.expect_operands(statement, 4); !count)
    return std::unexpected(count.error());
  Instr instr{.op = Op::Selp, .type = *type};
  auto d = decoder.destination(statement.operands[0], *type);
  auto a = decoder.source(statement.operands[1], *type);
  auto b = decoder.source(statement.operands[2], *type);
  auto c = decoder.predicate(statement.operands[3]);
  if (!d || !a || !b || !c)
    return std::unexpected(!d ? d.error() : !a ? a.error() : !b ? b.error() : c.error());
  if (statement.operands[3].negated) return decoder.error("selp's predicate cannot be negated");
  instr.d = *d;
  instr.a = *a;
  instr.b = *b;
  instr.c = *c;
  return instr;
}

}  // namespace vorlan::emu::ptx
