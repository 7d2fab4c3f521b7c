// ld, st, atom and red. Ordering, scope and cache qualifiers are accepted and
// ignored: a launch runs on one host thread, so every access is already
// ordered and visible.
#include <array>

#include "ptx/decode_common.hpp"

namespace vorlan::emu::ptx {
namespace {

constexpr std::array<std::string_view, 13> kIgnored = {
    ".weak", ".volatile", ".relaxed", ".acquire", ".release", ".acq_rel", ".cta",
    ".gpu",  ".sys",      ".ca",      ".cg",      ".cs",      ".lu"};
constexpr std::array<std::string_view, 2> kMoreIgnored = {".cv", ".wb"};
constexpr std::initializer_list<Type> kMemoryTypes = {
    Type::B8,  Type::B16, Type::B32, Type::B64, Type::U8,  Type::U16, Type::U32,
    Type::U64, Type::S8,  Type::S16, Type::S32, Type::S64, Type::F32, Type::F64};
constexpr std::array<std::string_view, 10> kAtomOps = {".and", ".or",  ".xor", ".cas", ".exch",
                                                       ".add", ".inc", ".dec", ".min", ".max"};

void drop_ignored(Modifiers& modifiers) {
  while (modifiers.take_one_of(kIgnored) || modifiers.take_one_of(kMoreIgnored)) {
  }
}

Result<Space> take_space(Decoder& decoder, Modifiers& modifiers, bool allow_param) {
  if (modifiers.take(".global")) return Space::Global;
  if (modifiers.take(".shared") || modifiers.take(".shared::cta")) return Space::Shared;
  if (modifiers.take(".param") || modifiers.take(".param::entry")) {
    if (!allow_param) return decoder.error("only ld reads the .param space");
    return Space::Param;
  }
  if (modifiers.take(".local") || modifiers.take(".const") || modifiers.take(".shared::cluster")) {
    return decoder.error("unsupported state space");
  }
  return Space::Generic;
}

// Position within a VORLAN_PTX_LOADS family: U8 S8 U16 S16 U32 S32 U64.
int load_index(Type type) {
  switch (type_bits(type)) {
    case 8:
      return is_signed(type) ? 1 : 0;
    case 16:
      return is_signed(type) ? 3 : 2;
    case 32:
      return type == Type::S32 ? 5 : 4;
    default:
      return 6;
  }
}
// Position within a VORLAN_PTX_STORES family: 8 16 32 64.
int store_index(Type type) { return std::countr_zero(type_bits(type)) - 3; }

Op load_op(Space space, Type type) {
  static constexpr Op kBase[] = {Op::LdGlobalU8, Op::LdSharedU8, Op::LdGenericU8, Op::LdParamU8};
  return op_plus(kBase[static_cast<int>(space)], load_index(type));
}
Op store_op(Space space, Type type) {
  static constexpr Op kBase[] = {Op::StGlobal8, Op::StShared8, Op::StGeneric8};
  return op_plus(kBase[static_cast<int>(space)], store_index(type));
}

struct AccessForm {
  Space space;
  Type type;
  unsigned count;  // 1, 2 or 4
  bool non_coherent;
};

Result<AccessForm> take_access(Decoder& decoder, const Statement& statement, Modifiers& modifiers,
                               bool load) {
  drop_ignored(modifiers);
  auto space = take_space(decoder, modifiers, load);
  if (!space) return std::unexpected(space.error());
  const bool non_coherent = modifiers.take(".nc");
  if (non_coherent && (!load || *space != Space::Global))
    return decoder.error(".nc needs ld.global");
  drop_ignored(modifiers);
  unsigned count = 1;
  if (modifiers.take(".v2")) count = 2;
  if (modifiers.take(".v4")) count = 4;
  auto type = require_type(decoder, statement, modifiers, kMemoryTypes);
  if (!type) return std::unexpected(type.error());
  if (count * type_bytes(*type) > 16)
    return decoder.error("a vector access moves at most 16 bytes");
  return AccessForm{*space, *type, count, non_coherent};
}

Result<Instr> vector_access(Decoder& decoder, const Operand& vector, const Operand& where,
                            const AccessForm& access, bool load) {
  if (vector.kind != Operand::Kind::Vector || vector.elements.size() != access.count) {
    return decoder.error("expected a vector of " + std::to_string(access.count) + " registers");
  }
  auto address = decoder.address(where, access.space, access.count * type_bytes(access.type));
  if (!address) return std::unexpected(address.error());
  Instr instr{.op = load ? Op::LdVec : Op::StVec,
              .mod = static_cast<std::uint8_t>(access.space),
              .type = access.type,
              .a = address->base,
              .imm = address->offset};
  instr.flags = static_cast<std::uint8_t>((address->addr32 ? kAddr32 : 0) |
                                          (access.count == 4 ? kVector4 : 0) |
                                          (access.non_coherent ? kNonCoherent : 0));
  std::uint16_t* fields[] = {&instr.d, &instr.b, &instr.c, &instr.e};
  for (std::size_t i = 0; i < access.count; ++i) {
    const Operand& element = vector.elements[i];
    auto slot = load ? decoder.destination(element, access.type, Width::AtLeast)
                     : decoder.source(element, access.type, Width::AtLeast);
    if (!slot) return std::unexpected(slot.error());
    *fields[i] = *slot;
  }
  return instr;
}

struct AtomForm {
  Space space;
  AtomOp op;
  Type type;
};

bool atom_type_allowed(AtomOp op, Type type) {
  switch (op) {
    case AtomOp::And:
    case AtomOp::Or:
    case AtomOp::Xor:
    case AtomOp::Cas:
    case AtomOp::Exch:
      return type == Type::B32 || type == Type::B64;
    case AtomOp::Add:
      return type == Type::U32 || type == Type::S32 || type == Type::U64 || type == Type::F32 ||
             type == Type::F64;
    case AtomOp::Inc:
    case AtomOp::Dec:
      return type == Type::U32;
    case AtomOp::Min:
    case AtomOp::Max:
      return type == Type::U32 || type == Type::S32 || type == Type::U64 || type == Type::S64;
  }
  return false;
}

Result<AtomForm> take_atom_form(Decoder& decoder, const Statement& statement,
                                Modifiers& modifiers) {
  drop_ignored(modifiers);
  auto space = take_space(decoder, modifiers, false);
  if (!space) return std::unexpected(space.error());
  drop_ignored(modifiers);
  const auto op = modifiers.take_one_of(kAtomOps);
  if (!op) return decoder.error(statement.opcode + " needs an operation such as .add or .cas");
  auto type = modifiers.take_type();
  if (!type) return decoder.error(statement.opcode + " needs a type");
  const auto atom_op = static_cast<AtomOp>(*op);
  if (!atom_type_allowed(atom_op, *type)) {
    return decoder.error(std::string(kAtomOps[*op]) + " does not take ." +
                         std::string(type_name(*type)));
  }
  return AtomForm{*space, atom_op, *type};
}

Op atom_op_for(Space space, bool returns) {
  if (space == Space::Global) return returns ? Op::AtomGlobal : Op::RedGlobal;
  if (space == Space::Shared) return returns ? Op::AtomShared : Op::RedShared;
  return returns ? Op::AtomGeneric : Op::RedGeneric;
}

}  // namespace

Result<Instr> decode_ld(Decoder& decoder, const Statement& statement, Modifiers& modifiers) {
  auto access = take_access(decoder, statement, modifiers, true);
  if (!access) return std::unexpected(access.error());
  if (auto count = decoder.expect_operands(statement, 2); !count)
    return std::unexpected(count.error());
  if (access->count > 1)
    return vector_access(decoder, statement.operands[0], statement.operands[1], *access, true);
  auto d = decoder.destination(statement.operands[0], access->type, Width::AtLeast);
  auto address = decoder.address(statement.operands[1], access->space, type_bytes(access->type));
  if (!d || !address) return std::unexpected(!d ? d.error() : address.error());
  const auto flags = static_cast<std::uint8_t>((address->addr32 ? kAddr32 : 0) |
                                               (access->non_coherent ? kNonCoherent : 0));
  return Instr{.op = load_op(access->space, access->type),
               .flags = flags,
               .type = access->type,
               .d = *d,
               .a = address->base,
               .imm = address->offset};
}

Result<Instr> decode_st(Decoder& decoder, const Statement& statement, Modifiers& modifiers) {
  auto access = take_access(decoder, statement, modifiers, false);
  if (!access) return std::unexpected(access.error());
  if (auto count = decoder.expect_operands(statement, 2); !count)
    return std::unexpected(count.error());
  if (access->count > 1)
    return vector_access(decoder, statement.operands[1], statement.operands[0], *access, false);
  auto address = decoder.address(statement.operands[0], access->space, type_bytes(access->type));
  auto b = decoder.source(statement.operands[1], access->type, Width::AtLeast);
  if (!address || !b) return std::unexpected(!address ? address.error() : b.error());
  return Instr{.op = store_op(access->space, access->type),
               .flags = address->addr32 ? kAddr32 : std::uint8_t{0},
               .type = access->type,
               .a = address->base,
               .b = *b,
               .imm = address->offset};
}

Result<Instr> decode_atom(Decoder& decoder, const Statement& statement, Modifiers& modifiers) {
  auto form = take_atom_form(decoder, statement, modifiers);
  if (!form) return std::unexpected(form.error());
  const bool cas = form->op == AtomOp::Cas;
  if (auto count = decoder.expect_operands(statement, cas ? 4 : 3); !count)
    return std::unexpected(count.error());
  auto d = decoder.destination(statement.operands[0], form->type);
  auto address = decoder.address(statement.operands[1], form->space, type_bytes(form->type));
  auto b = decoder.source(statement.operands[2], form->type);
  if (!d || !address || !b)
    return std::unexpected(!d ? d.error() : !address ? address.error() : b.error());
  Instr instr{.op = atom_op_for(form->space, true),
              .mod = static_cast<std::uint8_t>(form->op),
              .flags = address->addr32 ? kAddr32 : std::uint8_t{0},
              .type = form->type,
              .d = *d,
              .a = address->base,
              .b = *b,
              .imm = address->offset};
  if (cas) {
    auto c = decoder.source(statement.operands[3], form->type);
    if (!c) return std::unexpected(c.error());
    instr.c = *c;
  }
  return instr;
}

Result<Instr> decode_red(Decoder& decoder, const Statement& statement, Modifiers& modifiers) {
  auto form = take_atom_form(decoder, statement, modifiers);
  if (!form) return std::unexpected(form.error());
  if (form->op == AtomOp::Cas || form->op == AtomOp::Exch)
    return decoder.error("red has no .cas or .exch form");
  if (auto count = decoder.expect_operands(statement, 2); !count)
    return std::unexpected(count.error());
  auto address = decoder.address(statement.operands[0], form->space, type_bytes(form->type));
  auto b = decoder.source(statement.operands[1], form->type);
  if (!address || !b) return std::unexpected(!address ? address.error() : b.error());
  return Instr{.op = atom_op_for(form->space, false),
               .mod = static_cast<std::uint8_t>(form->op),
               .flags = address->addr32 ? kAddr32 : std::uint8_t{0},
               .type = form->type,
               .a = address->base,
               .b = *b,
               .imm = address->offset};
}

}  // namespace vorlan::emu::ptx
