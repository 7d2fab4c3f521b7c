// Floating-point semantics beyond plain round-to-nearest arithmetic: the
// generic Float opcode (directed rounding, .ftz, .sat, approximations), the
// generic setp, conversions, and PTX's min/max rules.
#pragma once

#include <cmath>

#include "ptx/numeric.hpp"
#include "ptx/opcodes.hpp"

namespace vorlan::emu::ptx {

Reg float_generic(const Instr& in, Reg a, Reg b, Reg c);
bool compare_generic(const Instr& in, Reg a, Reg b);
Reg convert_generic(const Instr& in, Reg a);

// PTX min/max: a NaN operand yields the other one; -0.0 is below +0.0.
template <class F>
inline F min_float(F a, F b) {
  if (std::isnan(a)) return std::isnan(b) ? std::numeric_limits<F>::quiet_NaN() : b;
  if (std::isnan(b)) return a;
  if (a == b) return std::signbit(a) ? a : b;
  return a < b ? a : b;
}

template <class F>
inline F max_float(F a, F b) {
  if (std::isnan(a)) return std::isnan(b) ? std::numeric_limits<F>::quiet_NaN() : b;
  if (std::isnan(b)) return a;
  if (a == b) return std::signbit(a) ? b : a;
  return a > b ? a : b;
}

// Sign-preserving flush of subnormal values, as .ftz asks for.
inline float flush(float value) {
  return std::fpclassify(value) == FP_SUBNORMAL ? std::copysign(0.0f, value) : value;
}

}  // namespace vorlan::emu::ptx
