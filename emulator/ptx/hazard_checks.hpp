// What hardware punishes silently and an interpreter would forgive: reads of
// bytes nobody wrote, non-coherent loads of data the same launch writes,
// shared-memory races between barriers, and plain stores of different values
// to one global address. Each check looks at one access of one thread
// against what the shadows remember and names the hazard it finds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ptx/memory_shadow.hpp"

namespace vorlan::emu::ptx {

enum class Access : std::uint8_t { Load, LoadNc, Store, Atomic };

inline constexpr std::uint32_t kNoThread = 0xFFFF'FFFF;

// what == nullptr: the access is clean. `other` is the thread it conflicts
// with (numbered across the grid for global memory, within the block for
// shared memory), or kNoThread.
struct Hazard {
  const char* what = nullptr;
  std::uint32_t other = kNoThread;
};

// One global access of `bytes` at `offset` of the allocation `shadow` covers;
// `current` is where the bytes are, `value` (stores only) what is stored.
// Updates the shadow when the access is clean.
Hazard check_global(MemoryShadow& shadow, Access access, std::uint64_t offset, unsigned bytes,
                    const std::byte* current, const std::byte* value, std::uint32_t launch,
                    std::uint32_t thread);

// The running block's shared memory, per byte. A phase lasts from one barrier
// to the next; accesses of different phases never race.
class SharedShadow {
 public:
  void resize(std::uint64_t bytes) { bytes_.assign(bytes, SharedByte{}); }
  void begin_block() {
    ++block_;
    ++phase_;
  }
  void next_phase() { ++phase_; }
  Hazard check(Access access, std::uint64_t offset, unsigned bytes, std::uint32_t thread);

 private:
  struct SharedByte {
    std::uint32_t phase = 0;
    std::uint32_t defined_in = 0;  // the block that last wrote it
    std::uint16_t writer = 0;      // thread + 1 that wrote it in `phase`; 0: none
    std::uint16_t reader = 0;      // thread + 1 that read it in `phase`; 0: none; kMany
    std::uint8_t atomic = 0;       // the writer used an atomic
  };
  static constexpr std::uint16_t kMany = 0xFFFF;
  Hazard check_byte(SharedByte& at, Access access, std::uint16_t me);

  std::vector<SharedByte> bytes_;
  std::uint32_t block_ = 0;
  std::uint32_t phase_ = 0;
};

}  // namespace vorlan::emu::ptx
