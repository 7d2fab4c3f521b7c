// The host copy of an array argument: a vector whose elements start
// uninitialised and whose large blocks come straight from the kernel in huge
// pages (common/mapped_pages.hpp).
//
// A graph's arrays are copied once into memory of our own and then uploaded.
// For tens of millions of elements the copy is not what costs: zero-filling the
// vector first and taking a page fault per 4 KiB of fresh memory are, and
// together they cost more than the copy itself. Every element of such a vector
// is written before it is read (the converters fill it whole or push_back).
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>
#include <vector>

#include "common/mapped_pages.hpp"

namespace vorlan::python {

template <class T>
class BulkAllocator {
 public:
  using value_type = T;

  BulkAllocator() = default;
  template <class U>
  BulkAllocator(const BulkAllocator<U>&) noexcept {}  // NOLINT: rebinding is implicit

  T* allocate(std::size_t n) {
    if (n > std::size_t(-1) / sizeof(T)) throw std::bad_alloc();
    // A request for nothing still needs a pointer of its own.
    const std::size_t bytes = n == 0 ? 1 : n * sizeof(T);
    void* memory = common::allocate_pages(bytes, common::Fill::kUninitialised);
    if (memory == nullptr) throw std::bad_alloc();
    return static_cast<T*>(memory);
  }

  void deallocate(T* p, std::size_t n) noexcept { common::free_pages(p, n * sizeof(T)); }

  // Value-initialisation (resize, the count constructor) leaves elements as
  // they are; every other construction is the usual one.
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }

  friend bool operator==(const BulkAllocator&, const BulkAllocator&) noexcept { return true; }
};

template <class T>
using HostArray = std::vector<T, BulkAllocator<T>>;

}  // namespace vorlan::python
