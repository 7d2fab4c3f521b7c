#include "python/integer_buffer.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <string_view>
#include <type_traits>

namespace vorlan::python {
namespace {

// The struct-module prefixes that keep the machine's byte order: native ('@'
// or none), '=' and whichever of '<' and '>' ('!') the machine is.
bool keeps_native_order(char prefix) {
  if (prefix == '@' || prefix == '=') return true;
  if constexpr (std::endian::native == std::endian::little) return prefix == '<';
  return prefix == '>' || prefix == '!';
}

constexpr std::string_view kSignedCodes = "bhilqn";
constexpr std::string_view kUnsignedCodes = "BHILQN";

// Elements are loaded a block at a time into a local array, so each one is
// read from the caller's memory exactly once and checked and converted from
// that one reading; the block stays in L1.
constexpr std::size_t kBlock = 2048;

template <typename T>
bool fits_u32(T value) {
  if constexpr (std::is_signed_v<T>) {
    if (value < 0) return false;
  }
  if constexpr (sizeof(T) > sizeof(std::uint32_t)) {
    return static_cast<std::uint64_t>(value) <= std::numeric_limits<std::uint32_t>::max();
  }
  return true;
}

template <typename T>
void load_block(std::array<T, kBlock>& block, const char* from, Py_ssize_t stride,
                std::size_t count) {
  if (stride == static_cast<Py_ssize_t>(sizeof(T))) {
    std::memcpy(block.data(), from, count * sizeof(T));
    return;
  }
  for (std::size_t j = 0; j < count; ++j) {
    std::memcpy(&block[j], from + static_cast<Py_ssize_t>(j) * stride, sizeof(T));
  }
}

template <typename T>
std::variant<std::int64_t, std::uint64_t> widened(T value) {
  if constexpr (std::is_signed_v<T>) return static_cast<std::int64_t>(value);
  return static_cast<std::uint64_t>(value);
}

template <typename T>
std::optional<UnfitElement> copy_typed(const char* base, Py_ssize_t stride,
                                       std::span<std::uint32_t> out) {
  if constexpr (std::is_same_v<T, std::uint32_t>) {
    if (stride == static_cast<Py_ssize_t>(sizeof(T))) {
      if (!out.empty()) std::memcpy(out.data(), base, out.size_bytes());
      return std::nullopt;
    }
  }
  std::array<T, kBlock> block;
  for (std::size_t start = 0; start < out.size(); start += kBlock) {
    const std::size_t count = std::min(kBlock, out.size() - start);
    load_block(block, base + static_cast<Py_ssize_t>(start) * stride, stride, count);
    bool all_fit = true;
    for (std::size_t j = 0; j < count; ++j) all_fit &= fits_u32(block[j]);
    if (!all_fit) {
      return UnfitElement{
          widened(*std::find_if_not(block.begin(), block.begin() + count, fits_u32<T>))};
    }
    for (std::size_t j = 0; j < count; ++j) out[start + j] = static_cast<std::uint32_t>(block[j]);
  }
  return std::nullopt;
}

}  // namespace

std::optional<IntegerLayout> integer_layout(const Py_buffer& view) {
  if (view.ndim != 1 || view.suboffsets != nullptr || view.format == nullptr ||
      view.itemsize <= 0) {
    return std::nullopt;
  }
  std::string_view format(view.format);
  if (!format.empty() && !std::string_view("bBhHiIlLqQnN").contains(format.front())) {
    if (!keeps_native_order(format.front())) return std::nullopt;
    format.remove_prefix(1);
  }
  if (format.size() != 1) return std::nullopt;
  const bool is_signed = kSignedCodes.contains(format.front());
  if (!is_signed && !kUnsignedCodes.contains(format.front())) return std::nullopt;
  const auto size = static_cast<std::size_t>(view.itemsize);
  if (size != 1 && size != 2 && size != 4 && size != 8) return std::nullopt;
  const Py_ssize_t count = view.shape != nullptr ? view.shape[0] : view.len / view.itemsize;
  const Py_ssize_t stride = view.strides != nullptr ? view.strides[0] : view.itemsize;
  return IntegerLayout{size, is_signed, static_cast<std::size_t>(count), stride};
}

std::optional<UnfitElement> copy_integers(const Py_buffer& view, IntegerLayout layout,
                                          std::span<std::uint32_t> out) {
  const auto* base = static_cast<const char*>(view.buf);
  const Py_ssize_t stride = layout.stride;
  switch (layout.size) {
    case 1:
      return layout.is_signed ? copy_typed<std::int8_t>(base, stride, out)
                              : copy_typed<std::uint8_t>(base, stride, out);
    case 2:
      return layout.is_signed ? copy_typed<std::int16_t>(base, stride, out)
                              : copy_typed<std::uint16_t>(base, stride, out);
    case 4:
      return layout.is_signed ? copy_typed<std::int32_t>(base, stride, out)
                              : copy_typed<std::uint32_t>(base, stride, out);
    default:
      return layout.is_signed ? copy_typed<std::int64_t>(base, stride, out)
                              : copy_typed<std::uint64_t>(base, stride, out);
  }
}

BufferView::~BufferView() {
  if (held_) PyBuffer_Release(&view_);
}

bool BufferView::acquire(PyObject* object) {
  if (PyObject_GetBuffer(object, &view_, PyBUF_RECORDS_RO) < 0) {
    PyErr_Clear();
    return false;
  }
  held_ = true;
  return true;
}

}  // namespace vorlan::python
