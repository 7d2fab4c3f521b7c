// How values sit in register slots. A slot is 64 bits; a narrower register
// keeps its value in the low bits and readers look only at the width their
// instruction names. Signed results are stored sign-extended, so that a
// narrow signed value widened by ld or cvt needs no further work.
#pragma once

#include <bit>
#include <concepts>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace vorlan::emu::ptx {

using Reg = std::uint64_t;
__extension__ typedef __int128 Int128;
__extension__ typedef unsigned __int128 UInt128;

template <class T>
constexpr T as(Reg value) {
  if constexpr (std::is_same_v<T, float>) {
    return std::bit_cast<float>(static_cast<std::uint32_t>(value));
  } else if constexpr (std::is_same_v<T, double>) {
    return std::bit_cast<double>(value);
  } else {
    return static_cast<T>(value);
  }
}

template <class T>
constexpr Reg bits_of(T value) {
  if constexpr (std::is_same_v<T, float>) {
    return std::bit_cast<std::uint32_t>(value);
  } else if constexpr (std::is_same_v<T, double>) {
    return std::bit_cast<std::uint64_t>(value);
  } else if constexpr (std::is_same_v<T, bool>) {
    return value ? 1 : 0;
  } else if constexpr (std::is_signed_v<T>) {
    return static_cast<Reg>(static_cast<std::int64_t>(value));
  } else {
    return static_cast<Reg>(value);
  }
}

// The low `bits` of `value`, zero- or sign-extended to 64 bits.
constexpr Reg extend(Reg value, unsigned bits, bool sign) {
  if (bits >= 64) return value;
  const unsigned shift = 64 - bits;
  if (sign) return static_cast<Reg>(static_cast<std::int64_t>(value << shift) >> shift);
  return (value << shift) >> shift;
}

template <class T>
inline Reg load_value(const std::byte* from) {
  T value;
  std::memcpy(&value, from, sizeof(T));
  return bits_of(value);
}

template <class T>
inline void store_value(std::byte* to, Reg value) {
  const T narrow = static_cast<T>(value);
  std::memcpy(to, &narrow, sizeof(T));
}

}  // namespace vorlan::emu::ptx
