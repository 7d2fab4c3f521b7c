// Floating-point arithmetic, compares and conversions. Round-to-nearest
// results are checked against the host's IEEE arithmetic; directed rounding
// against a reference that picks the neighbouring float by hand, so that it
// shares nothing with the engine's use of the host rounding modes.
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "case_table.hpp"

namespace vorlan::emu::testing {
namespace {

using u32 = std::uint32_t;
using u64 = std::uint64_t;

u32 bits(float f) { return std::bit_cast<u32>(f); }
float value(u32 b) { return std::bit_cast<float>(b); }
u64 bits64(double d) { return std::bit_cast<u64>(d); }
double value64(u64 b) { return std::bit_cast<double>(b); }

enum class Dir { Zero, Down, Up };

// Rounds an exactly representable double to float in a directed mode. Past
// the largest float the neighbours are FLT_MAX and infinity.
float round_to_float(double exact, Dir dir) {
  const float nearest = static_cast<float>(exact);
  if (static_cast<double>(nearest) == exact) return nearest;
  float below = static_cast<double>(nearest) < exact ? nearest : std::nextafter(nearest, -INFINITY);
  float above = static_cast<double>(nearest) > exact ? nearest : std::nextafter(nearest, INFINITY);
  if (std::isinf(nearest)) {
    below = exact > 0 ? std::numeric_limits<float>::max() : -INFINITY;
    above = exact > 0 ? INFINITY : std::numeric_limits<float>::lowest();
  }
  switch (dir) {
    case Dir::Down:
      return below;
    case Dir::Up:
      return above;
    case Dir::Zero:
      return exact < 0 ? above : below;
  }
  return nearest;
}

const float kOnePlus = 1.0f + 0x1p-23f;
const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();
const float kSubnormal = 0x1p-140f;

// Operands whose exact sums and products fit in a double.
const std::vector<std::pair<u32, u32>> kArithPairs = {
    {bits(1.0f), bits(3.0f)},        {bits(kOnePlus), bits(kOnePlus)},
    {bits(0.1f), bits(0.2f)},        {bits(-2.5f), bits(0.3f)},
    {bits(1e6f), bits(0.3f)},        {bits(-7.0f), bits(-1.0f / 3.0f)},
    {bits(16777216.0f), bits(1.0f)}, {bits(-16777216.0f), bits(-3.0f)},
    {bits(1e30f), bits(1e30f)},
};

TEST(Float, RoundToNearestMatchesIeee) {
  const std::vector<Case<u32, u32>> cases = {
      {"add.f32 %d, %a, %b;", [](u32 a, u32 b) { return bits(value(a) + value(b)); }},
      {"sub.rn.f32 %d, %a, %b;", [](u32 a, u32 b) { return bits(value(a) - value(b)); }},
      {"mul.f32 %d, %a, %b;", [](u32 a, u32 b) { return bits(value(a) * value(b)); }},
      {"div.rn.f32 %d, %a, %b;", [](u32 a, u32 b) { return bits(value(a) / value(b)); }},
      {"sqrt.rn.f32 %d, %a;", [](u32 a, u32) { return bits(std::sqrt(value(a))); }},
      {"rcp.rn.f32 %d, %b;", [](u32, u32 b) { return bits(1.0f / value(b)); }},
      {"abs.f32 %d, %a;", [](u32 a, u32) { return bits(std::fabs(value(a))); }},
      {"neg.f32 %d, %b;", [](u32, u32 b) { return bits(-value(b)); }},
      {"min.f32 %d, %a, %b;", [](u32 a, u32 b) { return bits(std::fmin(value(a), value(b))); }},
      {"max.f32 %d, %a, %b;", [](u32 a, u32 b) { return bits(std::fmax(value(a), value(b))); }},
      // One rounding for a*b+c, against two for mul then add: the fused form
      // recovers the rounding error of the product exactly.
      {"mul.rn.f32 %f, %a, %b; neg.f32 %f, %f; fma.rn.f32 %d, %a, %b, %f;",
       [](u32 a, u32 b) { return bits(std::fma(value(a), value(b), -(value(a) * value(b)))); }},
      {"mul.rn.f32 %f, %a, %b; add.rn.f32 %d, %f, %a;",
       [](u32 a, u32 b) { return bits(value(a) * value(b) + value(a)); }},
      {"mad.rn.f32 %d, %a, %b, %a;",
       [](u32 a, u32 b) { return bits(std::fma(value(a), value(b), value(a))); }},
  };
  check_cases<u32, u32>("f32", "f32", cases, kArithPairs, true);
}

TEST(Float, FusedMultiplyAddDiffersFromSeparateRounding) {
  // (1 + 2^-23)^2 = 1 + 2^-22 + 2^-46: the product rounds the last term away,
  // the fused form keeps it.
  const std::vector<Case<u32, u32>> cases = {
      {"mul.rn.f32 %f, %a, %a; sub.rn.f32 %d, %f, %b;", [](u32, u32) { return bits(0x1p-22f); }},
      {"neg.f32 %f, %b; fma.rn.f32 %d, %a, %a, %f;",
       [](u32, u32) { return bits(0x1p-22f + 0x1p-46f); }},
  };
  check_cases<u32, u32>("f32", "f32", cases, {{bits(kOnePlus), bits(1.0f)}}, true);
}

TEST(Float, DirectedRoundingModes) {
  auto exact_sum = [](u32 a, u32 b) { return static_cast<double>(value(a)) + value(b); };
  auto exact_product = [](u32 a, u32 b) { return static_cast<double>(value(a)) * value(b); };
  const std::vector<Case<u32, u32>> cases = {
      {"add.rz.f32 %d, %a, %b;",
       [=](u32 a, u32 b) { return bits(round_to_float(exact_sum(a, b), Dir::Zero)); }},
      {"add.rm.f32 %d, %a, %b;",
       [=](u32 a, u32 b) { return bits(round_to_float(exact_sum(a, b), Dir::Down)); }},
      {"add.rp.f32 %d, %a, %b;",
       [=](u32 a, u32 b) { return bits(round_to_float(exact_sum(a, b), Dir::Up)); }},
      {"mul.rz.f32 %d, %a, %b;",
       [=](u32 a, u32 b) { return bits(round_to_float(exact_product(a, b), Dir::Zero)); }},
      {"mul.rm.f32 %d, %a, %b;",
       [=](u32 a, u32 b) { return bits(round_to_float(exact_product(a, b), Dir::Down)); }},
      {"mul.rp.f32 %d, %a, %b;",
       [=](u32 a, u32 b) { return bits(round_to_float(exact_product(a, b), Dir::Up)); }},
      {"sub.rp.f32 %d, %b, %a;",
       [](u32 a, u32 b) {
         return bits(round_to_float(static_cast<double>(value(b)) - value(a), Dir::Up));
       }},
  };
  check_cases<u32, u32>("f32", "f32", cases, kArithPairs, true);
}

TEST(Float, ApproximateFormsStayClose) {
  const std::vector<Case<u32, u32>> cases = {
      {"div.approx.f32 %d, %a, %b;", [](u32 a, u32 b) { return bits(value(a) / value(b)); }},
      {"div.full.f32 %d, %a, %b;", [](u32 a, u32 b) { return bits(value(a) / value(b)); }},
      {"sqrt.approx.f32 %d, %b;", [](u32, u32 b) { return bits(std::sqrt(value(b))); }},
      {"rcp.approx.f32 %d, %b;", [](u32, u32 b) { return bits(1.0f / value(b)); }},
  };
  const std::string ptx = case_kernel<u32, u32>("f32", "f32", cases);
  auto program = compile_valid(ptx);
  ASSERT_NE(program, nullptr);
  const std::vector<float> a = {1.0f, 10.0f, -7.0f, 3.0f};
  const std::vector<float> b = {3.0f, 7.0f, 0.3f, 1e-3f};
  HostMemory memory;
  const auto pa = memory.upload(a);
  const auto pb = memory.upload(b);
  const auto out = memory.upload(std::vector<float>(a.size() * cases.size()));
  ASSERT_EQ(
      launch(*program, "cases", memory, Args().add(pa).add(pb).add(out), {.block = {4, 1, 1}}),
      kSuccess);
  const auto got = memory.download<float>(out, a.size() * cases.size());
  for (std::size_t t = 0; t < a.size(); ++t) {
    for (std::size_t i = 0; i < cases.size(); ++i) {
      const float want = value(cases[i].expected(bits(a[t]), bits(b[t])));
      EXPECT_NEAR(got[t * cases.size() + i], want, std::fabs(want) * 1e-6f) << cases[i].ptx;
    }
  }
}

TEST(Float, FlushToZeroAndSaturate) {
  const std::vector<Case<u32, u32>> cases = {
      {"add.f32 %d, %a, %b;", [](u32 a, u32 b) { return bits(value(a) + value(b)); }},
      {"add.ftz.f32 %d, %a, %b;",
       [](u32 a, u32 b) {
         auto flush = [](float v) {
           return std::fpclassify(v) == FP_SUBNORMAL ? std::copysign(0.0f, v) : v;
         };
         return bits(flush(flush(value(a)) + flush(value(b))));
       }},
      {"mul.ftz.f32 %d, %a, 0f3F000000;",
       [](u32 a, u32) {
         const float r = value(a) * 0.5f;
         return bits(std::fpclassify(r) == FP_SUBNORMAL || std::fpclassify(value(a)) == FP_SUBNORMAL
                         ? std::copysign(0.0f, r)
                         : r);
       }},
      {"add.sat.f32 %d, %a, %b;",
       [](u32 a, u32 b) {
         const float r = value(a) + value(b);
         return bits(std::isnan(r) ? 0.0f : std::clamp(r, 0.0f, 1.0f));
       }},
      {"setp.eq.ftz.f32 %p, %a, 0f00000000; selp.b32 %x, 1, 0, %p; mov.b32 %d, %x;",
       [](u32 a, u32) {
         return (value(a) == 0.0f || std::fpclassify(value(a)) == FP_SUBNORMAL) ? 1u : 0u;
       }},
  };
  const std::vector<std::pair<u32, u32>> pairs = {
      {bits(kSubnormal), bits(0.0f)}, {bits(-kSubnormal), bits(0.0f)},
      {bits(0x1p-126f), bits(0.0f)},  {bits(0.75f), bits(0.5f)},
      {bits(-0.25f), bits(0.1f)},     {bits(kNaN), bits(1.0f)},
      {bits(kInf), bits(-kInf)},
  };
  check_cases<u32, u32>("f32", "f32", cases, pairs, true);
}

TEST(Float, OrderedAndUnorderedComparesWithNaN) {
  auto check = [](const char* op, auto relation) {
    return Case<u32, u32>{
        std::string("setp.") + op + ".f32 %p, %a, %b; selp.b32 %x, 1, 0, %p; mov.b32 %d, %x;",
        [relation](u32 a, u32 b) { return relation(value(a), value(b)) ? 1u : 0u; }};
  };
  auto unordered = [](float a, float b) { return std::isnan(a) || std::isnan(b); };
  const std::vector<Case<u32, u32>> cases = {
      check("eq", [](float a, float b) { return a == b; }),
      check("ne", [=](float a, float b) { return !unordered(a, b) && a != b; }),
      check("lt", [](float a, float b) { return a < b; }),
      check("le", [](float a, float b) { return a <= b; }),
      check("gt", [](float a, float b) { return a > b; }),
      check("ge", [](float a, float b) { return a >= b; }),
      check("equ", [=](float a, float b) { return unordered(a, b) || a == b; }),
      check("neu", [](float a, float b) { return a != b; }),
      check("ltu", [=](float a, float b) { return unordered(a, b) || a < b; }),
      check("leu", [=](float a, float b) { return unordered(a, b) || a <= b; }),
      check("gtu", [=](float a, float b) { return unordered(a, b) || a > b; }),
      check("geu", [=](float a, float b) { return unordered(a, b) || a >= b; }),
      check("num", [=](float a, float b) { return !unordered(a, b); }),
      check("nan", [=](float a, float b) { return unordered(a, b); }),
      {"min.f32 %d, %a, %b;", [](u32 a, u32 b) { return bits(std::fmin(value(a), value(b))); }},
      {"max.f32 %d, %b, %a;", [](u32 a, u32 b) { return bits(std::fmax(value(b), value(a))); }},
  };
  const std::vector<std::pair<u32, u32>> pairs = {
      {bits(kNaN), bits(1.0f)},  {bits(1.0f), bits(kNaN)},  {bits(kNaN), bits(kNaN)},
      {bits(1.0f), bits(2.0f)},  {bits(2.0f), bits(1.0f)},  {bits(1.5f), bits(1.5f)},
      {bits(-kInf), bits(kInf)}, {bits(-3.0f), bits(kNaN)},
  };
  check_cases<u32, u32>("f32", "f32", cases, pairs, true);
}

TEST(Float, FloatToIntegerRoundsAndClamps) {
  auto to_s32 = [](double v) -> u32 {
    if (std::isnan(v)) return 0;
    if (v >= 2147483648.0) return 0x7FFFFFFFu;
    if (v < -2147483648.0) return 0x80000000u;
    return static_cast<u32>(static_cast<std::int32_t>(v));
  };
  auto to_u32 = [](double v) -> u32 {
    if (std::isnan(v) || v < 0) return 0;
    return v >= 4294967296.0 ? 0xFFFFFFFFu : static_cast<u32>(v);
  };
  const std::vector<Case<u32, u32>> cases = {
      {"cvt.rni.s32.f32 %x, %a; mov.b32 %d, %x;",
       [=](u32 a, u32) { return to_s32(std::nearbyint(value(a))); }},
      {"cvt.rzi.s32.f32 %x, %a; mov.b32 %d, %x;",
       [=](u32 a, u32) { return to_s32(std::trunc(value(a))); }},
      {"cvt.rmi.s32.f32 %x, %a; mov.b32 %d, %x;",
       [=](u32 a, u32) { return to_s32(std::floor(value(a))); }},
      {"cvt.rpi.s32.f32 %x, %a; mov.b32 %d, %x;",
       [=](u32 a, u32) { return to_s32(std::ceil(value(a))); }},
      {"cvt.rzi.u32.f32 %x, %a; mov.b32 %d, %x;",
       [=](u32 a, u32) { return to_u32(std::trunc(value(a))); }},
      {"cvt.rni.f32.f32 %d, %a;", [](u32 a, u32) { return bits(std::nearbyint(value(a))); }},
      {"cvt.rmi.f32.f32 %d, %a;", [](u32 a, u32) { return bits(std::floor(value(a))); }},
  };
  // Ties go to even under .rni: 2.5 -> 2, 3.5 -> 4, -2.5 -> -2.
  const std::vector<std::pair<u32, u32>> pairs = {
      {bits(2.5f), 0},    {bits(3.5f), 0},          {bits(-2.5f), 0}, {bits(-0.4f), 0},
      {bits(1.9999f), 0}, {bits(3e9f), 0},          {bits(-3e9f), 0}, {bits(kNaN), 0},
      {bits(-kInf), 0},   {bits(2147483520.0f), 0},
  };
  check_cases<u32, u32>("f32", "f32", cases, pairs, true);
}

TEST(Float, IntegerToFloatHonoursRounding) {
  // 16777217 = 2^24 + 1 lies between two floats; 0xFFFFFFFF lies just below 2^32.
  const std::vector<Case<u32, u32>> cases = {
      {"cvt.rn.f32.s32 %d, %a;",
       [](u32 a, u32) { return bits(static_cast<float>(static_cast<std::int32_t>(a))); }},
      {"cvt.rz.f32.u32 %d, %a;", [](u32 a, u32) { return bits(round_to_float(a, Dir::Zero)); }},
      {"cvt.rm.f32.s32 %d, %a;",
       [](u32 a, u32) { return bits(round_to_float(static_cast<std::int32_t>(a), Dir::Down)); }},
      {"cvt.rp.f32.u32 %d, %a;", [](u32 a, u32) { return bits(round_to_float(a, Dir::Up)); }},
      {"cvt.rn.f32.u32 %d, %a;", [](u32 a, u32) { return bits(static_cast<float>(a)); }},
  };
  const std::vector<std::pair<u32, u32>> pairs = {{16777217u, 0},
                                                  {0xFFFFFFFFu, 0},
                                                  {static_cast<u32>(-16777219), 0},
                                                  {12345u, 0},
                                                  {0x7FFFFFC1u, 0}};
  check_cases<u32, u32>("b32", "f32", cases, pairs, true);
}

TEST(Float, DoublePrecisionAndNarrowing) {
  const std::vector<Case<u64, u64>> cases = {
      {"add.f64 %d, %a, %b;", [](u64 a, u64 b) { return bits64(value64(a) + value64(b)); }},
      {"mul.rn.f64 %d, %a, %b;", [](u64 a, u64 b) { return bits64(value64(a) * value64(b)); }},
      {"div.rn.f64 %d, %a, %b;", [](u64 a, u64 b) { return bits64(value64(a) / value64(b)); }},
      {"fma.rn.f64 %d, %a, %b, %a;",
       [](u64 a, u64 b) { return bits64(std::fma(value64(a), value64(b), value64(a))); }},
      {"sqrt.rn.f64 %d, %b;", [](u64, u64 b) { return bits64(std::sqrt(value64(b))); }},
      {"setp.gtu.f64 %p, %a, %b; selp.f64 %d, 0d3FF0000000000000, 0d0000000000000000, %p;",
       [](u64 a, u64 b) { return bits64(!(value64(a) <= value64(b)) ? 1.0 : 0.0); }},
      {"cvt.rn.f32.f64 %f, %a; cvt.f64.f32 %d, %f;",
       [](u64 a, u64) { return bits64(static_cast<double>(static_cast<float>(value64(a)))); }},
      {"cvt.rz.f32.f64 %f, %a; cvt.f64.f32 %d, %f;",
       [](u64 a, u64) {
         return bits64(static_cast<double>(round_to_float(value64(a), Dir::Zero)));
       }},
      {"cvt.rp.f32.f64 %f, %a; cvt.f64.f32 %d, %f;",
       [](u64 a, u64) { return bits64(static_cast<double>(round_to_float(value64(a), Dir::Up))); }},
      {"cvt.rzi.s64.f64 %xd, %a; mov.b64 %d, %xd;",
       [](u64 a, u64) -> u64 {
         const double v = std::trunc(value64(a));
         if (std::isnan(v)) return 0;
         if (v >= 0x1p63) return 0x7FFFFFFFFFFFFFFFull;
         return v < -0x1p63 ? 0x8000000000000000ull
                            : static_cast<u64>(static_cast<std::int64_t>(v));
       }},
      {"mov.b64 %xd, %b; cvt.rn.f64.u64 %d, %xd;",
       [](u64, u64 b) { return bits64(static_cast<double>(b)); }},
  };
  const std::vector<std::pair<u64, u64>> pairs = {
      {bits64(1.0 + 0x1p-30), bits64(3.0)}, {bits64(-123.456), bits64(0.1)},
      {bits64(1e300), bits64(1e10)},        {bits64(0.1), bits64(-0.7)},
      {bits64(std::nan("")), bits64(2.0)},
  };
  check_cases<u64, u64>("f64", "f64", cases, pairs, true);
}

}  // namespace
}  // namespace vorlan::emu::testing
