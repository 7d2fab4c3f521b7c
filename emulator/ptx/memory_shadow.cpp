#include "ptx/memory_shadow.hpp"

#include <cstring>

namespace vorlan::emu {

void MemoryShadow::mark_defined(std::uint64_t offset, std::uint64_t bytes) {
  const std::uint64_t end = offset + bytes;
  auto mark = [this](std::uint64_t from, std::uint64_t to) {  // within one word
    defined(from / 4) |=
        static_cast<std::uint8_t>(((1u << (to - from + from % 4)) - 1) & ~((1u << (from % 4)) - 1));
  };
  const std::uint64_t first_whole = (offset + 3) / 4;
  const std::uint64_t last_whole = end / 4;
  if (first_whole > last_whole) {  // inside a single word
    mark(offset, end);
    return;
  }
  if (offset % 4 != 0) mark(offset, first_whole * 4);
  std::memset(&defined(first_whole), 0x0F, last_whole - first_whole);
  if (end % 4 != 0) mark(last_whole * 4, end);
}

}  // namespace vorlan::emu
