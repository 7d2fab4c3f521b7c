// Splits PTX module text into tokens. Words keep their dots (`ld.global.u32`,
// `%tid.x`, `.shared::cta`) so that the parser sees an opcode and its
// modifiers as one unit; comments vanish but still advance the line count.
#pragma once

#include <expected>
#include <string_view>
#include <vector>

#include "ptx/kernel_runner.hpp"

namespace vorlan::emu::ptx {

enum class TokenKind : unsigned char { Word, Integer, Float, Punct, End };

struct Token {
  TokenKind kind;
  std::string_view text;  // a view into the module text
  int line;               // 1-based
};

// The token list always ends with one End token.
std::expected<std::vector<Token>, PtxError> tokenize(std::string_view text);

}  // namespace vorlan::emu::ptx
