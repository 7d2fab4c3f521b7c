// Warp-collective instructions: shfl.sync, vote.sync and activemask.
#include <array>

#include "ptx/decode_common.hpp"

namespace vorlan::emu::ptx {
namespace {

constexpr std::array<std::string_view, 4> kShflModes = {".up", ".down", ".bfly", ".idx"};
constexpr std::array<std::string_view, 4> kVoteModes = {".all", ".any", ".uni", ".ballot"};

}  // namespace

// shfl.sync.mode.b32 d[|p], a, b, c, membermask
Result<Instr> decode_shfl(Decoder& decoder, const Statement& statement, Modifiers& modifiers) {
  if (!modifiers.take(".sync")) return decoder.error("shfl needs .sync");
  const auto mode = modifiers.take_one_of(kShflModes);
  if (!mode) return decoder.error("shfl.sync needs .up, .down, .bfly or .idx");
  auto type = require_type(decoder, statement, modifiers, {Type::B32});
  if (!type) return std::unexpected(type.error());
  if (auto count = decoder.expect_operands(statement, 5); !count)
    return std::unexpected(count.error());
  Instr instr{.op = Op::Shfl, .mod = static_cast<std::uint8_t>(*mode), .type = Type::B32};
  const Operand& dest = statement.operands[0];
  if ((dest.kind != Operand::Kind::Name && dest.kind != Operand::Kind::Pair) || dest.negated) {
    return decoder.error("expected a destination register");
  }
  auto d = decoder.destination(Operand{.kind = Operand::Kind::Name, .name = dest.name}, Type::B32);
  if (!d) return std::unexpected(d.error());
  instr.d = *d;
  if (dest.kind == Operand::Kind::Pair) {
    auto p =
        decoder.predicate_destination(Operand{.kind = Operand::Kind::Name, .name = dest.second});
    if (!p) return std::unexpected(p.error());
    instr.e = *p;
  }
  auto a = decoder.source(statement.operands[1], Type::B32);
  auto b = decoder.source(statement.operands[2], Type::B32);
  auto c = decoder.source(statement.operands[3], Type::B32);
  auto mask = decoder.source(statement.operands[4], Type::B32);
  if (!a || !b || !c || !mask)
    return std::unexpected(!a ? a.error() : !b ? b.error() : !c ? c.error() : mask.error());
  instr.a = *a;
  instr.b = *b;
  instr.c = *c;
  instr.imm = *mask;
  return instr;
}

// vote.sync.{all,any,uni}.pred d, {!}a, membermask; vote.sync.ballot.b32 d, {!}a, membermask
Result<Instr> decode_vote(Decoder& decoder, const Statement& statement, Modifiers& modifiers) {
  if (!modifiers.take(".sync")) return decoder.error("vote needs .sync");
  const auto mode = modifiers.take_one_of(kVoteModes);
  if (!mode) return decoder.error("vote.sync needs .all, .any, .uni or .ballot");
  const bool ballot = static_cast<VoteMode>(*mode) == VoteMode::Ballot;
  auto type = require_type(decoder, statement, modifiers, {ballot ? Type::B32 : Type::Pred});
  if (!type) return std::unexpected(type.error());
  if (auto count = decoder.expect_operands(statement, 3); !count)
    return std::unexpected(count.error());
  auto d = ballot ? decoder.destination(statement.operands[0], Type::B32)
                  : decoder.predicate_destination(statement.operands[0]);
  auto a = decoder.predicate(statement.operands[1]);
  auto mask = decoder.source(statement.operands[2], Type::B32);
  if (!d || !a || !mask) return std::unexpected(!d ? d.error() : !a ? a.error() : mask.error());
  return Instr{.op = Op::Vote,
               .mod = static_cast<std::uint8_t>(*mode),
               .flags = statement.operands[1].negated ? kNegate : std::uint8_t{0},
               .type = *type,
               .d = *d,
               .a = *a,
               .b = *mask};
}

Result<Instr> decode_activemask(Decoder& decoder, const Statement& statement,
                                Modifiers& modifiers) {
  auto type = require_type(decoder, statement, modifiers, {Type::B32});
  if (!type) return std::unexpected(type.error());
  if (auto count = decoder.expect_operands(statement, 1); !count)
    return std::unexpected(count.error());
  auto d = decoder.destination(statement.operands[0], Type::B32);
  if (!d) return std::unexpected(d.error());
  return Instr{.op = Op::ActiveMask, .type = Type::B32, .d = *d};
}

}  // namespace vorlan::emu::ptx
