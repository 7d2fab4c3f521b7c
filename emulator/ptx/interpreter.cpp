// The dispatch loop. One switch over the decoded opcodes; each case body is a
// line or two, with the type-specialised families generated from short
// macros. Registers, constants and special registers are all slots, so no
// case ever asks what kind of operand it has.
#include "ptx/interpreter.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "ptx/atomics.hpp"
#include "ptx/disassembler.hpp"
#include "ptx/float_ops.hpp"
#include "ptx/int_ops.hpp"

namespace vorlan::emu::ptx {
namespace {

using u16 = std::uint16_t;
using u32 = std::uint32_t;
using u64 = std::uint64_t;
using s16 = std::int16_t;
using s32 = std::int32_t;
using s64 = std::int64_t;

struct TraceSite {
  Dim3 block_dim;
  Dim3 block_id;
};

inline Reg address_of(const Reg* r, const Instr& in) {
  Reg base = r[in.a];
  if (in.flags & kAddr32) base = static_cast<u32>(base);
  return base + static_cast<Reg>(static_cast<s64>(in.imm));
}

template <class T>
inline T wrap_add(T a, T b) {
  using U = std::make_unsigned_t<T>;
  return static_cast<T>(static_cast<U>(a) + static_cast<U>(b));
}

template <class T, class F>
inline void unary(Reg* r, const Instr& in, F f) {
  r[in.d] = bits_of<T>(static_cast<T>(f(as<T>(r[in.a]))));
}
template <class T, class F>
inline void binary(Reg* r, const Instr& in, F f) {
  r[in.d] = bits_of<T>(static_cast<T>(f(as<T>(r[in.a]), as<T>(r[in.b]))));
}
template <class T, class F>
inline void ternary(Reg* r, const Instr& in, F f) {
  r[in.d] = bits_of<T>(static_cast<T>(f(as<T>(r[in.a]), as<T>(r[in.b]), as<T>(r[in.c]))));
}

inline bool combine(BoolOp op, bool value, bool c) {
  switch (op) {
    case BoolOp::And:
      return value && c;
    case BoolOp::Or:
      return value || c;
    case BoolOp::Xor:
      return value != c;
    default:
      return value;
  }
}

inline void setp(Reg* r, const Instr& in) {
  const bool result = compare_generic(in, r[in.a], r[in.b]);
  const bool c = ((r[in.c] & 1) != 0) != ((in.flags & kNegate) != 0);
  const auto op = static_cast<BoolOp>((in.flags >> kBoolShift) & 3);
  r[in.d] = combine(op, result, c);
  r[in.e] = combine(op, !result, c);
}

inline Reg convert_int(const Instr& in, Reg a) {
  const auto from = static_cast<Type>(in.mod);
  return extend(extend(a, type_bits(from), is_signed(from)), type_bits(in.type),
                is_signed(in.type));
}

inline Reg load_element(const std::byte* from, Type type) {
  switch (type) {
    case Type::S8:
      return load_value<std::int8_t>(from);
    case Type::S16:
      return load_value<s16>(from);
    case Type::S32:
      return load_value<s32>(from);
    default:
      break;
  }
  switch (type_bytes(type)) {
    case 1:
      return load_value<std::uint8_t>(from);
    case 2:
      return load_value<u16>(from);
    case 4:
      return load_value<u32>(from);
    default:
      return load_value<u64>(from);
  }
}

inline void store_element(std::byte* to, Type type, Reg value) {
  switch (type_bytes(type)) {
    case 1:
      store_value<std::uint8_t>(to, value);
      break;
    case 2:
      store_value<u16>(to, value);
      break;
    case 4:
      store_value<u32>(to, value);
      break;
    default:
      store_value<u64>(to, value);
      break;
  }
}

inline Access load_kind(const Instr& in) {
  return (in.flags & kNonCoherent) ? Access::LoadNc : Access::Load;
}

std::byte* access_in(ExecContext& x, Space space, std::uint64_t address, unsigned bytes,
                     Access access, std::uint64_t issue, const std::byte* value = nullptr) {
  switch (space) {
    case Space::Global:
      return x.at<Space::Global>(address, bytes, access, issue, value);
    case Space::Shared:
      return x.at<Space::Shared>(address, bytes, access, issue, value);
    case Space::Param:
      return x.at<Space::Param>(address, bytes, access, issue, value);
    default:
      return x.at<Space::Generic>(address, bytes, access, issue, value);
  }
}

// ld/st .v2/.v4: the whole vector is one access, aligned to its full size.
bool vector_access(ExecContext& x, Reg* r, const Instr& in, bool load, std::uint64_t issue) {
  const unsigned count = (in.flags & kVector4) ? 4 : 2;
  const unsigned element = type_bytes(in.type);
  const std::uint16_t slots[] = {in.d, in.b, in.c, in.e};
  std::array<std::byte, 16> stored{};
  if (!load) {
    for (unsigned i = 0; i < count; ++i)
      store_element(stored.data() + i * element, in.type, r[slots[i]]);
  }
  std::byte* where = access_in(x, static_cast<Space>(in.mod), address_of(r, in), count * element,
                               load ? load_kind(in) : Access::Store, issue, stored.data());
  if (where == nullptr) return false;
  if (!load) {
    std::memcpy(where, stored.data(), count * element);
    return true;
  }
  for (unsigned i = 0; i < count; ++i) r[slots[i]] = load_element(where + i * element, in.type);
  return true;
}

void trace(const ExecContext& x, const Thread& t, std::uint32_t pc, const TraceSite& site) {
  const Dim3& bd = site.block_dim;
  const std::uint32_t tx = t.index % bd.x;
  const std::uint32_t ty = (t.index / bd.x) % bd.y;
  const std::uint32_t tz = t.index / (bd.x * bd.y);
  std::fprintf(stderr, "ptx: block (%u,%u,%u) thread (%u,%u,%u) pc %u: %s\n", site.block_id.x,
               site.block_id.y, site.block_id.z, tx, ty, tz, pc,
               disassemble(x.kernel(), pc).c_str());
}

#define VORLAN_CASE(OP, STATEMENT) \
  case Op::OP: {                   \
    STATEMENT;                     \
    break;                         \
  }
#define VORLAN_TYPED(OP, TYPE, STATEMENT) \
  case Op::OP: {                          \
    using T = TYPE;                       \
    STATEMENT;                            \
    break;                                \
  }
#define VORLAN_TYPED6(FAMILY, STATEMENT)    \
  VORLAN_TYPED(FAMILY##U16, u16, STATEMENT) \
  VORLAN_TYPED(FAMILY##U32, u32, STATEMENT) \
  VORLAN_TYPED(FAMILY##U64, u64, STATEMENT) \
  VORLAN_TYPED(FAMILY##S16, s16, STATEMENT) \
  VORLAN_TYPED(FAMILY##S32, s32, STATEMENT) \
  VORLAN_TYPED(FAMILY##S64, s64, STATEMENT)
#define VORLAN_TYPED4(FAMILY, STATEMENT)    \
  VORLAN_TYPED(FAMILY##U16, u16, STATEMENT) \
  VORLAN_TYPED(FAMILY##U32, u32, STATEMENT) \
  VORLAN_TYPED(FAMILY##S16, s16, STATEMENT) \
  VORLAN_TYPED(FAMILY##S32, s32, STATEMENT)
#define VORLAN_WIDTH2(FAMILY, STATEMENT)   \
  VORLAN_TYPED(FAMILY##32, u32, STATEMENT) \
  VORLAN_TYPED(FAMILY##64, u64, STATEMENT)

#define VORLAN_HALT(STOP)              \
  do {                                 \
    quantum = left;                    \
    t.pc = pc;                         \
    *t.warp_issued += issued;          \
    x.counts().guarded_off += skipped; \
    return STOP;                       \
  } while (false)

#define VORLAN_LOAD(OP, SPACE, TYPE)                                                         \
  case Op::OP: {                                                                             \
    const std::byte* p = x.at<SPACE>(address_of(r, in), sizeof(TYPE), load_kind(in), issue); \
    if (p == nullptr) VORLAN_HALT(Stop::Fault);                                              \
    r[in.d] = load_value<TYPE>(p);                                                           \
    break;                                                                                   \
  }
#define VORLAN_LOADS(FAMILY, SPACE)            \
  VORLAN_LOAD(FAMILY##U8, SPACE, std::uint8_t) \
  VORLAN_LOAD(FAMILY##S8, SPACE, std::int8_t)  \
  VORLAN_LOAD(FAMILY##U16, SPACE, u16)         \
  VORLAN_LOAD(FAMILY##S16, SPACE, s16)         \
  VORLAN_LOAD(FAMILY##U32, SPACE, u32)         \
  VORLAN_LOAD(FAMILY##S32, SPACE, s32)         \
  VORLAN_LOAD(FAMILY##U64, SPACE, u64)
#define VORLAN_STORE(OP, SPACE, TYPE)                                                 \
  case Op::OP: {                                                                      \
    const auto value = static_cast<TYPE>(r[in.b]);                                    \
    std::byte* p = x.at<SPACE>(address_of(r, in), sizeof(TYPE), Access::Store, issue, \
                               reinterpret_cast<const std::byte*>(&value));           \
    if (p == nullptr) VORLAN_HALT(Stop::Fault);                                       \
    std::memcpy(p, &value, sizeof(TYPE));                                             \
    break;                                                                            \
  }
#define VORLAN_STORES(FAMILY, SPACE)           \
  VORLAN_STORE(FAMILY##8, SPACE, std::uint8_t) \
  VORLAN_STORE(FAMILY##16, SPACE, u16)         \
  VORLAN_STORE(FAMILY##32, SPACE, u32)         \
  VORLAN_STORE(FAMILY##64, SPACE, u64)
#define VORLAN_ATOMIC(OP, SPACE, RESULT)                                                       \
  case Op::OP: {                                                                               \
    std::byte* p = x.at<SPACE>(address_of(r, in), type_bytes(in.type), Access::Atomic, issue); \
    if (p == nullptr) VORLAN_HALT(Stop::Fault);                                                \
    ++x.counts().atomics;                                                                      \
    RESULT = atomic_apply(in, p, r[in.b], r[in.c]);                                            \
    break;                                                                                     \
  }

template <bool Trace>
Stop interpret(ExecContext& x, Thread& t, std::uint64_t& quantum,
               [[maybe_unused]] const TraceSite* site) {
  const Instr* const code = x.kernel().code_.data();
  Reg* const r = t.regs;
  std::uint32_t pc = t.pc;
  std::uint64_t left = quantum;  // a local copy: stores through r could alias `quantum`
  std::uint64_t* const visits = t.visits;
  std::uint64_t* const high = t.warp_high;
  const std::uint64_t visit_base = x.visit_base();
  std::uint64_t issued = 0;   // warp instructions this lane was first to reach
  std::uint64_t skipped = 0;  // guarded off
  [[maybe_unused]] Reg discard = 0;
  while (left != 0) {
    --left;
    const Instr& in = code[pc];
    if constexpr (Trace) trace(x, t, pc, *site);
    const std::uint64_t visit = std::max(visits[pc], visit_base) + 1;
    visits[pc] = visit;
    if (visit > high[pc]) {
      high[pc] = visit;
      ++issued;
    }
    if (((r[in.guard] ^ in.guard_negated) & 1) == 0) {
      ++skipped;
      ++pc;
      continue;
    }
    const std::uint64_t issue = (std::uint64_t{pc} << 32) | static_cast<std::uint32_t>(visit);
    switch (in.op) {
      case Op::Nop:
        break;
      case Op::Bra:
        pc = static_cast<std::uint32_t>(in.imm);
        continue;
      case Op::Exit:
      case Op::Ret:
        VORLAN_HALT(Stop::Exit);
      case Op::BarSync:
      case Op::BarWarpSync:
      case Op::Shfl:
      case Op::Vote:
      case Op::ActiveMask:
        VORLAN_HALT(Stop::Collective);
        VORLAN_CASE(Mov, r[in.d] = r[in.a])
        VORLAN_CASE(Selp, r[in.d] = (r[in.c] & 1) ? r[in.a] : r[in.b])
        VORLAN_CASE(NotPred, r[in.d] = (r[in.a] & 1) ^ 1)
        VORLAN_CASE(CvtaShared, r[in.d] = r[in.a] + kSharedWindow)
        VORLAN_CASE(CvtaToShared, r[in.d] = r[in.a] - kSharedWindow)
        // Integer operations on the low bits.
        VORLAN_WIDTH2(Add, binary<T>(r, in, [](T a, T b) { return a + b; }))
        VORLAN_WIDTH2(Sub, binary<T>(r, in, [](T a, T b) { return a - b; }))
        VORLAN_WIDTH2(MulLo, binary<T>(r, in, [](T a, T b) { return a * b; }))
        VORLAN_WIDTH2(MadLo, ternary<T>(r, in, [](T a, T b, T c) { return a * b + c; }))
        VORLAN_WIDTH2(And, binary<T>(r, in, [](T a, T b) { return a & b; }))
        VORLAN_WIDTH2(Or, binary<T>(r, in, [](T a, T b) { return a | b; }))
        VORLAN_WIDTH2(Xor, binary<T>(r, in, [](T a, T b) { return a ^ b; }))
        VORLAN_WIDTH2(Not, unary<T>(r, in, [](T a) { return ~a; }))
        VORLAN_WIDTH2(Neg, unary<T>(r, in, [](T a) { return T{0} - a; }))
        VORLAN_WIDTH2(Shl, r[in.d] = shl_int<T>(as<T>(r[in.a]), as<u32>(r[in.b])))
        VORLAN_WIDTH2(Popc, r[in.d] = static_cast<u32>(std::popcount(as<T>(r[in.a]))))
        VORLAN_WIDTH2(Clz, r[in.d] = static_cast<u32>(std::countl_zero(as<T>(r[in.a]))))
        // Integer operations that depend on signedness.
        VORLAN_TYPED6(MulHi, binary<T>(r, in, mul_hi<T>))
        VORLAN_TYPED6(
            MadHi, ternary<T>(r, in, [](T a, T b, T c) { return wrap_add<T>(mul_hi<T>(a, b), c); }))
        VORLAN_TYPED6(Div, binary<T>(r, in, div_int<T>))
        VORLAN_TYPED6(Rem, binary<T>(r, in, rem_int<T>))
        VORLAN_TYPED6(Min, binary<T>(r, in, min_int<T>))
        VORLAN_TYPED6(Max, binary<T>(r, in, max_int<T>))
        VORLAN_TYPED6(Shr, r[in.d] = bits_of<T>(shr_int<T>(as<T>(r[in.a]), as<u32>(r[in.b]))))
        VORLAN_TYPED6(Abs, unary<T>(r, in, abs_int<T>))
        VORLAN_TYPED4(MulWide, r[in.d] = bits_of(mul_wide<T>(as<T>(r[in.a]), as<T>(r[in.b]))))
        VORLAN_TYPED4(MadWide,
                      r[in.d] = bits_of(wrap_add(mul_wide<T>(as<T>(r[in.a]), as<T>(r[in.b])),
                                                 as<Wider<T>>(r[in.c]))))
        // Compares.
        VORLAN_TYPED(SetpEq32, u32, r[in.d] = as<T>(r[in.a]) == as<T>(r[in.b]))
        VORLAN_TYPED(SetpEq64, u64, r[in.d] = as<T>(r[in.a]) == as<T>(r[in.b]))
        VORLAN_TYPED(SetpNe32, u32, r[in.d] = as<T>(r[in.a]) != as<T>(r[in.b]))
        VORLAN_TYPED(SetpNe64, u64, r[in.d] = as<T>(r[in.a]) != as<T>(r[in.b]))
        VORLAN_TYPED(SetpLtU32, u32, r[in.d] = as<T>(r[in.a]) < as<T>(r[in.b]))
        VORLAN_TYPED(SetpLtU64, u64, r[in.d] = as<T>(r[in.a]) < as<T>(r[in.b]))
        VORLAN_TYPED(SetpLeU32, u32, r[in.d] = as<T>(r[in.a]) <= as<T>(r[in.b]))
        VORLAN_TYPED(SetpLeU64, u64, r[in.d] = as<T>(r[in.a]) <= as<T>(r[in.b]))
        VORLAN_TYPED(SetpLtS32, s32, r[in.d] = as<T>(r[in.a]) < as<T>(r[in.b]))
        VORLAN_TYPED(SetpLtS64, s64, r[in.d] = as<T>(r[in.a]) < as<T>(r[in.b]))
        VORLAN_TYPED(SetpLeS32, s32, r[in.d] = as<T>(r[in.a]) <= as<T>(r[in.b]))
        VORLAN_TYPED(SetpLeS64, s64, r[in.d] = as<T>(r[in.a]) <= as<T>(r[in.b]))
        VORLAN_CASE(Setp, setp(r, in))
        // Conversions.
        VORLAN_CASE(CvtZext32, r[in.d] = static_cast<u32>(r[in.a]))
        VORLAN_CASE(CvtSext32, r[in.d] = bits_of(static_cast<s32>(r[in.a])))
        VORLAN_CASE(CvtInt, r[in.d] = convert_int(in, r[in.a]))
        VORLAN_CASE(Cvt, r[in.d] = convert_generic(in, r[in.a]))
        // Floating point, round to nearest.
        VORLAN_TYPED(AddF32, float, binary<T>(r, in, [](T a, T b) { return a + b; }))
        VORLAN_TYPED(SubF32, float, binary<T>(r, in, [](T a, T b) { return a - b; }))
        VORLAN_TYPED(MulF32, float, binary<T>(r, in, [](T a, T b) { return a * b; }))
        VORLAN_TYPED(FmaF32, float,
                     ternary<T>(r, in, [](T a, T b, T c) { return std::fma(a, b, c); }))
        VORLAN_TYPED(DivF32, float, binary<T>(r, in, [](T a, T b) { return a / b; }))
        VORLAN_TYPED(NegF32, float, unary<T>(r, in, [](T a) { return -a; }))
        VORLAN_TYPED(AbsF32, float, unary<T>(r, in, [](T a) { return std::fabs(a); }))
        VORLAN_TYPED(MinF32, float, binary<T>(r, in, min_float<T>))
        VORLAN_TYPED(MaxF32, float, binary<T>(r, in, max_float<T>))
        VORLAN_TYPED(AddF64, double, binary<T>(r, in, [](T a, T b) { return a + b; }))
        VORLAN_TYPED(SubF64, double, binary<T>(r, in, [](T a, T b) { return a - b; }))
        VORLAN_TYPED(MulF64, double, binary<T>(r, in, [](T a, T b) { return a * b; }))
        VORLAN_TYPED(FmaF64, double,
                     ternary<T>(r, in, [](T a, T b, T c) { return std::fma(a, b, c); }))
        VORLAN_TYPED(DivF64, double, binary<T>(r, in, [](T a, T b) { return a / b; }))
        VORLAN_TYPED(NegF64, double, unary<T>(r, in, [](T a) { return -a; }))
        VORLAN_TYPED(AbsF64, double, unary<T>(r, in, [](T a) { return std::fabs(a); }))
        VORLAN_TYPED(MinF64, double, binary<T>(r, in, min_float<T>))
        VORLAN_TYPED(MaxF64, double, binary<T>(r, in, max_float<T>))
        VORLAN_CASE(Float, r[in.d] = float_generic(in, r[in.a], r[in.b], r[in.c]))
        // Memory.
        VORLAN_LOADS(LdGlobal, Space::Global)
        VORLAN_LOADS(LdShared, Space::Shared)
        VORLAN_LOADS(LdGeneric, Space::Generic)
        VORLAN_LOADS(LdParam, Space::Param)
        VORLAN_STORES(StGlobal, Space::Global)
        VORLAN_STORES(StShared, Space::Shared)
        VORLAN_STORES(StGeneric, Space::Generic)
      case Op::LdVec:
      case Op::StVec:
        if (!vector_access(x, r, in, in.op == Op::LdVec, issue)) VORLAN_HALT(Stop::Fault);
        break;
        VORLAN_ATOMIC(AtomGlobal, Space::Global, r[in.d])
        VORLAN_ATOMIC(AtomShared, Space::Shared, r[in.d])
        VORLAN_ATOMIC(AtomGeneric, Space::Generic, r[in.d])
        VORLAN_ATOMIC(RedGlobal, Space::Global, discard)
        VORLAN_ATOMIC(RedShared, Space::Shared, discard)
        VORLAN_ATOMIC(RedGeneric, Space::Generic, discard)
      case Op::Count:
        break;
    }
    ++pc;
  }
  VORLAN_HALT(Stop::Quantum);
}

}  // namespace

Stop run_thread(ExecContext& context, Thread& thread, std::uint64_t& quantum) {
  return interpret<false>(context, thread, quantum, nullptr);
}

Stop run_thread_traced(ExecContext& context, Thread& thread, std::uint64_t& quantum,
                       const Dim3& block_dim, const Dim3& block_id) {
  const TraceSite site{block_dim, block_id};
  return interpret<true>(context, thread, quantum, &site);
}

bool is_warp_collective(Op op) {
  return op == Op::Shfl || op == Op::Vote || op == Op::BarWarpSync || op == Op::ActiveMask;
}

}  // namespace vorlan::emu::ptx
