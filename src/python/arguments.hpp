// How every Python callable of the module takes its arguments and builds its
// results. Binding only sorts the caller's objects into one slot per parameter;
// converting them is a separate step the callable runs afterwards, so that the
// binding errors come before any Python code of the caller's objects runs.
//
// Failures of binding and conversion are reported the interpreter's way: the
// function returns an empty value (false, nullopt, nullptr) with the Python
// exception set. Failing to create a result object is different: the call
// cannot go on, so the builders raise vorlan::Fault.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <ranges>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "driver/fault.hpp"
#include "python/host_array.hpp"
#include "python/py_ref.hpp"

namespace vorlan::python {

// ---------------------------------------------------------------------------
// Binding

// The static record a callable binds its arguments from. Every parameter may be
// passed by position or by keyword; the first `required` must be given, the
// others take defaults that the callable supplies when their slot stays empty.
struct FunctionDescription {
  std::optional<std::string_view> class_name;  // owning class, for messages
  std::string_view function_name;
  std::span<const std::string_view> parameters;
  std::size_t required = 0;

  // "GpuGraph.from_csr()", or "name()" without a class.
  std::string full_name() const;
};

// Both binders fill `slots` (one per parameter, slots.size() must equal the
// parameter count) with borrowed references to the caller's objects, leaving
// nullptr where the caller passed nothing. They return false with a TypeError
// set when the arguments do not fit the description.

// The vectorcall convention: `nargsf` may carry PY_VECTORCALL_ARGUMENTS_OFFSET;
// keyword values follow the positional ones in `args`, named by `kwnames`.
[[nodiscard]] bool bind_vectorcall(const FunctionDescription& description, PyObject* const* args,
                                   Py_ssize_t nargsf, PyObject* kwnames,
                                   std::span<PyObject*> slots);

// The tuple-and-dict convention (tp_new, tp_call). `kwargs` may be nullptr.
[[nodiscard]] bool bind_tuple_dict(const FunctionDescription& description, PyObject* args,
                                   PyObject* kwargs, std::span<PyObject*> slots);

// ---------------------------------------------------------------------------
// Conversion

// Rewrites the pending exception of a failed conversion of `parameter`: an
// exception of exactly TypeError is replaced by a TypeError whose message
// starts "argument 'PARAMETER': " (its cause taken over from the original,
// context suppressed); anything else stays as raised.
void reraise_as_argument_error(std::string_view parameter);

// Converters: the value, or nullopt with the (argument-rule) exception set.
std::optional<std::uint64_t> convert_u64(PyObject* object, std::string_view parameter);
std::optional<std::uint32_t> convert_u32(PyObject* object, std::string_view parameter);
std::optional<double> convert_f64(PyObject* object, std::string_view parameter);
std::optional<float> convert_f32(PyObject* object, std::string_view parameter);
// Copies every element, so later changes to the caller's sequence do not matter.
// Buffers of native integers are copied straight from memory and exact lists
// and tuples read in place; both give what iterating the object would give,
// values and exceptions alike.
std::optional<HostArray<std::uint32_t>> convert_u32_list(PyObject* object,
                                                         std::string_view parameter);

// `object` itself (borrowed) when it is an instance of `type` or of a subclass;
// otherwise nullptr with "argument 'PARAMETER': 'T' object cannot be cast as
// 'TYPE_NAME'" raised.
PyObject* convert_instance(PyObject* object, PyTypeObject* type, const char* type_name,
                           std::string_view parameter);

// Whether `self` is an instance of `type` (or of a subclass). When it is not,
// returns false with "'T' object cannot be cast as 'TYPE_NAME'" raised: a wrong
// self is not an argument, so the message carries no parameter name.
[[nodiscard]] bool check_self(PyObject* self, PyTypeObject* type, const char* type_name);

// An empty optional slot takes the callable's default unconverted; a slot
// holding None is converted like any other object.
template <typename T>
std::optional<T> convert_or_default(PyObject* slot, T fallback,
                                    std::optional<T> (*convert)(PyObject*, std::string_view),
                                    std::string_view parameter) {
  if (slot == nullptr) return fallback;
  return convert(slot, parameter);
}

// ---------------------------------------------------------------------------
// Result building. Each builder returns a new, non-null reference. If the
// interpreter cannot create the object, the pending error is printed to
// standard error and vorlan::Fault("Python API call failed") is thrown.

// Takes over a new reference from a creating API call, faulting on nullptr.
PyRef created_or_fault(PyObject* created);

PyRef int_from_u64(std::uint64_t value);
PyRef int_from_u32(std::uint32_t value);
PyRef int_from_i32(std::int32_t value);
PyRef float_from_f64(double value);
PyRef float_from_f32(float value);  // widened exactly
PyRef bool_object(bool value);
PyRef pair_tuple(PyRef first, PyRef second);

// A list of the final length, position i set to make_item(items[i]), which
// must return a PyRef from one of the builders above.
template <std::ranges::sized_range Range, typename MakeItem>
PyRef build_list(const Range& items, MakeItem&& make_item) {
  PyRef list = created_or_fault(PyList_New(static_cast<Py_ssize_t>(std::ranges::size(items))));
  Py_ssize_t index = 0;
  for (const auto& item : items) {
    PyRef element = make_item(item);
    fault_unless(static_cast<bool>(element), "list item builder returned no object");
    // A list from PyList_New holds nulls until set, and releases them safely if
    // a later item faults.
    PyList_SET_ITEM(list.get(), index++, element.release());
  }
  return list;
}

// A result dict whose keys keep the order of the set() calls. An insertion
// that fails does not fault: its exception is kept, later set() calls do
// nothing, and finish() raises it and drops the partial dict.
class DictBuilder {
 public:
  DictBuilder();
  // `value` is a reference the dict takes over (from one of the builders).
  DictBuilder& set(const char* key, PyRef value);
  // The dict, or an empty PyRef with the insertion's exception raised.
  PyRef finish();

 private:
  PyRef dict_;
  PyRef failure_;
};

}  // namespace vorlan::python
