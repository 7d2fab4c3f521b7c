// What the hazard checks remember about one device allocation, per 4-byte
// word: which of its bytes were ever written (by the host or a kernel), and
// which launch and thread wrote it last. Launches are numbered, so nothing
// is ever cleared: a record of an older launch simply no longer applies.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>

namespace vorlan::emu {

struct ShadowWord {
  std::uint32_t launch;  // the last launch that wrote the word; 0: none
  std::uint32_t writer;  // that launch's writing thread, numbered across the grid
  std::uint8_t defined;  // byte mask: written since the allocation
  std::uint8_t written;  // byte mask: written by `writer` in `launch`
  std::uint8_t atomic;   // 1: the last write was an atomic
};

class MemoryShadow {
 public:
  // calloc: zero pages come from the system untouched, so a large allocation
  // costs its shadow nothing until it is used.
  explicit MemoryShadow(std::uint64_t bytes)
      : words_(static_cast<ShadowWord*>(std::calloc((bytes + 3) / 4, sizeof(ShadowWord)))) {}
  bool valid() const { return words_ != nullptr; }
  ShadowWord& word(std::uint64_t index) { return words_.get()[index]; }
  // Host copies into the allocation define its bytes.
  void mark_defined(std::uint64_t offset, std::uint64_t bytes);

 private:
  struct Free {
    void operator()(ShadowWord* words) const { std::free(words); }
  };
  std::unique_ptr<ShadowWord, Free> words_;
};

}  // namespace vorlan::emu
