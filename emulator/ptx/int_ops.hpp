// Integer operations whose result depends on signedness or width. The
// templates take the PTX operand type (std::uint16_t for .u16 and so on).
// Division by zero has no defined PTX result; these return all ones for the
// quotient and the dividend for the remainder instead of trapping.
#pragma once

#include <bit>
#include <limits>
#include <type_traits>

#include "ptx/numeric.hpp"

namespace vorlan::emu::ptx {

template <class T>
using Wider = std::conditional_t<
    sizeof(T) == 2, std::conditional_t<std::is_signed_v<T>, std::int32_t, std::uint32_t>,
    std::conditional_t<sizeof(T) == 4,
                       std::conditional_t<std::is_signed_v<T>, std::int64_t, std::uint64_t>,
                       std::conditional_t<std::is_signed_v<T>, Int128, UInt128>>>;

template <class T>
constexpr T mul_hi(T a, T b) {
  const auto product = static_cast<Wider<T>>(a) * static_cast<Wider<T>>(b);
  return static_cast<T>(product >> (8 * sizeof(T)));
}

template <class T>
constexpr Wider<T> mul_wide(T a, T b) {
  return static_cast<Wider<T>>(static_cast<Wider<T>>(a) * static_cast<Wider<T>>(b));
}

template <class T>
constexpr T div_int(T a, T b) {
  if (b == 0) return static_cast<T>(~T{0});
  if constexpr (std::is_signed_v<T>) {
    if (a == std::numeric_limits<T>::min() && b == -1) return a;
  }
  return static_cast<T>(a / b);
}

template <class T>
constexpr T rem_int(T a, T b) {
  if (b == 0) return a;
  if constexpr (std::is_signed_v<T>) {
    if (b == -1) return 0;
  }
  return static_cast<T>(a % b);
}

// Shift amounts beyond the width saturate: zeros, or copies of the sign bit.
template <class T>
constexpr T shr_int(T a, std::uint32_t amount) {
  constexpr std::uint32_t width = 8 * sizeof(T);
  if constexpr (std::is_signed_v<T>) {
    return static_cast<T>(a >> (amount >= width ? width - 1 : amount));
  } else {
    return amount >= width ? T{0} : static_cast<T>(a >> amount);
  }
}

template <class T>
constexpr T shl_int(T a, std::uint32_t amount) {
  return amount >= 8 * sizeof(T) ? T{0} : static_cast<T>(a << amount);
}

// abs of the most negative value is itself, as in two's complement hardware.
template <class T>
constexpr T abs_int(T a) {
  if constexpr (std::is_signed_v<T>) {
    using U = std::make_unsigned_t<T>;
    return a < 0 ? static_cast<T>(U{0} - static_cast<U>(a)) : a;
  } else {
    return a;
  }
}

template <class T>
constexpr T min_int(T a, T b) {
  return b < a ? b : a;
}
template <class T>
constexpr T max_int(T a, T b) {
  return a < b ? b : a;
}

}  // namespace vorlan::emu::ptx
