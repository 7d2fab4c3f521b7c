// Builds the syntax of a whole module from its tokens. The parser knows the
// module's layout (directives, entries, declarations, statements) but nothing
// about what an instruction means; the decoder checks that.
#pragma once

#include <expected>
#include <string_view>

#include "ptx/kernel_runner.hpp"
#include "ptx/syntax.hpp"

namespace vorlan::emu::ptx {

// The newest PTX ISA version this engine understands.
inline constexpr int kMaxVersionMajor = 8;
inline constexpr int kMaxVersionMinor = 5;

std::expected<ModuleSyntax, PtxError> parse_module(std::string_view text);

}  // namespace vorlan::emu::ptx
