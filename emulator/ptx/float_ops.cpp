// Built with -frounding-math: the directed-rounding forms switch the host's
// rounding mode around a single operation, and the compiler must not move
// or fold arithmetic across those switches.
#include "ptx/float_ops.hpp"

#include <cfenv>
#include <limits>
#include <optional>

namespace vorlan::emu::ptx {
namespace {

int host_mode(Rounding rounding) {
  switch (rounding) {
    case Rounding::Zero:
      return FE_TOWARDZERO;
    case Rounding::Down:
      return FE_DOWNWARD;
    case Rounding::Up:
      return FE_UPWARD;
    default:
      return FE_TONEAREST;
  }
}

// Switches the host rounding mode for one operation and back again.
class RoundingScope {
 public:
  explicit RoundingScope(Rounding rounding) : previous_(std::fegetround()) {
    std::fesetround(host_mode(rounding));
  }
  ~RoundingScope() { std::fesetround(previous_); }
  RoundingScope(const RoundingScope&) = delete;
  RoundingScope& operator=(const RoundingScope&) = delete;

 private:
  int previous_;
};

template <class F>
F saturate(F value) {
  if (std::isnan(value)) return F{0};
  return value < F{0} ? F{0} : value > F{1} ? F{1} : value;
}

template <class F>
F apply(FloatFn fn, F a, F b, F c) {
  switch (fn) {
    case FloatFn::Add:
      return a + b;
    case FloatFn::Sub:
      return a - b;
    case FloatFn::Mul:
      return a * b;
    case FloatFn::Fma:
      return std::fma(a, b, c);
    case FloatFn::Div:
    case FloatFn::DivFull:
      return a / b;
    case FloatFn::DivApprox:
      return a * (F{1} / b);  // the hardware multiplies by an approximate reciprocal
    case FloatFn::Rcp:
    case FloatFn::RcpApprox:
      return F{1} / a;
    case FloatFn::Sqrt:
    case FloatFn::SqrtApprox:
      return std::sqrt(a);
    case FloatFn::Abs:
      return std::fabs(a);
    case FloatFn::Neg:
      return -a;
    case FloatFn::Min:
      return min_float(a, b);
    case FloatFn::Max:
      return max_float(a, b);
  }
  return a;
}

template <class F>
Reg float_typed(const Instr& in, F a, F b, F c) {
  const bool ftz = (in.flags & kFtz) != 0;
  if constexpr (std::is_same_v<F, float>) {
    if (ftz) {
      a = flush(a);
      b = flush(b);
      c = flush(c);
    }
  }
  F result;
  if (rounding_of(in) == Rounding::Nearest) {
    result = apply(static_cast<FloatFn>(in.mod), a, b, c);
  } else {
    RoundingScope scope(rounding_of(in));
    result = apply(static_cast<FloatFn>(in.mod), a, b, c);
  }
  if constexpr (std::is_same_v<F, float>) {
    if (ftz) result = flush(result);
  }
  if (in.flags & kSat) result = saturate(result);
  return bits_of(result);
}

template <class T>
bool compare_int(Compare compare, T a, T b) {
  using U = std::make_unsigned_t<T>;
  switch (compare) {
    case Compare::Eq:
      return a == b;
    case Compare::Ne:
      return a != b;
    case Compare::Lt:
      return a < b;
    case Compare::Le:
      return a <= b;
    case Compare::Gt:
      return a > b;
    case Compare::Ge:
      return a >= b;
    case Compare::Lo:
      return static_cast<U>(a) < static_cast<U>(b);
    case Compare::Ls:
      return static_cast<U>(a) <= static_cast<U>(b);
    case Compare::Hi:
      return static_cast<U>(a) > static_cast<U>(b);
    case Compare::Hs:
      return static_cast<U>(a) >= static_cast<U>(b);
    default:
      return false;
  }
}

// Ordered compares are false when either operand is NaN; the "u" forms are true.
template <class F>
bool compare_float(Compare compare, F a, F b) {
  const bool unordered = std::isnan(a) || std::isnan(b);
  switch (compare) {
    case Compare::Eq:
      return !unordered && a == b;
    case Compare::Ne:
      return !unordered && a != b;
    case Compare::Lt:
      return !unordered && a < b;
    case Compare::Le:
      return !unordered && a <= b;
    case Compare::Gt:
      return !unordered && a > b;
    case Compare::Ge:
      return !unordered && a >= b;
    case Compare::Equ:
      return unordered || a == b;
    case Compare::Neu:
      return unordered || a != b;
    case Compare::Ltu:
      return unordered || a < b;
    case Compare::Leu:
      return unordered || a <= b;
    case Compare::Gtu:
      return unordered || a > b;
    case Compare::Geu:
      return unordered || a >= b;
    case Compare::Num:
      return !unordered;
    case Compare::Nan:
      return unordered;
    default:
      return false;
  }
}

struct IntRange {
  Int128 low;
  Int128 high;
};

IntRange range_of(Type type) {
  const unsigned bits = type_bits(type);
  if (is_signed(type)) return {-(Int128{1} << (bits - 1)), (Int128{1} << (bits - 1)) - 1};
  return {0, (Int128{1} << bits) - 1};
}

Int128 integer_value(Reg value, Type type) {
  const Reg extended = extend(value, type_bits(type), is_signed(type));
  return is_signed(type) ? Int128{static_cast<std::int64_t>(extended)} : Int128{extended};
}

Reg store_integer(Int128 value, Type type) {
  return extend(static_cast<Reg>(static_cast<UInt128>(value)), type_bits(type), is_signed(type));
}

Reg int_to_int(const Instr& in, Reg a, Type to, Type from) {
  Int128 value = integer_value(a, from);
  if (in.flags & kSat) {
    const IntRange range = range_of(to);
    value = value < range.low ? range.low : value > range.high ? range.high : value;
  }
  return store_integer(value, to);
}

Reg int_to_float(const Instr& in, Reg a, Type to, Type from) {
  const Reg extended = extend(a, type_bits(from), is_signed(from));
  RoundingScope scope(rounding_of(in));
  Reg result;
  if (to == Type::F32) {
    const float value = is_signed(from) ? static_cast<float>(static_cast<std::int64_t>(extended))
                                        : static_cast<float>(extended);
    result = bits_of((in.flags & kSat) ? saturate(value) : value);
  } else {
    const double value = is_signed(from) ? static_cast<double>(static_cast<std::int64_t>(extended))
                                         : static_cast<double>(extended);
    result = bits_of((in.flags & kSat) ? saturate(value) : value);
  }
  return result;
}

double round_integral(double value, Rounding rounding) {
  switch (rounding) {
    case Rounding::Zero:
      return std::trunc(value);
    case Rounding::Down:
      return std::floor(value);
    case Rounding::Up:
      return std::ceil(value);
    default: {
      RoundingScope scope(Rounding::Nearest);
      return std::nearbyint(value);
    }
  }
}

double float_operand(const Instr& in, Reg a, Type from) {
  if (from == Type::F64) return as<double>(a);
  const float value = as<float>(a);
  return (in.flags & kFtz) ? flush(value) : value;
}

// Float-to-integer conversions always clamp to the destination range; NaN gives 0.
Reg float_to_int(const Instr& in, Reg a, Type to, Type from) {
  const double value = round_integral(float_operand(in, a, from), rounding_of(in));
  if (std::isnan(value)) return 0;
  const IntRange range = range_of(to);
  const unsigned bits = type_bits(to);
  const double high_limit = std::ldexp(1.0, static_cast<int>(is_signed(to) ? bits - 1 : bits));
  if (value >= high_limit) return store_integer(range.high, to);
  if (value < static_cast<double>(range.low)) return store_integer(range.low, to);
  const Int128 integral = is_signed(to) ? Int128{static_cast<std::int64_t>(value)}
                                        : Int128{static_cast<std::uint64_t>(value)};
  return store_integer(integral, to);
}

Reg float_to_float(const Instr& in, Reg a, Type to, Type from) {
  double value = float_operand(in, a, from);
  if (in.flags & kIntRound) value = round_integral(value, rounding_of(in));
  if (to == Type::F64) return bits_of((in.flags & kSat) ? saturate(value) : value);
  float narrow;
  if (from == Type::F64 && !(in.flags & kIntRound)) {
    RoundingScope scope(rounding_of(in));
    narrow = static_cast<float>(value);
  } else {
    narrow = static_cast<float>(value);  // exact: the value came from an f32
  }
  if (in.flags & kFtz) narrow = flush(narrow);
  return bits_of((in.flags & kSat) ? saturate(narrow) : narrow);
}

}  // namespace

Reg float_generic(const Instr& in, Reg a, Reg b, Reg c) {
  if (in.type == Type::F32) return float_typed<float>(in, as<float>(a), as<float>(b), as<float>(c));
  return float_typed<double>(in, as<double>(a), as<double>(b), as<double>(c));
}

bool compare_generic(const Instr& in, Reg a, Reg b) {
  const auto compare = static_cast<Compare>(in.mod);
  switch (in.type) {
    case Type::B16:
    case Type::U16:
      return compare_int<std::uint16_t>(compare, as<std::uint16_t>(a), as<std::uint16_t>(b));
    case Type::S16:
      return compare_int<std::int16_t>(compare, as<std::int16_t>(a), as<std::int16_t>(b));
    case Type::B32:
    case Type::U32:
      return compare_int<std::uint32_t>(compare, as<std::uint32_t>(a), as<std::uint32_t>(b));
    case Type::S32:
      return compare_int<std::int32_t>(compare, as<std::int32_t>(a), as<std::int32_t>(b));
    case Type::B64:
    case Type::U64:
      return compare_int<std::uint64_t>(compare, a, b);
    case Type::S64:
      return compare_int<std::int64_t>(compare, as<std::int64_t>(a), as<std::int64_t>(b));
    case Type::F32: {
      const bool ftz = (in.flags & kFtz) != 0;
      const float x = as<float>(a);
      const float y = as<float>(b);
      return compare_float(compare, ftz ? flush(x) : x, ftz ? flush(y) : y);
    }
    case Type::F64:
      return compare_float(compare, as<double>(a), as<double>(b));
    default:
      return false;
  }
}

Reg convert_generic(const Instr& in, Reg a) {
  const Type to = in.type;
  const auto from = static_cast<Type>(in.mod);
  if (is_integer(to) && is_integer(from)) return int_to_int(in, a, to, from);
  if (is_integer(from)) return int_to_float(in, a, to, from);
  if (is_integer(to)) return float_to_int(in, a, to, from);
  return float_to_float(in, a, to, from);
}

}  // namespace vorlan::emu::ptx
