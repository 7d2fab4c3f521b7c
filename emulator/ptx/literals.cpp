#include "ptx/literals.hpp"

#include <bit>
#include <charconv>

namespace vorlan::emu::ptx {

std::optional<std::uint64_t> parse_integer_literal(std::string_view text) {
  if (text.ends_with('U') || text.ends_with('u')) text.remove_suffix(1);
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  } else if (text.size() > 2 && text[0] == '0' && (text[1] == 'b' || text[1] == 'B')) {
    base = 2;
    text.remove_prefix(2);
  } else if (text.size() > 1 && text[0] == '0') {
    base = 8;
    text.remove_prefix(1);
  }
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (error != std::errc{} || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

std::optional<FloatLiteral> parse_float_literal(std::string_view text) {
  if (text.size() > 2 && text[0] == '0' &&
      (text[1] == 'f' || text[1] == 'F' || text[1] == 'd' || text[1] == 'D')) {
    const bool single = text[1] == 'f' || text[1] == 'F';
    const std::string_view digits = text.substr(2);
    std::uint64_t bits = 0;
    const auto [end, error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), bits, 16);
    if (error != std::errc{} || end != digits.data() + digits.size()) return std::nullopt;
    if (digits.size() != (single ? 8u : 16u)) return std::nullopt;
    return FloatLiteral{bits, single};
  }
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return FloatLiteral{std::bit_cast<std::uint64_t>(value), false};
}

}  // namespace vorlan::emu::ptx
