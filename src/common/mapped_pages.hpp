// Host memory for large arrays, mapped straight from the kernel and backed by
// huge pages where the system allows; small blocks come from the heap. Used by
// the module's host copies of graph arrays and by the software GPU's device
// memory and shadows, so that both switch at the same size.
//
// Tens of megabytes allocated and filled at once cost more in 4 KiB page
// faults (and in zero-filling, for memory that is about to be overwritten)
// than in the copy itself. Mapped pages come zeroed without being touched.
// Small blocks (counters, flags, short lists) stay on the heap, whose recycled
// blocks are cheaper than a system call and a page apiece.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdlib>

namespace vorlan::common {

// Two huge pages: from here on a block is mapped.
inline constexpr std::size_t kMappedFrom = std::size_t{4} << 20;

enum class Fill { kUninitialised, kZeroed };

// The one place that decides where a block of `bytes` lives; allocation and
// release both ask it, so they cannot disagree.
constexpr bool is_mapped(std::size_t bytes) { return bytes >= kMappedFrom; }

// `bytes` (non-zero) of memory, zeroed when asked; nullptr when none is left.
inline void* allocate_pages(std::size_t bytes, Fill fill) {
  if (!is_mapped(bytes)) {
    return fill == Fill::kZeroed ? std::calloc(bytes, 1) : std::malloc(bytes);
  }
  void* memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return nullptr;
  (void)madvise(memory, bytes, MADV_HUGEPAGE);  // advice only: small pages work too
  return memory;
}

// Gives back a block from allocate_pages, with the size it was asked for.
inline void free_pages(void* memory, std::size_t bytes) noexcept {
  if (memory == nullptr) return;
  if (is_mapped(bytes)) {
    munmap(memory, bytes);
  } else {
    std::free(memory);
  }
}

}  // namespace vorlan::common
