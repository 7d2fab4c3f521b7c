// Zeroed host memory for device allocations and their shadows. Large blocks
// are mapped straight from the kernel and backed by huge pages where the
// system allows; small ones come from the heap.
//
// A graph upload allocates and fills tens of megabytes at once; with 4 KiB
// pages the page faults alone cost more than the copy. Mapped pages also come
// zeroed without being touched, so a shadow that is never used costs nothing.
// Small blocks (counters, flags) stay on the heap: a mapping each would cost a
// system call and a page apiece.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <utility>

namespace vorlan::emu {

class HostPages {
 public:
  HostPages() = default;
  explicit HostPages(std::size_t bytes) {
    if (bytes == 0) return;
    if (bytes < kMappedFrom) {
      data_ = static_cast<std::byte*>(std::calloc(bytes, 1));
    } else {
      void* memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (memory == MAP_FAILED) return;
      (void)madvise(memory, bytes, MADV_HUGEPAGE);  // advice only: small pages work too
      data_ = static_cast<std::byte*>(memory);
    }
    if (data_ != nullptr) size_ = bytes;
  }
  HostPages(HostPages&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  HostPages& operator=(HostPages&& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    return *this;
  }
  HostPages(const HostPages&) = delete;
  HostPages& operator=(const HostPages&) = delete;
  ~HostPages() {
    if (size_ >= kMappedFrom) {
      munmap(data_, size_);
    } else {
      std::free(data_);
    }
  }

  // False when the mapping failed (or nothing was asked for).
  bool valid() const { return data_ != nullptr; }
  std::byte* data() const { return data_; }

 private:
  static constexpr std::size_t kMappedFrom = std::size_t{1} << 20;

  std::byte* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace vorlan::emu
