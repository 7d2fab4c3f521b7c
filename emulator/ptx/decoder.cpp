#include "ptx/decoder.hpp"

#include <algorithm>
#include <bit>
#include <format>
#include <unordered_set>

#include "launch_limits.hpp"
#include "ptx/instruction_table.hpp"

namespace vorlan::emu::ptx {
namespace {

using vorlan::cuda::CUDA_ERROR_INVALID_PTX;

constexpr std::uint32_t kMaxStaticShared = 48 * 1024;
constexpr std::uint32_t kDynamicSharedAlign = 16;

constexpr std::uint64_t align_up(std::uint64_t value, std::uint64_t align) {
  return (value + align - 1) / align * align;
}

struct SpecialName {
  std::string_view name;
  Special which;
};
constexpr SpecialName kSpecials[] = {
    {"%tid.x", Special::TidX},
    {"%tid.y", Special::TidY},
    {"%tid.z", Special::TidZ},
    {"%ntid.x", Special::NtidX},
    {"%ntid.y", Special::NtidY},
    {"%ntid.z", Special::NtidZ},
    {"%ctaid.x", Special::CtaidX},
    {"%ctaid.y", Special::CtaidY},
    {"%ctaid.z", Special::CtaidZ},
    {"%nctaid.x", Special::NctaidX},
    {"%nctaid.y", Special::NctaidY},
    {"%nctaid.z", Special::NctaidZ},
    {"%laneid", Special::LaneId},
    {"%warpid", Special::WarpId},
    {"%nwarpid", Special::NWarpId},
    {"%lanemask_eq", Special::LanemaskEq},
    {"%lanemask_lt", Special::LanemaskLt},
    {"%lanemask_le", Special::LanemaskLe},
    {"%lanemask_gt", Special::LanemaskGt},
    {"%lanemask_ge", Special::LanemaskGe},
};

bool is_bit_type(Type type) {
  return type == Type::B8 || type == Type::B16 || type == Type::B32 || type == Type::B64;
}

// ptxas's operand type check: a .bN register suits any instruction type and
// a .bN instruction any register; otherwise floats and integers do not mix
// (signed and unsigned do).
bool kinds_agree(Type declared, Type type) {
  if (is_bit_type(declared) || is_bit_type(type)) return true;
  return is_float(declared) == is_float(type);
}

std::string constant_name(std::uint64_t bits) {
  return bits < 0x10000 ? std::to_string(bits) : std::format("0x{:x}", bits);
}

std::unordered_set<std::string_view> referenced_names(const EntrySyntax& entry) {
  std::unordered_set<std::string_view> names;
  for (const auto& statement : entry.body) {
    for (const auto& operand : statement.operands) {
      names.insert(operand.name);
      for (const auto& element : operand.elements) names.insert(element.name);
    }
  }
  return names;
}

}  // namespace

// ----- Modifiers -----

bool Modifiers::take(std::string_view modifier) {
  const auto found = std::ranges::find(list_, modifier);
  if (found == list_.end()) return false;
  list_.erase(found);
  return true;
}

std::optional<std::size_t> Modifiers::take_one_of(std::span<const std::string_view> choices) {
  for (std::size_t i = 0; i < choices.size(); ++i) {
    if (take(choices[i])) return i;
  }
  return std::nullopt;
}

std::optional<Type> Modifiers::take_type() {
  for (auto it = list_.begin(); it != list_.end(); ++it) {
    if (auto type = parse_type(*it)) {
      list_.erase(it);
      return type;
    }
  }
  return std::nullopt;
}

std::optional<std::string_view> Modifiers::leftover() const {
  if (list_.empty()) return std::nullopt;
  return list_.front();
}

// ----- Decoder: layout -----

Decoder::Decoder(const EntrySyntax& entry, const std::vector<SharedDecl>& module_shared,
                 KernelImage& out)
    : entry_(entry), module_shared_(module_shared), out_(out) {}

Result<void> Decoder::run() {
  out_.name_ = entry_.name;
  out_.max_threads_ = entry_.max_threads;
  out_.required_threads_ = entry_.required_threads;
  line_ = entry_.line;
  if (auto slot = new_slot("1"); !slot) return std::unexpected(slot.error());
  out_.initial_slots_[kTrueSlot] = 1;
  if (auto slot = new_slot("_"); !slot) return std::unexpected(slot.error());
  for (auto step :
       {&Decoder::lay_out_params, &Decoder::declare_registers, &Decoder::lay_out_shared}) {
    if (auto done = (this->*step)(); !done) return done;
  }
  for (const auto& statement : entry_.body) {
    if (auto done = decode_statement(statement); !done) return done;
  }
  for (const auto& [name, index] : entry_.labels)
    out_.labels_.emplace_back(static_cast<std::uint32_t>(index), name);
  // Falling off the end of a kernel ends the thread, as `ret` would.
  out_.code_.push_back(Instr{.op = Op::Exit});
  out_.lines_.push_back(entry_.body.empty() ? entry_.line : entry_.body.back().line);
  return {};
}

Result<void> Decoder::lay_out_params() {
  std::uint64_t offset = 0;
  for (const auto& param : entry_.params) {
    line_ = param.line;
    offset = align_up(offset, param.align);
    const std::uint64_t bytes = std::uint64_t{type_bytes(param.type)} * param.count;
    if (offset + bytes > 4096) return error("kernel parameters exceed 4096 bytes");
    out_.param_layouts_.push_back(
        ParamLayout{static_cast<std::uint32_t>(offset), static_cast<std::uint32_t>(bytes)});
    out_.param_names_.push_back(ParamName{static_cast<std::uint32_t>(offset), param.name});
    params_.emplace(param.name, ParamSymbol{static_cast<std::uint32_t>(offset),
                                            static_cast<std::uint32_t>(bytes)});
    offset += bytes;
  }
  out_.param_bytes_ = static_cast<std::uint32_t>(offset);
  return {};
}

Result<void> Decoder::declare_registers() {
  for (const auto& decl : entry_.registers) {
    line_ = decl.line;
    if (registers_.contains(decl.name) || params_.contains(decl.name)) {
      return error("'" + decl.name + "' is declared twice");
    }
    auto slot = new_slot(decl.name);
    if (!slot) return std::unexpected(slot.error());
    registers_.emplace(decl.name, Register{*slot, decl.type});
  }
  return {};
}

// Static variables first (the entry's own, then the module's that it uses),
// then the dynamic region, which every .extern array names from its start.
Result<void> Decoder::lay_out_shared() {
  const auto used = referenced_names(entry_);
  std::vector<const SharedDecl*> externs;
  for (const auto& decl : entry_.shared) {
    if (decl.is_extern) {
      externs.push_back(&decl);
    } else if (auto placed = place_shared(decl); !placed) {
      return placed;
    }
  }
  for (const auto& decl : module_shared_) {
    if (!used.contains(decl.name) || shared_.contains(decl.name)) continue;
    if (decl.is_extern) {
      externs.push_back(&decl);
    } else if (auto placed = place_shared(decl); !placed) {
      return placed;
    }
  }
  std::uint32_t align = kDynamicSharedAlign;
  for (const auto* decl : externs) align = std::max(align, decl->align);
  out_.dynamic_shared_offset_ = static_cast<std::uint32_t>(align_up(out_.static_shared_, align));
  for (const auto* decl : externs) {
    line_ = decl->line;
    if (!shared_.emplace(decl->name, SharedSymbol{out_.dynamic_shared_offset_, 0}).second) {
      return error("'" + decl->name + "' is declared twice");
    }
  }
  return {};
}

Result<void> Decoder::place_shared(const SharedDecl& decl) {
  line_ = decl.line;
  const std::uint64_t offset = align_up(out_.static_shared_, decl.align);
  const std::uint64_t bytes = std::uint64_t{type_bytes(decl.type)} * decl.count;
  if (offset + bytes > kMaxStaticShared) return error("static shared memory exceeds 48 KiB");
  if (!shared_.emplace(decl.name, SharedSymbol{static_cast<std::uint32_t>(offset), bytes}).second) {
    return error("'" + decl.name + "' is declared twice");
  }
  out_.static_shared_ = static_cast<std::uint32_t>(offset + bytes);
  return {};
}

Result<std::uint16_t> Decoder::new_slot(std::string name) {
  if (out_.initial_slots_.size() >= 0xFFFF)
    return error("too many registers and constants in one kernel");
  out_.initial_slots_.push_back(0);
  out_.slot_names_.push_back(std::move(name));
  return static_cast<std::uint16_t>(out_.initial_slots_.size() - 1);
}

std::uint16_t Decoder::constant(std::uint64_t bits) {
  if (auto found = constants_.find(bits); found != constants_.end()) return found->second;
  auto slot = new_slot(constant_name(bits));
  if (!slot) return kSinkSlot;  // reported by the slot-count check in run()
  out_.initial_slots_[*slot] = bits;
  constants_.emplace(bits, *slot);
  return *slot;
}

std::optional<std::uint16_t> Decoder::special(std::string_view name) {
  if (auto found = specials_.find(std::string(name)); found != specials_.end())
    return found->second;
  for (const auto& entry : kSpecials) {
    if (entry.name != name) continue;
    auto slot = new_slot(std::string(name));
    if (!slot) return std::nullopt;
    out_.specials_.push_back(SpecialSlot{*slot, entry.which});
    specials_.emplace(std::string(name), *slot);
    return *slot;
  }
  return std::nullopt;
}

// ----- Decoder: statements -----

Result<void> Decoder::decode_statement(const Statement& statement) {
  line_ = statement.line;
  const FamilyDecoder family = find_family(statement.opcode);
  if (family == nullptr) return error("unsupported instruction '" + statement.opcode + "'");
  Modifiers modifiers(statement.modifiers);
  auto instr = family(*this, statement, modifiers);
  if (!instr) return std::unexpected(instr.error());
  if (auto extra = modifiers.leftover()) {
    return error("unsupported modifier '" + std::string(*extra) + "' on " + statement.opcode);
  }
  auto guarded = decode_guard(statement, *instr);
  if (!guarded) return std::unexpected(guarded.error());
  if (out_.initial_slots_.size() >= 0xFFFF)
    return error("too many registers and constants in one kernel");
  out_.code_.push_back(*guarded);
  out_.lines_.push_back(statement.line);
  return {};
}

Result<Instr> Decoder::decode_guard(const Statement& statement, Instr instr) {
  if (statement.guard.empty()) return instr;
  auto slot = predicate(Operand{.kind = Operand::Kind::Name, .name = statement.guard});
  if (!slot) return std::unexpected(slot.error());
  instr.guard = *slot;
  instr.guard_negated = statement.guard_negated ? 1 : 0;
  return instr;
}

// ----- Decoder: operands -----

std::unexpected<PtxError> Decoder::error(std::string reason) const {
  return std::unexpected(PtxError{CUDA_ERROR_INVALID_PTX, line_, std::move(reason)});
}

Result<void> Decoder::expect_operands(const Statement& statement, std::size_t count) const {
  if (statement.operands.size() != count) {
    return error(std::format("{} takes {} operands, found {}", statement.opcode, count,
                             statement.operands.size()));
  }
  return {};
}

std::optional<Type> Decoder::register_type(std::string_view name) const {
  const auto found = registers_.find(std::string(name));
  if (found == registers_.end()) return std::nullopt;
  return found->second.type;
}

Result<std::uint16_t> Decoder::register_operand(std::string_view name, Type type,
                                                Width width) const {
  const auto found = registers_.find(std::string(name));
  if (found == registers_.end()) return error("unknown register '" + std::string(name) + "'");
  const Type declared = found->second.type;
  if ((declared == Type::Pred) != (type == Type::Pred)) {
    return error(std::format("register '{}' is .{}, not usable as .{}", name, type_name(declared),
                             type_name(type)));
  }
  if (!kinds_agree(declared, type)) {
    return error(std::format("register '{}' is .{}, not usable as .{}", name, type_name(declared),
                             type_name(type)));
  }
  const bool fits = width == Width::Exact ? type_bits(declared) == type_bits(type)
                                          : type_bits(declared) >= type_bits(type);
  if (!fits) {
    return error(std::format("register '{}' is .{}, too {} for .{}", name, type_name(declared),
                             type_bits(declared) < type_bits(type) ? "narrow" : "wide",
                             type_name(type)));
  }
  return found->second.slot;
}

Result<std::uint64_t> Decoder::immediate(const Operand& operand, Type type) const {
  if (type == Type::Pred) return error("a constant cannot stand for a predicate");
  if (operand.kind == Operand::Kind::Integer) {
    const auto value = static_cast<std::int64_t>(operand.bits);
    if (type == Type::F32) return std::bit_cast<std::uint32_t>(static_cast<float>(value));
    if (type == Type::F64) return std::bit_cast<std::uint64_t>(static_cast<double>(value));
    return operand.bits;
  }
  if (!is_float(type))
    return error("a floating-point constant cannot stand for an integer operand");
  if (type == Type::F32) {
    if (operand.single) return operand.bits;
    return std::bit_cast<std::uint32_t>(static_cast<float>(std::bit_cast<double>(operand.bits)));
  }
  if (!operand.single) return operand.bits;
  return std::bit_cast<std::uint64_t>(
      static_cast<double>(std::bit_cast<float>(static_cast<std::uint32_t>(operand.bits))));
}

Result<std::uint16_t> Decoder::source(const Operand& operand, Type type, Width width) {
  switch (operand.kind) {
    case Operand::Kind::Integer:
    case Operand::Kind::Float: {
      auto bits = immediate(operand, type);
      if (!bits) return std::unexpected(bits.error());
      return constant(*bits);
    }
    case Operand::Kind::Name:
      break;
    default:
      return error("expected a register or a constant");
  }
  if (operand.negated) return error("'!' applies only to predicate operands");
  if (registers_.contains(operand.name)) return register_operand(operand.name, type, width);
  if (operand.name == "WARP_SZ" && is_integer(type)) return constant(kWarpSize);
  if (auto slot = special(operand.name)) {
    if (!is_integer(type) || type_bits(type) > 32)
      return error(operand.name + " is a 32-bit integer register");
    return *slot;
  }
  return error("unknown register '" + operand.name + "'");
}

Result<std::uint16_t> Decoder::source_or_symbol(const Operand& operand, Type type) {
  if (operand.kind == Operand::Kind::Name && !registers_.contains(operand.name)) {
    const bool address_type = is_integer(type) && type_bits(type) >= 32;
    if (auto found = shared_.find(operand.name); found != shared_.end()) {
      if (!address_type)
        return error("the address of '" + operand.name + "' needs a 32- or 64-bit type");
      return constant(found->second.offset);
    }
    if (auto found = params_.find(operand.name); found != params_.end()) {
      if (!address_type)
        return error("the address of '" + operand.name + "' needs a 32- or 64-bit type");
      return constant(found->second.offset);
    }
  }
  return source(operand, type);
}

Result<std::uint16_t> Decoder::destination(const Operand& operand, Type type, Width width) {
  if (operand.kind != Operand::Kind::Name || operand.negated)
    return error("expected a destination register");
  if (operand.name == "_") return kSinkSlot;
  if (!registers_.contains(operand.name)) {
    if (special(operand.name)) return error(operand.name + " cannot be written");
    return error("unknown register '" + operand.name + "'");
  }
  return register_operand(operand.name, type, width);
}

Result<std::uint16_t> Decoder::predicate(const Operand& operand) {
  if (operand.kind != Operand::Kind::Name) return error("expected a predicate register");
  return register_operand(operand.name, Type::Pred, Width::Exact);
}

Result<std::uint16_t> Decoder::predicate_destination(const Operand& operand) {
  if (operand.kind == Operand::Kind::Name && operand.name == "_" && !operand.negated)
    return kSinkSlot;
  if (operand.negated) return error("a destination cannot be negated");
  return predicate(operand);
}

Result<AddressOperand> Decoder::address(const Operand& operand, Space space,
                                        unsigned access_bytes) {
  if (operand.kind != Operand::Kind::Address) return error("expected an address [...]");
  const auto offset = static_cast<std::int32_t>(operand.offset);
  if (operand.name.empty())
    return error("an address needs a register or a variable; [constant] is only for .local");
  if (auto found = registers_.find(operand.name); found != registers_.end()) {
    const unsigned bits = type_bits(found->second.type);
    if (found->second.type == Type::Pred || (bits != 32 && bits != 64)) {
      return error("address register '" + operand.name + "' must be 32 or 64 bits wide");
    }
    return AddressOperand{found->second.slot, offset, bits == 32};
  }
  if (auto found = shared_.find(operand.name); found != shared_.end()) {
    if (space == Space::Shared)
      return AddressOperand{constant(found->second.offset), offset, false};
    if (space == Space::Generic)
      return AddressOperand{constant(kSharedWindow + found->second.offset), offset, false};
    return error("'" + operand.name + "' is a .shared variable");
  }
  if (auto found = params_.find(operand.name); found != params_.end()) {
    if (space != Space::Param)
      return error("'" + operand.name + "' is a kernel parameter; use ld.param");
    if (operand.offset < 0 || operand.offset + access_bytes > found->second.bytes) {
      return error("access outside parameter '" + operand.name + "'");
    }
    return AddressOperand{constant(0),
                          static_cast<std::int32_t>(found->second.offset + operand.offset), false};
  }
  return error("unknown name '" + operand.name + "' in address");
}

Result<std::int32_t> Decoder::label(const Operand& operand) const {
  if (operand.kind != Operand::Kind::Name) return error("expected a label");
  const auto found = entry_.labels.find(operand.name);
  if (found == entry_.labels.end()) return error("unknown label '" + operand.name + "'");
  return static_cast<std::int32_t>(found->second);
}

}  // namespace vorlan::emu::ptx
