// UTF-8 checks for the texts the driver hands back (device names, error
// descriptions), which are bytes of unknown provenance.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vorlan::driver {

// Length of the well-formed UTF-8 sequence starting at text[i], or 0 when the
// bytes there do not form one.
inline std::size_t utf8_sequence_length(std::string_view text, std::size_t i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  const std::size_t length = lead < 0x80                   ? 1
                             : lead >= 0xC2 && lead < 0xE0 ? 2
                             : lead >= 0xE0 && lead < 0xF0 ? 3
                             : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                            : 0;
  if (length == 0 || i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return 0;
  }
  return length;
}

// `bytes` as UTF-8, each byte that starts no valid sequence replaced by U+FFFD.
inline std::string decode_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    if (const std::size_t length = utf8_sequence_length(bytes, i)) {
      out.append(bytes.substr(i, length));
      i += length;
    } else {
      out += "\xEF\xBF\xBD";
      ++i;
    }
  }
  return out;
}

}  // namespace vorlan::driver
