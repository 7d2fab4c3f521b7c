// Zeroed host memory for device allocations and their shadows, from the
// allocator the module's host arrays use too. A shadow that is never used
// costs nothing: large blocks are mapped, and mapped pages come zeroed
// without being touched.
#pragma once

#include <cstddef>
#include <utility>

#include "common/mapped_pages.hpp"

namespace vorlan::emu {

class HostPages {
 public:
  HostPages() = default;
  explicit HostPages(std::size_t bytes) {
    if (bytes == 0) return;
    data_ = static_cast<std::byte*>(common::allocate_pages(bytes, common::Fill::kZeroed));
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
  ~HostPages() { common::free_pages(data_, size_); }

  // False when the allocation failed (or nothing was asked for).
  bool valid() const { return data_ != nullptr; }
  std::byte* data() const { return data_; }

 private:
  std::byte* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace vorlan::emu
