// Numeric literals as PTX writes them.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vorlan::emu::ptx {

// Decimal, 0x hexadecimal, 0b binary or 0-prefixed octal, with an optional
// U suffix; nullopt when malformed or beyond 64 bits.
std::optional<std::uint64_t> parse_integer_literal(std::string_view text);

struct FloatLiteral {
  std::uint64_t bits;  // an f32 pattern when `single`, else an f64 pattern
  bool single;
};

// 0fXXXXXXXX (f32 bits), 0dXXXXXXXXXXXXXXXX (f64 bits) or a decimal number
// (read as f64, as PTX does).
std::optional<FloatLiteral> parse_float_literal(std::string_view text);

}  // namespace vorlan::emu::ptx
