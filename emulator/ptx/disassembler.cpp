#include "ptx/disassembler.hpp"

#include <array>
#include <format>

namespace vorlan::emu::ptx {
namespace {

constexpr std::array<std::string_view, 18> kCompareNames = {
    "eq", "ne",  "lt",  "le",  "gt",  "ge",  "lo",  "ls",  "hi",
    "hs", "equ", "neu", "ltu", "leu", "gtu", "geu", "num", "nan"};
constexpr std::array<std::string_view, 4> kBoolNames = {"", ".and", ".or", ".xor"};
constexpr std::array<std::string_view, 15> kFloatNames = {
    "add",        "sub",  "mul",         "fma", "div", "div.approx", "div.full", "rcp",
    "rcp.approx", "sqrt", "sqrt.approx", "abs", "neg", "min",        "max"};
constexpr std::array<std::string_view, 4> kRoundNames = {".rn", ".rz", ".rm", ".rp"};
constexpr std::array<std::string_view, 4> kIntRoundNames = {".rni", ".rzi", ".rmi", ".rpi"};
constexpr std::array<std::string_view, 4> kShflNames = {"up", "down", "bfly", "idx"};
constexpr std::array<std::string_view, 4> kVoteNames = {"all", "any", "uni", "ballot"};
constexpr std::array<std::string_view, 10> kAtomNames = {"and", "or",  "xor", "cas", "exch",
                                                         "add", "inc", "dec", "min", "max"};
constexpr std::array<std::string_view, 4> kSpaceNames = {".global", ".shared", "", ".param"};

class Printer {
 public:
  Printer(const KernelImage& kernel, const Instr& in) : kernel_(kernel), in_(in) {}

  std::string mnemonic() const {
    const std::string type = "." + std::string(type_name(in_.type));
    switch (in_.op) {
      case Op::Nop:
      case Op::Exit:
      case Op::Ret:
      case Op::Bra:
      case Op::BarSync:
      case Op::BarWarpSync:
        return std::string(op_mnemonic(in_.op));
      case Op::Setp:
        return std::format("setp.{}{}{}{}", kCompareNames[in_.mod],
                           kBoolNames[(in_.flags >> kBoolShift) & 3], ftz(), type);
      case Op::Float:
        return std::format("{}{}{}{}{}", kFloatNames[in_.mod], rounding(), ftz(), sat(), type);
      case Op::CvtZext32:
      case Op::CvtSext32:
      case Op::CvtInt:
      case Op::Cvt:
        return std::format("cvt{}{}{}{}.{}", rounding(), ftz(), sat(), type,
                           type_name(static_cast<Type>(in_.mod)));
      case Op::LdVec:
      case Op::StVec:
        return std::format("{}{}{}.v{}{}", op_mnemonic(in_.op), kSpaceNames[in_.mod],
                           non_coherent(), (in_.flags & kVector4) ? 4 : 2, type);
      case Op::Shfl:
        return std::format("shfl.sync.{}.b32", kShflNames[in_.mod]);
      case Op::Vote:
        return std::format("vote.sync.{}{}", kVoteNames[in_.mod], type);
      case Op::NotPred:
        return "not.pred";
      default:
        break;
    }
    if (op_format(in_.op) == Format::Atom || op_format(in_.op) == Format::Red) {
      return std::format("{}.{}{}", op_mnemonic(in_.op), kAtomNames[in_.mod], type);
    }
    return std::string(op_mnemonic(in_.op)) + non_coherent() + type;
  }

  // Loads alone may carry .nc, which shares its flag bit with other families' qualifiers.
  const char* non_coherent() const {
    const bool load = op_format(in_.op) == Format::Load || in_.op == Op::LdVec;
    return load && (in_.flags & kNonCoherent) ? ".nc" : "";
  }

