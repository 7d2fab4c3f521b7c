// Integer arithmetic, logic, comparison and conversion, case by case against
// host computations, on inputs chosen for their edges: zero, one, -1, the
// most negative value, the largest positive value, and shift amounts past
// the register width.
#include <bit>
#include <cstdint>
#include <limits>

#include "case_table.hpp"

namespace vorlan::emu::testing {
namespace {

using u16 = std::uint16_t;
using s16 = std::int16_t;
using u32 = std::uint32_t;
using s32 = std::int32_t;
using u64 = std::uint64_t;
using s64 = std::int64_t;

__extension__ typedef __int128 I128;  // host references for the high halves
__extension__ typedef unsigned __int128 U128;

constexpr s32 kMin32 = std::numeric_limits<s32>::min();
constexpr s32 kMax32 = std::numeric_limits<s32>::max();
constexpr s64 kMin64 = std::numeric_limits<s64>::min();

s32 S(u32 v) { return static_cast<s32>(v); }
u32 U(s64 v) { return static_cast<u32>(v); }

// Pairs with a non-zero divisor and without the one overflowing quotient.
const std::vector<std::pair<u32, u32>> kPairs32 = {
    {0, 1},
    {1, 1},
    {7, 3},
    {U(-7), 3},
    {7, U(-3)},
    {U(-7), U(-3)},
    {U(kMin32), 1},
    {U(kMin32), 2},
    {U(kMax32), U(kMax32)},
    {0xFFFFFFFFu, 0xFFFFFFFFu},
    {0x80000000u, 31},
    {0x12345678u, 32},
    {0xDEADBEEFu, 33},
    {0xFFFFFFFFu, 0x10000u},
    {100, U(-100)},
    {5, 0xFFFFFFF0u},
};

TEST(Integer, ThirtyTwoBitArithmeticWrapsAndRounds) {
  const std::vector<Case<u32, u32>> cases = {
      {"add.u32 %d, %a, %b;", [](u32 a, u32 b) { return a + b; }},
      {"add.s32 %d, %a, %b;", [](u32 a, u32 b) { return a + b; }},
      {"sub.s32 %d, %a, %b;", [](u32 a, u32 b) { return a - b; }},
      {"mul.lo.s32 %d, %a, %b;", [](u32 a, u32 b) { return a * b; }},
      {"mul.hi.u32 %d, %a, %b;", [](u32 a, u32 b) { return U((u64{a} * b) >> 32); }},
      {"mul.hi.s32 %d, %a, %b;", [](u32 a, u32 b) { return U((s64{S(a)} * S(b)) >> 32); }},
      {"mad.lo.u32 %d, %a, %b, %a;", [](u32 a, u32 b) { return a * b + a; }},
      {"mad.hi.s32 %d, %a, %b, %b;", [](u32 a, u32 b) { return U((s64{S(a)} * S(b)) >> 32) + b; }},
      {"div.u32 %d, %a, %b;", [](u32 a, u32 b) { return a / b; }},
      {"rem.u32 %d, %a, %b;", [](u32 a, u32 b) { return a % b; }},
      {"div.s32 %d, %a, %b;", [](u32 a, u32 b) { return U(s64{S(a)} / S(b)); }},
      {"rem.s32 %d, %a, %b;", [](u32 a, u32 b) { return U(s64{S(a)} % S(b)); }},
      {"min.s32 %d, %a, %b;", [](u32 a, u32 b) { return U(std::min(S(a), S(b))); }},
      {"max.s32 %d, %a, %b;", [](u32 a, u32 b) { return U(std::max(S(a), S(b))); }},
      {"min.u32 %d, %a, %b;", [](u32 a, u32 b) { return std::min(a, b); }},
      {"max.u32 %d, %a, %b;", [](u32 a, u32 b) { return std::max(a, b); }},
      {"abs.s32 %d, %a;", [](u32 a, u32) { return S(a) < 0 ? U(-s64{S(a)}) : a; }},
      {"neg.s32 %d, %a;", [](u32 a, u32) { return U(-s64{S(a)}); }},
  };
  check_cases<u32, u32>("b32", "b32", cases, kPairs32);
}

TEST(Integer, ThirtyTwoBitLogicShiftsAndCounts) {
  const std::vector<Case<u32, u32>> cases = {
      {"and.b32 %d, %a, %b;", [](u32 a, u32 b) { return a & b; }},
      {"or.b32 %d, %a, %b;", [](u32 a, u32 b) { return a | b; }},
      {"xor.b32 %d, %a, %b;", [](u32 a, u32 b) { return a ^ b; }},
      {"not.b32 %d, %a;", [](u32 a, u32) { return ~a; }},
      {"shl.b32 %d, %a, %b;", [](u32 a, u32 b) { return b >= 32 ? 0u : a << b; }},
      {"shr.u32 %d, %a, %b;", [](u32 a, u32 b) { return b >= 32 ? 0u : a >> b; }},
      {"shr.b32 %d, %a, %b;", [](u32 a, u32 b) { return b >= 32 ? 0u : a >> b; }},
      {"shr.s32 %d, %a, %b;", [](u32 a, u32 b) { return U(S(a) >> std::min(b, 31u)); }},
      {"shl.b32 %d, %a, 4;", [](u32 a, u32) { return a << 4; }},
      {"popc.b32 %d, %a;", [](u32 a, u32) { return static_cast<u32>(std::popcount(a)); }},
      {"clz.b32 %d, %a;", [](u32 a, u32) { return static_cast<u32>(std::countl_zero(a)); }},
  };
  check_cases<u32, u32>("b32", "b32", cases, kPairs32);
}

TEST(Integer, ComparisonsSignedUnsignedAndCombined) {
  const std::vector<Case<u32, u32>> cases = {
      {"setp.lt.s32 %p, %a, %b; selp.u32 %d, 1, 0, %p;",
       [](u32 a, u32 b) { return S(a) < S(b) ? 1u : 0u; }},
      {"setp.lt.u32 %p, %a, %b; selp.u32 %d, 1, 0, %p;",
       [](u32 a, u32 b) { return a < b ? 1u : 0u; }},
      {"setp.ge.s32 %p, %a, %b; selp.u32 %d, 1, 0, %p;",
       [](u32 a, u32 b) { return S(a) >= S(b) ? 1u : 0u; }},
      {"setp.gt.u32 %p, %a, %b; selp.u32 %d, 1, 0, %p;",
       [](u32 a, u32 b) { return a > b ? 1u : 0u; }},
      {"setp.hi.u32 %p, %a, %b; selp.u32 %d, 1, 0, %p;",
       [](u32 a, u32 b) { return a > b ? 1u : 0u; }},
      {"setp.ls.u32 %p, %a, %b; selp.u32 %d, 1, 0, %p;",
       [](u32 a, u32 b) { return a <= b ? 1u : 0u; }},
      {"setp.hs.u32 %p, %a, %b; selp.u32 %d, 1, 0, %p;",
       [](u32 a, u32 b) { return a >= b ? 1u : 0u; }},
      {"setp.le.s32 %p, %a, %b; selp.u32 %d, 1, 0, %p;",
       [](u32 a, u32 b) { return S(a) <= S(b) ? 1u : 0u; }},
      {"setp.ne.b32 %p, %a, %b; selp.u32 %d, 1, 0, %p;",
       [](u32 a, u32 b) { return a != b ? 1u : 0u; }},
      {"setp.eq.u32 %p, %a, %b; selp.u32 %d, 1, 0, %p;",
       [](u32 a, u32 b) { return a == b ? 1u : 0u; }},
      // p|q receives the result and its complement; .and/.or fold in another predicate.
      {"setp.lt.s32 %p|%q, %a, %b; selp.u32 %d, 1, 0, %q;",
       [](u32 a, u32 b) { return S(a) < S(b) ? 0u : 1u; }},
      {"setp.ne.u32 %q, %b, 1; setp.lt.u32.and %p, %a, %b, %q; selp.u32 %d, 7, 9, %p;",
       [](u32 a, u32 b) { return (a < b && b != 1) ? 7u : 9u; }},
      {"setp.ne.u32 %q, %b, 1; setp.gt.s32.or %p, %a, %b, !%q; selp.u32 %d, 7, 9, %p;",
       [](u32 a, u32 b) { return (S(a) > S(b) || b == 1) ? 7u : 9u; }},
      {"setp.eq.u32 %q, %a, 0; setp.ne.u32.xor %p, %a, %b, %q; selp.u32 %d, 7, 9, %p;",
       [](u32 a, u32 b) { return ((a != b) != (a == 0)) ? 7u : 9u; }},
      {"setp.lt.u32 %p, %a, %b; not.pred %p, %p; selp.u32 %d, 1, 0, %p;",
       [](u32 a, u32 b) { return a < b ? 0u : 1u; }},
      {"setp.lt.u32 %p, %a, %b; setp.lt.s32 %q, %a, %b; xor.pred %p, %p, %q; selp.u32 %d, 1, 0, "
       "%p;",
       [](u32 a, u32 b) { return (a < b) != (S(a) < S(b)) ? 1u : 0u; }},
      {"setp.lt.u32 %p, %a, %b; @%p mov.u32 %d, 11; @!%p mov.u32 %d, 22;",
       [](u32 a, u32 b) { return a < b ? 11u : 22u; }},
  };
  check_cases<u32, u32>("b32", "b32", cases, kPairs32);
}

const std::vector<std::pair<u64, u64>> kPairs64 = {
    {0, 1},
    {1, 1},
    {7, 3},
    {static_cast<u64>(-7), 3},
    {7, static_cast<u64>(-3)},
    {static_cast<u64>(kMin64), 1},
    {static_cast<u64>(kMin64), 3},
    {~u64{0}, ~u64{0}},
    {0x123456789ABCDEF0ull, 63},
    {0xFEDCBA9876543210ull, 64},
    {0x8000000000000000ull, 65},
    {1ull << 40, 1ull << 33},
};

TEST(Integer, SixtyFourBitArithmetic) {
  const std::vector<Case<u64, u64>> cases = {
      {"add.u64 %d, %a, %b;", [](u64 a, u64 b) { return a + b; }},
      {"sub.s64 %d, %a, %b;", [](u64 a, u64 b) { return a - b; }},
      {"mul.lo.u64 %d, %a, %b;", [](u64 a, u64 b) { return a * b; }},
      {"mul.hi.u64 %d, %a, %b;",
       [](u64 a, u64 b) { return static_cast<u64>((static_cast<U128>(a) * b) >> 64); }},
      {"mul.hi.s64 %d, %a, %b;",
       [](u64 a, u64 b) {
         return static_cast<u64>((I128{static_cast<s64>(a)} * static_cast<s64>(b)) >> 64);
       }},
      {"div.s64 %d, %a, %b;",
       [](u64 a, u64 b) { return static_cast<u64>(static_cast<s64>(a) / static_cast<s64>(b)); }},
      {"rem.s64 %d, %a, %b;",
       [](u64 a, u64 b) { return static_cast<u64>(static_cast<s64>(a) % static_cast<s64>(b)); }},
      {"div.u64 %d, %a, %b;", [](u64 a, u64 b) { return a / b; }},
      {"rem.u64 %d, %a, %b;", [](u64 a, u64 b) { return a % b; }},
      {"min.s64 %d, %a, %b;",
       [](u64 a, u64 b) {
         return static_cast<u64>(std::min(static_cast<s64>(a), static_cast<s64>(b)));
       }},
      {"max.u64 %d, %a, %b;", [](u64 a, u64 b) { return std::max(a, b); }},
      // The shift amount is always a .u32 operand, here the low word of b.
      {"cvt.u32.u64 %t, %b; shl.b64 %d, %a, %t;",
       [](u64 a, u64 b) { return static_cast<u32>(b) >= 64 ? 0 : a << static_cast<u32>(b); }},
      {"cvt.u32.u64 %t, %b; shr.s64 %d, %a, %t;",
       [](u64 a, u64 b) {
         return static_cast<u64>(static_cast<s64>(a) >> std::min(static_cast<u32>(b), 63u));
       }},
      {"popc.b64 %t, %a; cvt.u64.u32 %d, %t;", [](u64 a, u64) { return u64(std::popcount(a)); }},
      {"clz.b64 %t, %a; cvt.u64.u32 %d, %t;", [](u64 a, u64) { return u64(std::countl_zero(a)); }},
      {"setp.lt.s64 %p, %a, %b; selp.u64 %d, 1, 0, %p;",
       [](u64 a, u64 b) { return static_cast<s64>(a) < static_cast<s64>(b) ? 1u : 0u; }},
      {"setp.gt.u64 %p, %a, %b; selp.u64 %d, 1, 0, %p;",
       [](u64 a, u64 b) { return a > b ? 1u : 0u; }},
  };
  check_cases<u64, u64>("b64", "b64", cases, kPairs64);
}

TEST(Integer, WideMultipliesKeepEveryBit) {
  const std::vector<Case<u32, u64>> cases = {
      {"mul.wide.u32 %d, %a, %b;", [](u32 a, u32 b) { return u64{a} * b; }},
      {"mul.wide.s32 %d, %a, %b;", [](u32 a, u32 b) { return static_cast<u64>(s64{S(a)} * S(b)); }},
      {"cvt.u64.u32 %d, %b; mad.wide.u32 %d, %a, %a, %d;",
       [](u32 a, u32 b) { return u64{a} * a + b; }},
      {"cvt.s64.s32 %d, %b; mad.wide.s32 %d, %a, %b, %d;",
       [](u32 a, u32 b) { return static_cast<u64>(s64{S(a)} * S(b) + S(b)); }},
      {"cvt.u64.u32 %d, %a;", [](u32 a, u32) { return u64{a}; }},
      {"cvt.s64.s32 %d, %a;", [](u32 a, u32) { return static_cast<u64>(s64{S(a)}); }},
      {"cvt.u64.s32 %d, %a;", [](u32 a, u32) { return static_cast<u64>(s64{S(a)}); }},
  };
  check_cases<u32, u64>("b32", "b64", cases, kPairs32);
}

const std::vector<std::pair<u16, u16>> kPairs16 = {
    {0, 1},      {1, 1},           {7, 3},           {0xFFF9, 3},  {7, 0xFFFD},
    {0x8000, 1}, {0x7FFF, 0x7FFF}, {0xFFFF, 0xFFFF}, {0x1234, 17},
};

TEST(Integer, SixteenBitOperationsStayInSixteenBits) {
  auto s = [](u16 v) { return static_cast<s16>(v); };
  const std::vector<Case<u16, u16>> cases = {
      {"add.u16 %d, %a, %b;", [](u16 a, u16 b) { return static_cast<u16>(a + b); }},
      {"mul.lo.u16 %d, %a, %b;", [](u16 a, u16 b) { return static_cast<u16>(u32{a} * b); }},
      {"mul.hi.s16 %d, %a, %b;",
       [s](u16 a, u16 b) { return static_cast<u16>((s32{s(a)} * s(b)) >> 16); }},
      {"div.s16 %d, %a, %b;", [s](u16 a, u16 b) { return static_cast<u16>(s32{s(a)} / s(b)); }},
      {"rem.u16 %d, %a, %b;", [](u16 a, u16 b) { return static_cast<u16>(a % b); }},
      {"max.s16 %d, %a, %b;", [s](u16 a, u16 b) { return static_cast<u16>(std::max(s(a), s(b))); }},
      {"shr.s16 %d, %a, 3;", [s](u16 a, u16) { return static_cast<u16>(s(a) >> 3); }},
      {"shl.b16 %d, %a, 17;", [](u16, u16) { return u16{0}; }},
      {"setp.lt.s16 %p, %a, %b; selp.u16 %d, 1, 0, %p;",
       [s](u16 a, u16 b) { return u16(s(a) < s(b) ? 1 : 0); }},
  };
  check_cases<u16, u16>("b16", "b16", cases, kPairs16);
}

TEST(Integer, ConversionsExtendTruncateAndSaturate) {
  const std::vector<Case<u32, u32>> cases = {
      {"cvt.u8.u32 %d, %a;", [](u32 a, u32) { return a & 0xFF; }},
      {"cvt.s8.s32 %d, %a;", [](u32 a, u32) { return U(static_cast<std::int8_t>(a)); }},
      {"cvt.s32.s16 %d, %a;", [](u32 a, u32) { return U(static_cast<s16>(a)); }},
      {"cvt.u32.u16 %d, %a;", [](u32 a, u32) { return a & 0xFFFF; }},
      {"cvt.sat.u8.s32 %d, %a;", [](u32 a, u32) { return U(std::clamp(S(a), 0, 255)); }},
      {"cvt.sat.s8.s32 %d, %a;", [](u32 a, u32) { return U(std::clamp(S(a), -128, 127)); }},
      {"cvt.sat.s32.u32 %d, %a;", [](u32 a, u32) { return std::min(a, u32{kMax32}); }},
      {"cvt.sat.u32.s32 %d, %a;", [](u32 a, u32) { return S(a) < 0 ? 0u : a; }},
      {"cvt.sat.u16.u32 %d, %a;", [](u32 a, u32) { return std::min(a, 0xFFFFu); }},
  };
  check_cases<u32, u32>("b32", "b32", cases, kPairs32);
}

TEST(Integer, DivisionByNegativesTruncatesTowardZero) {
  // Spot values written out, so that a host mistake in the reference above
  // cannot hide an engine mistake of the same kind.
  const std::vector<Case<u32, u32>> cases = {
      {"div.s32 %d, -7, 2;", [](u32, u32) { return U(-3); }},
      {"rem.s32 %d, -7, 2;", [](u32, u32) { return U(-1); }},
      {"div.s32 %d, 7, -2;", [](u32, u32) { return U(-3); }},
      {"rem.s32 %d, 7, -2;", [](u32, u32) { return 1u; }},
      {"div.u32 %d, -7, 2;", [](u32, u32) { return 0x7FFFFFFCu; }},
      {"add.u32 %d, 0xFFFFFFFF, 2;", [](u32, u32) { return 1u; }},
      {"mul.hi.u32 %d, 0x80000000, 4;", [](u32, u32) { return 2u; }},
      {"mul.hi.s32 %d, -2147483648, 4;", [](u32, u32) { return U(-2); }},
  };
  check_cases<u32, u32>("b32", "b32", cases, {{0, 0}});
}

}  // namespace
}  // namespace vorlan::emu::testing
