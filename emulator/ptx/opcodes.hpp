// The decoded instruction form. Every PTX statement becomes one Instr whose
// operands are slot indices into the executing thread's register file;
// immediates, special registers and symbol addresses live in slots too, so
// that one case body serves registers and constants alike. Opcodes are
// specialised by operand width (and signedness where it matters) at load time
// so that the interpreter's case bodies stay short and branch-free.
#pragma once

#include <cstdint>
#include <string_view>

#include "ptx/types.hpp"

namespace vorlan::emu::ptx {

// How the disassembler lays out an instruction's operands.
enum class Format : std::uint8_t {
  None,      // exit
  D,         // d
  DA,        // d, a
  DAB,       // d, a, b
  DABC,      // d, a, b, c
  Load,      // d, [a+imm]
  Store,     // [a+imm], b
  LoadVec,   // {d, b[, c, e]}, [a+imm]
  StoreVec,  // [a+imm], {d, b[, c, e]}
  Atom,      // d, [a+imm], b[, c]
  Red,       // [a+imm], b
  Branch,    // target pc in imm
  Setp,      // d[|e], a, b[, c]
  Shfl,      // d[|e], a, b, c, mask slot in imm
  Vote,      // d, a, b
  Bar,       // a[, b]
};

// X(name, mnemonic, format). Families that are specialised by type list
// their variants in a fixed order so that decoding can add a type index.
#define VORLAN_PTX_TYPED6(X, NAME, MNEMONIC, FORMAT) \
  X(NAME##U16, MNEMONIC, FORMAT)                     \
  X(NAME##U32, MNEMONIC, FORMAT)                     \
  X(NAME##U64, MNEMONIC, FORMAT)                     \
  X(NAME##S16, MNEMONIC, FORMAT)                     \
  X(NAME##S32, MNEMONIC, FORMAT)                     \
  X(NAME##S64, MNEMONIC, FORMAT)
#define VORLAN_PTX_TYPED4(X, NAME, MNEMONIC, FORMAT) \
  X(NAME##U16, MNEMONIC, FORMAT)                     \
  X(NAME##U32, MNEMONIC, FORMAT)                     \
  X(NAME##S16, MNEMONIC, FORMAT)                     \
  X(NAME##S32, MNEMONIC, FORMAT)
#define VORLAN_PTX_WIDTH2(X, NAME, MNEMONIC, FORMAT) \
  X(NAME##32, MNEMONIC, FORMAT)                      \
  X(NAME##64, MNEMONIC, FORMAT)
#define VORLAN_PTX_LOADS(X, NAME, MNEMONIC) \
  X(NAME##U8, MNEMONIC, Load)               \
  X(NAME##S8, MNEMONIC, Load)               \
  X(NAME##U16, MNEMONIC, Load)              \
  X(NAME##S16, MNEMONIC, Load)              \
  X(NAME##U32, MNEMONIC, Load)              \
  X(NAME##S32, MNEMONIC, Load)              \
  X(NAME##U64, MNEMONIC, Load)
#define VORLAN_PTX_STORES(X, NAME, MNEMONIC) \
  X(NAME##8, MNEMONIC, Store)                \
  X(NAME##16, MNEMONIC, Store)               \
  X(NAME##32, MNEMONIC, Store)               \
  X(NAME##64, MNEMONIC, Store)

#define VORLAN_PTX_OPCODES(X)                     \
  X(Nop, "fence", None)                           \
  X(Exit, "exit", None)                           \
  X(Ret, "ret", None)                             \
  X(Bra, "bra", Branch)                           \
  X(BarSync, "bar.sync", Bar)                     \
  X(BarWarpSync, "bar.warp.sync", Bar)            \
  X(Shfl, "shfl.sync", Shfl)                      \
  X(Vote, "vote.sync", Vote)                      \
  X(ActiveMask, "activemask", D)                  \
  X(Mov, "mov", DA)                               \
  X(Selp, "selp", DABC)                           \
  X(NotPred, "not", DA)                           \
  X(CvtaShared, "cvta.shared", DA)                \
  X(CvtaToShared, "cvta.to.shared", DA)           \
  VORLAN_PTX_WIDTH2(X, Add, "add", DAB)           \
  VORLAN_PTX_WIDTH2(X, Sub, "sub", DAB)           \
  VORLAN_PTX_WIDTH2(X, MulLo, "mul.lo", DAB)      \
  VORLAN_PTX_WIDTH2(X, MadLo, "mad.lo", DABC)     \
  VORLAN_PTX_WIDTH2(X, And, "and", DAB)           \
  VORLAN_PTX_WIDTH2(X, Or, "or", DAB)             \
  VORLAN_PTX_WIDTH2(X, Xor, "xor", DAB)           \
  VORLAN_PTX_WIDTH2(X, Not, "not", DA)            \
  VORLAN_PTX_WIDTH2(X, Neg, "neg", DA)            \
  VORLAN_PTX_WIDTH2(X, Shl, "shl", DAB)           \
  VORLAN_PTX_WIDTH2(X, Popc, "popc", DA)          \
  VORLAN_PTX_WIDTH2(X, Clz, "clz", DA)            \
  VORLAN_PTX_TYPED6(X, MulHi, "mul.hi", DAB)      \
  VORLAN_PTX_TYPED6(X, MadHi, "mad.hi", DABC)     \
  VORLAN_PTX_TYPED6(X, Div, "div", DAB)           \
  VORLAN_PTX_TYPED6(X, Rem, "rem", DAB)           \
  VORLAN_PTX_TYPED6(X, Min, "min", DAB)           \
  VORLAN_PTX_TYPED6(X, Max, "max", DAB)           \
  VORLAN_PTX_TYPED6(X, Shr, "shr", DAB)           \
  VORLAN_PTX_TYPED6(X, Abs, "abs", DA)            \
  VORLAN_PTX_TYPED4(X, MulWide, "mul.wide", DAB)  \
  VORLAN_PTX_TYPED4(X, MadWide, "mad.wide", DABC) \
  VORLAN_PTX_WIDTH2(X, SetpEq, "setp.eq", Setp)   \
  VORLAN_PTX_WIDTH2(X, SetpNe, "setp.ne", Setp)   \
  VORLAN_PTX_WIDTH2(X, SetpLtU, "setp.lt", Setp)  \
  VORLAN_PTX_WIDTH2(X, SetpLeU, "setp.le", Setp)  \
  VORLAN_PTX_WIDTH2(X, SetpLtS, "setp.lt", Setp)  \
  VORLAN_PTX_WIDTH2(X, SetpLeS, "setp.le", Setp)  \
  X(Setp, "setp", Setp)                           \
  X(CvtZext32, "cvt", DA)                         \
  X(CvtSext32, "cvt", DA)                         \
  X(CvtInt, "cvt", DA)                            \
  X(Cvt, "cvt", DA)                               \
  X(AddF32, "add", DAB)                           \
  X(SubF32, "sub", DAB)                           \
  X(MulF32, "mul", DAB)                           \
  X(FmaF32, "fma.rn", DABC)                       \
  X(DivF32, "div.rn", DAB)                        \
  X(NegF32, "neg", DA)                            \
  X(AbsF32, "abs", DA)                            \
  X(MinF32, "min", DAB)                           \
  X(MaxF32, "max", DAB)                           \
  X(AddF64, "add", DAB)                           \
  X(SubF64, "sub", DAB)                           \
  X(MulF64, "mul", DAB)                           \
  X(FmaF64, "fma.rn", DABC)                       \
  X(DivF64, "div.rn", DAB)                        \
  X(NegF64, "neg", DA)                            \
  X(AbsF64, "abs", DA)                            \
  X(MinF64, "min", DAB)                           \
  X(MaxF64, "max", DAB)                           \
  X(Float, "", DABC)                              \
  VORLAN_PTX_LOADS(X, LdGlobal, "ld.global")      \
  VORLAN_PTX_LOADS(X, LdShared, "ld.shared")      \
  VORLAN_PTX_LOADS(X, LdGeneric, "ld")            \
  VORLAN_PTX_LOADS(X, LdParam, "ld.param")        \
  VORLAN_PTX_STORES(X, StGlobal, "st.global")     \
  VORLAN_PTX_STORES(X, StShared, "st.shared")     \
  VORLAN_PTX_STORES(X, StGeneric, "st")           \
  X(LdVec, "ld", LoadVec)                         \
  X(StVec, "st", StoreVec)                        \
  X(AtomGlobal, "atom.global", Atom)              \
  X(AtomShared, "atom.shared", Atom)              \
  X(AtomGeneric, "atom", Atom)                    \
  X(RedGlobal, "red.global", Red)                 \
  X(RedShared, "red.shared", Red)                 \
  X(RedGeneric, "red", Red)

enum class Op : std::uint16_t {
#define VORLAN_PTX_ENUM(name, mnemonic, format) name,
  VORLAN_PTX_OPCODES(VORLAN_PTX_ENUM)
#undef VORLAN_PTX_ENUM
      Count
};

std::string_view op_mnemonic(Op op);
Format op_format(Op op);

// Index of a type within a VORLAN_PTX_TYPED6 family (U16 U32 U64 S16 S32 S64).
constexpr int typed6_index(Type type) {
  switch (type) {
    case Type::U16:
    case Type::B16:
      return 0;
    case Type::U32:
    case Type::B32:
      return 1;
    case Type::U64:
    case Type::B64:
      return 2;
    case Type::S16:
      return 3;
    case Type::S32:
      return 4;
    case Type::S64:
      return 5;
    default:
      return -1;
  }
}
// Index within a VORLAN_PTX_TYPED4 family (U16 U32 S16 S32).
constexpr int typed4_index(Type type) {
  switch (type) {
    case Type::U16:
      return 0;
    case Type::U32:
      return 1;
    case Type::S16:
      return 2;
    case Type::S32:
      return 3;
    default:
      return -1;
  }
}
constexpr Op op_plus(Op base, int index) {
  return static_cast<Op>(static_cast<std::uint16_t>(base) + static_cast<std::uint16_t>(index));
}

// Sub-operations carried in Instr::mod.
enum class Compare : std::uint8_t {
  Eq,
  Ne,
  Lt,
  Le,
  Gt,
  Ge,
  Lo,
  Ls,
  Hi,
  Hs,
  Equ,
  Neu,
  Ltu,
  Leu,
  Gtu,
  Geu,
  Num,
  Nan
};
enum class BoolOp : std::uint8_t { None, And, Or, Xor };
enum class FloatFn : std::uint8_t {
  Add,
  Sub,
  Mul,
  Fma,
  Div,
  DivApprox,
  DivFull,
  Rcp,
  RcpApprox,
  Sqrt,
  SqrtApprox,
  Abs,
  Neg,
  Min,
  Max
};
enum class ShflMode : std::uint8_t { Up, Down, Bfly, Idx };
enum class VoteMode : std::uint8_t { All, Any, Uni, Ballot };
enum class AtomOp : std::uint8_t { And, Or, Xor, Cas, Exch, Add, Inc, Dec, Min, Max };
enum class Space : std::uint8_t { Global, Shared, Generic, Param };
enum class Rounding : std::uint8_t { Nearest, Zero, Down, Up };

// Bits of Instr::flags; several are private to one family.
inline constexpr std::uint8_t kAddr32 = 0x01;       // memory: the base register is 32 bits wide
inline constexpr std::uint8_t kFtz = 0x02;          // float: flush subnormals to zero
inline constexpr std::uint8_t kNonCoherent = 0x02;  // ld.global: .nc, through the read-only cache
inline constexpr std::uint8_t kSat = 0x04;          // float / cvt: saturate
inline constexpr std::uint8_t kNegate = 0x08;       // setp: !c; vote: !a
inline constexpr std::uint8_t kRoundShift = 4;      // float / cvt: Rounding in bits 4-5
inline constexpr std::uint8_t kRoundMask = 0x30;
inline constexpr std::uint8_t kIntRound = 0x40;       // cvt: the .rni/.rzi/.rmi/.rpi forms
inline constexpr std::uint8_t kBoolShift = 4;         // setp: BoolOp in bits 4-5
inline constexpr std::uint8_t kHasCount = 0x80;       // bar.sync: b holds a thread count
inline constexpr std::uint8_t kVector4 = 0x80;        // ld/st vector: four elements, else two
inline constexpr std::uint8_t kExplicitRound = 0x80;  // float: the rounding was written out

// Slots every kernel has: slot 0 always reads 1 (the guard of unguarded
// instructions), slot 1 swallows writes to the sink `_`.
inline constexpr std::uint16_t kTrueSlot = 0;
inline constexpr std::uint16_t kSinkSlot = 1;

struct Instr {
  Op op = Op::Nop;
  std::uint8_t mod = 0;  // Compare, FloatFn, ShflMode, VoteMode, AtomOp, Space or cvt source Type
  std::uint8_t flags = 0;
  std::uint16_t guard = kTrueSlot;
  std::uint8_t guard_negated = 0;  // 1 for @!p
  Type type = Type::B32;           // the instruction's (destination) type
  std::uint16_t d = kSinkSlot, a = kTrueSlot, b = kTrueSlot, c = kTrueSlot, e = kSinkSlot;
  std::int32_t imm = 0;  // address offset, branch target or mask slot
};
static_assert(sizeof(Instr) <= 24, "keep decoded instructions compact");

constexpr Rounding rounding_of(const Instr& in) {
  return static_cast<Rounding>((in.flags & kRoundMask) >> kRoundShift);
}

}  // namespace vorlan::emu::ptx