  std::string operands() const {
    switch (op_format(in_.op)) {
      case Format::None:
        return "";
      case Format::D:
        return slot(in_.d);
      case Format::DA:
        return list({in_.d, in_.a});
      case Format::DAB:
        return list({in_.d, in_.a, in_.b});
      case Format::DABC:
        return list({in_.d, in_.a, in_.b, in_.c});
      case Format::Load:
        return slot(in_.d) + ", " + address();
      case Format::Store:
        return address() + ", " + slot(in_.b);
      case Format::LoadVec:
        return vector() + ", " + address();
      case Format::StoreVec:
        return address() + ", " + vector();
      case Format::Atom:
        return slot(in_.d) + ", " + address() + ", " + slot(in_.b) +
               (in_.mod == static_cast<std::uint8_t>(AtomOp::Cas) ? ", " + slot(in_.c) : "");
      case Format::Red:
        return address() + ", " + slot(in_.b);
      case Format::Branch:
        return label(static_cast<std::uint32_t>(in_.imm));
      case Format::Setp:
        return setp();
      case Format::Shfl:
        return pair() + ", " + list({in_.a, in_.b, in_.c, static_cast<std::uint16_t>(in_.imm)});
      case Format::Vote:
        return slot(in_.d) + ", " + negation() + slot(in_.a) + ", " + slot(in_.b);
      case Format::Bar:
        return (in_.flags & kHasCount) ? list({in_.a, in_.b}) : slot(in_.a);
    }
    return "";
  }

 private:
  std::string ftz() const { return (in_.flags & kFtz) ? ".ftz" : ""; }
  std::string sat() const { return (in_.flags & kSat) ? ".sat" : ""; }
  std::string negation() const { return (in_.flags & kNegate) ? "!" : ""; }
  std::string rounding() const {
    if (!(in_.flags & kExplicitRound)) return "";
    const auto index = static_cast<std::size_t>(rounding_of(in_));
    return std::string((in_.flags & kIntRound) ? kIntRoundNames[index] : kRoundNames[index]);
  }
  std::string slot(std::uint16_t index) const { return kernel_.slot_names_.at(index); }
  std::string list(std::initializer_list<std::uint16_t> slots) const {
    std::string text;
    for (auto index : slots) text += (text.empty() ? "" : ", ") + slot(index);
    return text;
  }
  std::string pair() const { return slot(in_.d) + (in_.e != kSinkSlot ? "|" + slot(in_.e) : ""); }
  std::string setp() const {
    std::string text = pair() + ", " + list({in_.a, in_.b});
    if ((in_.flags >> kBoolShift) & 3) text += ", " + negation() + slot(in_.c);
    return text;
  }
  std::string vector() const {
    if (in_.flags & kVector4) return "{" + list({in_.d, in_.b, in_.c, in_.e}) + "}";
    return "{" + list({in_.d, in_.b}) + "}";
  }
  std::string label(std::uint32_t pc) const {
    for (const auto& [where, name] : kernel_.labels_) {
      if (where == pc) return name;
    }
    return std::format("pc{}", pc);
  }
  std::string address() const {
    const bool param =
        (in_.op >= Op::LdParamU8 && in_.op <= Op::LdParamU64) ||
        ((in_.op == Op::LdVec) && in_.mod == static_cast<std::uint8_t>(Space::Param));
    if (param && slot(in_.a) == "0" && !kernel_.param_names_.empty()) return param_address();
    return "[" + slot(in_.a) + offset(in_.imm) + "]";
  }
  std::string param_address() const {
    const ParamName* best = &kernel_.param_names_.front();
    for (const auto& name : kernel_.param_names_) {
      if (name.offset <= static_cast<std::uint32_t>(in_.imm)) best = &name;
    }
    return "[" + best->name + offset(in_.imm - static_cast<std::int32_t>(best->offset)) + "]";
  }
  static std::string offset(std::int32_t value) {
    if (value == 0) return "";
    return value > 0 ? std::format("+{}", value) : std::format("{}", value);
  }

  const KernelImage& kernel_;
  const Instr& in_;
};

}  // namespace

std::string disassemble(const KernelImage& kernel, std::size_t pc) {
  const Instr& in = kernel.code_.at(pc);
  const Printer printer(kernel, in);
  std::string text;
  if (in.guard != kTrueSlot)
    text = std::format("@{}{} ", in.guard_negated ? "!" : "", kernel.slot_names_.at(in.guard));
  text += printer.mnemonic();
  const std::string operands = printer.operands();
  if (!operands.empty()) text += " " + operands;
  return text + ";";
}

}  // namespace vorlan::emu::ptx
