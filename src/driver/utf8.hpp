// UTF-8 checks for the texts the driver hands back (device names, error
// descriptions), which are bytes of unknown provenance.
//
// Decoding follows the Unicode standard's table of well-formed byte sequences:
// no overlong forms, no surrogates, nothing above U+10FFFF. A sequence that
// breaks off is replaced as a whole ("maximal subpart"): one U+FFFD for the
// longest start of a well-formed sequence found, or for a single byte that
// starts none. That is what Python's decoder does with errors="replace".
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace vorlan::driver {

// One row of the table of well-formed sequences: the lead bytes it covers,
// the sequence length, and the range of the second byte. Every later byte
// lies in 80..BF.
struct Utf8Row {
  unsigned char lead_first, lead_last;
  std::size_t length;
  unsigned char second_first, second_last;
};

inline constexpr std::array<Utf8Row, 9> kUtf8Rows = {{
    {0x00, 0x7F, 1, 0, 0},
    {0xC2, 0xDF, 2, 0x80, 0xBF},
    {0xE0, 0xE0, 3, 0xA0, 0xBF},
    {0xE1, 0xEC, 3, 0x80, 0xBF},
    {0xED, 0xED, 3, 0x80, 0x9F},
    {0xEE, 0xEF, 3, 0x80, 0xBF},
    {0xF0, 0xF0, 4, 0x90, 0xBF},
    {0xF1, 0xF3, 4, 0x80, 0xBF},
    {0xF4, 0xF4, 4, 0x80, 0x8F},
}};

// What starts at one position of a text: a well-formed sequence, or the
// maximal subpart of one (at least one byte) that must be replaced.
struct Utf8Piece {
  std::size_t length;
  bool well_formed;
};

inline Utf8Piece utf8_piece(std::string_view text, std::size_t i) {
  const auto at = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
  const unsigned char lead = at(0);
  for (const Utf8Row& row : kUtf8Rows) {
    if (lead < row.lead_first || lead > row.lead_last) continue;
    unsigned char first = row.second_first, last = row.second_last;
    for (std::size_t k = 1; k < row.length; ++k, first = 0x80, last = 0xBF) {
      if (i + k >= text.size() || at(k) < first || at(k) > last) return {k, false};
    }
    return {row.length, true};
  }
  return {1, false};  // a continuation byte, C0, C1 or F5..FF: starts nothing
}

// `bytes` as UTF-8, each maximal subpart of an ill-formed sequence replaced by
// one U+FFFD.
inline std::string decode_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    const Utf8Piece piece = utf8_piece(bytes, i);
    if (piece.well_formed) {
      out.append(bytes.substr(i, piece.length));
    } else {
      out += "\xEF\xBF\xBD";
    }
    i += piece.length;
  }
  return out;
}

}  // namespace vorlan::driver
