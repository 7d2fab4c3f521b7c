// Reading the integers of an exported buffer (NumPy arrays, array.array, bytes,
// memoryview) straight into u32s, without one Python object per element.
//
// Only buffers whose meaning is plain are read here: one dimension, no
// suboffsets, a native-byte-order integer format of 1, 2, 4 or 8 bytes. The
// caller sends everything else through the iteration protocol, which then
// decides what the object's elements are.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <variant>

namespace vorlan::python {

struct IntegerLayout {
  std::size_t size;  // bytes per element: 1, 2, 4 or 8
  bool is_signed;
  std::size_t count;  // elements
  Py_ssize_t stride;  // bytes from one element to the next, maybe negative
};

// How to read `view` when it is a one-dimensional buffer of native integers
// (view requested with PyBUF_RECORDS_RO); nullopt for any other. Exporters may
// leave out strides (ctypes does) or the shape of a plain byte buffer: the
// memory is then contiguous.
std::optional<IntegerLayout> integer_layout(const Py_buffer& view);

// The first element that does not fit u32, as read, in the buffer's own
// signedness.
struct UnfitElement {
  std::variant<std::int64_t, std::uint64_t> value;
};

// Copies every element of `view` (described by `layout`) in index order into
// `out`, which holds exactly layout.count elements. Each source element is read
// once, so a buffer another thread writes meanwhile still yields values that
// were all in range when read. Stops at the first element that does not fit.
std::optional<UnfitElement> copy_integers(const Py_buffer& view, IntegerLayout layout,
                                          std::span<std::uint32_t> out);

// A strided, formatted view of an object's memory, released on leaving scope.
// Holding it keeps exporters such as NumPy and bytearray from resizing the
// memory while it is read.
class BufferView {
 public:
  BufferView() = default;
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  ~BufferView();

  // False, with nothing pending, when the object exports no such view: the
  // iteration protocol then decides, and reports, what its elements are.
  [[nodiscard]] bool acquire(PyObject* object);
  const Py_buffer& get() const { return view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

}  // namespace vorlan::python
