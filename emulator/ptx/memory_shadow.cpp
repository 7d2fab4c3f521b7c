#include "ptx/memory_shadow.hpp"

#include <algorithm>

namespace vorlan::emu {

void MemoryShadow::mark_defined(std::uint64_t offset, std::uint64_t bytes) {
  for (std::uint64_t at = offset; at < offset + bytes;) {
    const std::uint64_t first = at % 4;
    const std::uint64_t last = std::min<std::uint64_t>(4, first + (offset + bytes - at));
    word(at / 4).defined |= static_cast<std::uint8_t>(((1u << last) - 1) & ~((1u << first) - 1));
    at += last - first;
  }
}

}  // namespace vorlan::emu
