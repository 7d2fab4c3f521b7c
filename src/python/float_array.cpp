#include "python/float_array.hpp"

#include <cstring>
#include <string>

#include "python/arguments.hpp"
#include "python/py_ref.hpp"

namespace vorlan::python {
namespace {

// The buffer's element type with any byte-order or alignment prefix removed
// ("<d", "=f", "@d"); only the machine's own order is accepted.
char element_kind(const Py_buffer& view) {
  std::string_view format = view.format == nullptr ? "B" : view.format;
  if (format.size() == 2 && (format[0] == '@' || format[0] == '=' || format[0] == '<')) {
    format.remove_prefix(1);
  }
  return format.size() == 1 ? format[0] : '?';
}

template <class T>
void copy_strided(const Py_buffer& view, std::vector<double>& values) {
  const auto* base = static_cast<const char*>(view.buf);
  const Py_ssize_t stride = view.strides == nullptr ? view.itemsize : view.strides[0];
  for (std::size_t i = 0; i < values.size(); ++i) {
    T element;
    std::memcpy(&element, base + static_cast<Py_ssize_t>(i) * stride, sizeof(T));
    values[i] = static_cast<double>(element);
  }
}

std::optional<std::vector<double>> read_buffer(PyObject* object, std::string_view parameter) {
  Py_buffer view;
  if (PyObject_GetBuffer(object, &view, PyBUF_RECORDS_RO) != 0) return std::nullopt;
  struct Release {
    Py_buffer* view;
    ~Release() { PyBuffer_Release(view); }
  } release{&view};
  const char kind = element_kind(view);
  const bool fits = view.ndim == 1 &&
                    ((kind == 'd' && view.itemsize == 8) || (kind == 'f' && view.itemsize == 4));
  if (!fits) {
    PyErr_Format(PyExc_ValueError,
                 "argument '%.*s': expected a one-dimensional buffer of float64 or float32, "
                 "got %d dimension(s) of format '%s'",
                 static_cast<int>(parameter.size()), parameter.data(), view.ndim,
                 view.format == nullptr ? "B" : view.format);
    return std::nullopt;
  }
  std::vector<double> values(static_cast<std::size_t>(view.shape[0]));
  if (kind == 'd') {
    copy_strided<double>(view, values);
  } else {
    copy_strided<float>(view, values);
  }
  return values;
}

std::optional<std::vector<double>> read_sequence(PyObject* object, std::string_view parameter) {
  PyRef sequence = PyRef::steal(PySequence_Fast(object, "expected a sequence of real numbers"));
  if (!sequence) {
    reraise_as_argument_error(parameter);
    return std::nullopt;
  }
  const Py_ssize_t length = PySequence_Fast_GET_SIZE(sequence.get());
  std::vector<double> values(static_cast<std::size_t>(length));
  for (Py_ssize_t i = 0; i < length; ++i) {
    const double value = PyFloat_AsDouble(PySequence_Fast_GET_ITEM(sequence.get(), i));
    if (value == -1.0 && PyErr_Occurred()) {
      reraise_as_argument_error(parameter);
      return std::nullopt;
    }
    values[static_cast<std::size_t>(i)] = value;
  }
  return values;
}

}  // namespace

std::optional<std::vector<double>> convert_f64_array(PyObject* object, std::string_view parameter) {
  if (object == nullptr || object == Py_None) return std::vector<double>{};
  if (PyObject_CheckBuffer(object)) return read_buffer(object, parameter);
  return read_sequence(object, parameter);
}

}  // namespace vorlan::python
