#include "ptx/hazard_checks.hpp"

#include <cstring>

namespace vorlan::emu::ptx {
namespace {

constexpr const char* kUndefinedGlobal = "read of global memory never written since its allocation";
constexpr const char* kNcAfterWrite =
    "non-coherent load (ld.global.nc) of an address this launch wrote";
constexpr const char* kStoreConflict =
    "plain stores of different values to one global address by different threads";
constexpr const char* kUndefinedShared = "read of shared memory not written in this block";
constexpr const char* kSharedRace =
    "shared-memory race: another thread accessed this address since the last barrier";

std::uint8_t byte_mask(unsigned first, unsigned count) {
  return static_cast<std::uint8_t>(((1u << (first + count)) - 1) & ~((1u << first) - 1));
}

bool reads(Access access) { return access != Access::Store; }
bool writes(Access access) { return access == Access::Store || access == Access::Atomic; }

// Whether the bytes of `mask` would change to `value`; `current` and `value`
// start at byte `first` of the word.
bool changes(const std::byte* current, const std::byte* value, unsigned first, std::uint8_t mask) {
  for (unsigned i = first; i < 4; ++i) {
    if (((mask >> i) & 1) != 0 && current[i - first] != value[i - first]) return true;
  }
  return false;
}

Hazard check_word(ShadowWord& word, std::uint8_t& defined, Access access, unsigned first,
                  std::uint8_t mask, const std::byte* current, const std::byte* value,
                  std::uint32_t launch, std::uint32_t thread) {
  if (reads(access) && (defined & mask) != mask) return {kUndefinedGlobal, kNoThread};
  const bool this_launch = word.launch == launch;
  if (access == Access::LoadNc && this_launch) return {kNcAfterWrite, word.writer};
  if (!writes(access)) return {};
  if (access == Access::Store && this_launch && word.writer != thread && word.atomic == 0 &&
      changes(current, value, first, word.written & mask)) {
    return {kStoreConflict, word.writer};
  }
  const bool same_writer = this_launch && word.writer == thread;
  word.written = static_cast<std::uint8_t>(same_writer ? word.written | mask : mask);
  word.launch = launch;
  word.writer = thread;
  defined |= mask;
  word.atomic = access == Access::Atomic ? 1 : 0;
  return {};
}

}  // namespace

Hazard check_global(MemoryShadow& shadow, Access access, std::uint64_t offset, unsigned bytes,
                    const std::byte* current, const std::byte* value, std::uint32_t launch,
                    std::uint32_t thread) {
  // Accesses are aligned to their size, so one lies within a word or covers whole words.
  const auto first = static_cast<unsigned>(offset % 4);
  const unsigned per_word = bytes < 4 ? bytes : 4;
  for (unsigned done = 0; done < bytes; done += per_word) {
    const std::byte* word_value = value == nullptr ? nullptr : value + done;
    const std::uint64_t index = (offset + done) / 4;
    const Hazard hazard =
        check_word(shadow.word(index), shadow.defined(index), access, first,
                   byte_mask(first, per_word), current + done, word_value, launch, thread);
    if (hazard.what != nullptr) return hazard;
  }
  return {};
}

Hazard SharedShadow::check(Access access, std::uint64_t offset, unsigned bytes,
                           std::uint32_t thread) {
  const auto me = static_cast<std::uint16_t>(thread + 1);
  for (unsigned i = 0; i < bytes; ++i) {
    const Hazard hazard = check_byte(bytes_[offset + i], access, me);
    if (hazard.what != nullptr) return hazard;
  }
  return {};
}

Hazard SharedShadow::check_byte(SharedByte& at, Access access, std::uint16_t me) {
  if (reads(access) && at.defined_in != block_) return {kUndefinedShared, kNoThread};
  if (at.phase != phase_) at = SharedByte{phase_, at.defined_in, 0, 0, 0};
  const bool other_writer = at.writer != 0 && at.writer != me;
  const bool other_reader = at.reader != 0 && at.reader != me;
  const std::uint32_t writer = other_writer ? at.writer - 1u : kNoThread;
  const std::uint32_t reader = at.reader == kMany || !other_reader ? kNoThread : at.reader - 1u;
  switch (access) {
    case Access::Load:
    case Access::LoadNc:
      if (other_writer) return {kSharedRace, writer};
      at.reader = at.reader == 0 || at.reader == me ? me : kMany;
      return {};
    case Access::Store:
      if (other_writer || other_reader) return {kSharedRace, other_writer ? writer : reader};
      at.atomic = 0;
      break;
    case Access::Atomic:
      if ((other_writer && at.atomic == 0) || other_reader)
        return {kSharedRace, other_writer ? writer : reader};
      at.atomic = 1;
      break;
  }
  at.writer = me;
  at.defined_in = block_;
  return {};
}

}  // namespace vorlan::emu::ptx
