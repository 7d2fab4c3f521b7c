// What the hazard checks remember about one device allocation, per 4-byte
// word: which of its bytes were ever written (by the host or a kernel), and
// which launch and thread wrote it last. Launches are numbered, so nothing
// is ever cleared: a record of an older launch simply no longer applies.
#pragma once

#include <cstdint>

#include "host_pages.hpp"

namespace vorlan::emu {

struct ShadowWord {
  std::uint32_t launch;  // the last launch that wrote the word; 0: none
  std::uint32_t writer;  // that launch's writing thread, numbered across the grid
  std::uint8_t written;  // byte mask: written by `writer` in `launch`
  std::uint8_t atomic;   // 1: the last write was an atomic
};

// The byte masks of what was ever written live apart from the kernels'
// write records: host copies, which define whole buffers at once, then touch
// a quarter of the buffer's size instead of three times it.
class MemoryShadow {
 public:
  // Mapped pages come zeroed and untouched, so a large allocation costs its
  // shadow nothing until it is used.
  explicit MemoryShadow(std::uint64_t bytes)
      : words_((bytes + 3) / 4 * sizeof(ShadowWord)), defined_((bytes + 3) / 4) {}
  bool valid() const { return words_.valid() && defined_.valid(); }
  ShadowWord& word(std::uint64_t index) {
    return reinterpret_cast<ShadowWord*>(words_.data())[index];
  }
  // Byte mask of word `index`: its bytes written since the allocation.
  std::uint8_t& defined(std::uint64_t index) {
    return reinterpret_cast<std::uint8_t*>(defined_.data())[index];
  }
  // Host copies into the allocation define its bytes.
  void mark_defined(std::uint64_t offset, std::uint64_t bytes);

 private:
  HostPages words_;
  HostPages defined_;
};

}  // namespace vorlan::emu
