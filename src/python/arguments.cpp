#include "python/arguments.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <variant>

#include "engine/error.hpp"
#include "python/boundary.hpp"
#include "python/integer_buffer.hpp"

namespace vorlan::python {

static_assert(sizeof(unsigned long long) == sizeof(std::uint64_t));

std::string FunctionDescription::full_name() const {
  std::string name;
  if (class_name) {
    name += *class_name;
    name += '.';
  }
  name += function_name;
  name += "()";
  return name;
}

// ---------------------------------------------------------------------------
// Binding

namespace {

// Raises the surplus-positional TypeError. The interpreter's own wording keeps
// "arguments" plural whatever the count; only the verb follows `given`.
void raise_too_many_positional(const FunctionDescription& description, Py_ssize_t given) {
  const std::string name = description.full_name();
  const char* verb = given == 1 ? "was" : "were";
  const std::size_t count = description.parameters.size();
  if (description.required == count) {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given",
                 name.c_str(), count, given, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given",
                 name.c_str(), description.required, count, given, verb);
  }
}

// Clears every slot and checks the positional count; a surplus fails before any
// keyword is looked at.
bool start_binding(const FunctionDescription& description, Py_ssize_t given,
                   std::span<PyObject*> slots) {
  fault_unless(slots.size() == description.parameters.size(),
               "argument slots do not match the function description");
  std::ranges::fill(slots, nullptr);
  if (static_cast<std::size_t>(given) <= slots.size()) return true;
  raise_too_many_positional(description, given);
  return false;
}

// The parameter a keyword names. A key that is not a str, or whose text cannot
// be encoded, names nothing: its encoding error is dropped so that the caller
// sees the unexpected-keyword TypeError instead.
std::optional<std::size_t> keyword_index(const FunctionDescription& description, PyObject* key) {
  if (!PyUnicode_Check(key)) return std::nullopt;
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(key, &size);
  if (text == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  const std::string_view name(text, static_cast<std::size_t>(size));
  const auto found = std::ranges::find(description.parameters, name);
  if (found == description.parameters.end()) return std::nullopt;
  return static_cast<std::size_t>(found - description.parameters.begin());
}

bool bind_keyword(const FunctionDescription& description, PyObject* key, PyObject* value,
                  std::span<PyObject*> slots) {
  const auto index = keyword_index(description, key);
  if (!index) {
    // %S is str() of the key, so a non-str key is shown as the caller wrote it.
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
                 description.full_name().c_str(), key);
    return false;
  }
  if (slots[*index] != nullptr) {
    const std::string parameter(description.parameters[*index]);
    PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                 description.full_name().c_str(), parameter.c_str());
    return false;
  }
  slots[*index] = value;
  return true;
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the comma only from three names on.
std::string quoted_names(std::span<const std::string_view> names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) text += ',';
      text += i + 1 == names.size() ? " and " : " ";
    }
    text += '\'';
    text += names[i];
    text += '\'';
  }
  return text;
}

// Parameters already covered by position cannot be missing, so only the
// required ones after them are checked.
bool check_required(const FunctionDescription& description, Py_ssize_t given,
                    std::span<PyObject* const> slots) {
  std::vector<std::string_view> missing;
  for (auto i = static_cast<std::size_t>(given); i < description.required; ++i) {
    if (slots[i] == nullptr) missing.push_back(description.parameters[i]);
  }
  if (missing.empty()) return true;
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s",
               description.full_name().c_str(), missing.size(),
               missing.size() == 1 ? "argument" : "arguments", quoted_names(missing).c_str());
  return false;
}

}  // namespace

bool bind_vectorcall(const FunctionDescription& description, PyObject* const* args,
                     Py_ssize_t nargsf, PyObject* kwnames, std::span<PyObject*> slots) {
  const Py_ssize_t given = PyVectorcall_NARGS(static_cast<std::size_t>(nargsf));
  if (!start_binding(description, given, slots)) return false;
  std::copy_n(args, given, slots.begin());
  const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < keywords; ++i) {
    if (!bind_keyword(description, PyTuple_GET_ITEM(kwnames, i), args[given + i], slots)) {
      return false;
    }
  }
  return check_required(description, given, slots);
}

bool bind_tuple_dict(const FunctionDescription& description, PyObject* args, PyObject* kwargs,
                     std::span<PyObject*> slots) {
  const Py_ssize_t given = args == nullptr ? 0 : PyTuple_GET_SIZE(args);
  if (!start_binding(description, given, slots)) return false;
  for (Py_ssize_t i = 0; i < given; ++i) {
    slots[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);
  }
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    // Dict iteration follows insertion order, which is the caller's order.
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      if (!bind_keyword(description, key, value, slots)) return false;
    }
  }
  return check_required(description, given, slots);
}

// ---------------------------------------------------------------------------
// Conversion

void reraise_as_argument_error(std::string_view parameter) {
  PyRef caught = PyRef::steal(PyErr_GetRaisedException());
  if (!caught) return;
  // Subclasses keep their identity: a caller catching them by type must still
  // see the exception the converter raised.
  if (!Py_IS_TYPE(caught.get(), reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
    PyErr_SetRaisedException(caught.release());
    return;
  }
  const std::string name(parameter);
  PyRef message =
      PyRef::steal(PyUnicode_FromFormat("argument '%s': %S", name.c_str(), caught.get()));
  if (!message) return;
  PyRef replacement = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!replacement) return;
  // Setting the cause, even to None, also suppresses the context, so the
  // traceback shows the root cause and not the dropped TypeError.
  PyObject* cause = PyException_GetCause(caught.get());
  PyException_SetCause(replacement.get(), cause != nullptr ? cause : Py_NewRef(Py_None));
  PyErr_SetRaisedException(replacement.release());
}

namespace {

// The raw conversions below leave the interpreter's exception as raised; the
// public converters apply the argument rule once, on the way out, so that an
// element error inside a list is not prefixed twice.

template <typename T>
std::optional<T> as_argument(std::optional<T> value, std::string_view parameter) {
  if (!value) reraise_as_argument_error(parameter);
  return value;
}

std::optional<std::uint64_t> unsigned_value(PyObject* integer) {
  const unsigned long long value = PyLong_AsUnsignedLongLong(integer);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return std::nullopt;
  return value;
}

// An int (or subclass) is read directly, so an overridden __index__ of an int
// subclass is never called; everything else goes through __index__.
std::optional<std::uint64_t> read_u64(PyObject* object) {
  if (PyLong_Check(object)) return unsigned_value(object);
  PyRef index = PyRef::steal(PyNumber_Index(object));
  if (!index) return std::nullopt;
  return unsigned_value(index.get());
}

std::optional<std::uint32_t> read_u32(PyObject* object) {
  const auto wide = read_u64(object);
  if (!wide) return std::nullopt;
  if (*wide > std::numeric_limits<std::uint32_t>::max()) {
    // Callers match on this text (a Rust library's wording): it must not change.
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(*wide);
}

std::optional<double> read_f64(PyObject* object) {
  if (PyFloat_CheckExact(object)) return PyFloat_AS_DOUBLE(object);
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) return std::nullopt;
  return value;
}

// Round to nearest, overflowing to infinity. A cast of a finite double beyond
// the float range is undefined behaviour, so the overflow is decided here: from
// the midpoint between FLT_MAX and 2^128 on, rounding goes up (the tie too,
// FLT_MAX's significand being odd) to 2^128, which is infinity.
float narrow_to_f32(double value) {
  constexpr double overflow_from = 0x1.ffffffp+127;
  if (std::fabs(value) >= overflow_from) {
    constexpr float infinity = std::numeric_limits<float>::infinity();
    return value > 0 ? infinity : -infinity;
  }
  return static_cast<float>(value);
}

// The qualified name of collections.abc.Sequence, imported on first need and
// then kept. Held as text rather than as an object so that nothing here
// outlives the interpreter. Returns nullptr with the import error raised.
const std::string* sequence_type_name() {
  static std::string cached;  // filled under the interpreter lock
  if (!cached.empty()) return &cached;
  PyRef module = PyRef::steal(PyImport_ImportModule("collections.abc"));
  if (!module) return nullptr;
  PyRef sequence = PyRef::steal(PyObject_GetAttrString(module.get(), "Sequence"));
  if (!sequence) return nullptr;
  PyRef qualname = PyRef::steal(PyObject_GetAttrString(sequence.get(), "__qualname__"));
  if (!qualname) return nullptr;
  const char* text = PyUnicode_AsUTF8(qualname.get());
  if (text == nullptr) return nullptr;
  cached = text;
  return &cached;
}

// Raises "'T' object cannot be cast as 'TARGET'" with T the qualified name of
// the object's type. Callers match on this wording, which is not CPython's
// own: it must not change.
void raise_cast_error(PyObject* object, const char* target) {
  PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
  if (!qualname) return;
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be cast as '%s'", qualname.get(), target);
}

// An mmap is a byte sequence whose iteration hands out 1-byte bytes objects,
// while its exported memory (read as bytes, one element per byte, like bytes
// and bytearray) holds the byte values. Both paths must agree, so on the
// iteration path such an item is read as its byte.
bool is_mmap(PyObject* object) {
  PyObject* mro = Py_TYPE(object)->tp_mro;
  for (Py_ssize_t i = 0; mro != nullptr && i < PyTuple_GET_SIZE(mro); ++i) {
    auto* type = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
    if (std::string_view(type->tp_name) == "mmap.mmap") return true;
  }
  return false;
}

std::optional<std::uint32_t> read_byte_item(PyObject* item) {
  if (PyBytes_Check(item) && PyBytes_GET_SIZE(item) == 1) {
    return static_cast<unsigned char>(PyBytes_AS_STRING(item)[0]);
  }
  return read_u32(item);
}

using ItemReader = std::optional<std::uint32_t> (*)(PyObject*);

ItemReader item_reader(PyObject* sequence) { return is_mmap(sequence) ? read_byte_item : read_u32; }

// Checked before anything is copied: an over-long buffer (a broadcast view
// claims any length at no cost) is refused at once, not after its copy has
// taken tens of gigabytes. The text is the graph store's for the same limit.
bool within_element_limit(std::uint64_t count, std::string_view parameter) {
  if (count <= engine::kMaxArrayElements) return true;
  raise_gpu_error(engine::GpuError::too_many_elements(parameter, count));
  return false;
}

// The length is a hint only: a __len__ that fails or reports more than can be
// allocated must not stop a sequence that iterates fine.
void reserve_from_length(HostArray<std::uint32_t>& values, PyObject* sequence) {
  const Py_ssize_t length = PyObject_Size(sequence);
  if (length < 0) {
    PyErr_Clear();
    return;
  }
  try {
    values.reserve(static_cast<std::size_t>(length));
  } catch (const std::length_error&) {
  } catch (const std::bad_alloc&) {
  }
}

std::optional<HostArray<std::uint32_t>> read_elements(PyObject* sequence,
                                                      std::string_view parameter) {
  HostArray<std::uint32_t> values;
  reserve_from_length(values, sequence);
  PyRef iterator = PyRef::steal(PyObject_GetIter(sequence));
  if (!iterator) return std::nullopt;
  const ItemReader read_item = item_reader(sequence);
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    if (!within_element_limit(values.size() + 1, parameter)) return std::nullopt;
    const auto value = read_item(item.get());
    if (!value) return std::nullopt;
    values.push_back(*value);
  }
  if (PyErr_Occurred()) return std::nullopt;
  return values;
}

// An exact int small enough to be stored in one digit is read without any
// call; for every other item this returns false, with nothing raised, and the
// item takes the general conversion, which also raises the right error.
// (Kept to a bool and an out-parameter: an optional here went through the
// stack in two halves and stalled every element on the reload.)
bool compact_u32(PyObject* item, std::uint32_t& value) {
  if (!PyLong_CheckExact(item)) return false;
  const auto* integer = reinterpret_cast<const PyLongObject*>(item);
  if (!PyUnstable_Long_IsCompact(integer)) return false;
  const Py_ssize_t compact = PyUnstable_Long_CompactValue(integer);
  if (compact < 0 || compact > Py_ssize_t{std::numeric_limits<std::uint32_t>::max()}) {
    return false;
  }
  value = static_cast<std::uint32_t>(compact);
  return true;
}

// An exact list or tuple, read in place in the order its iterator would hand
// the items out. Runs of compact ints are read from a snapshot of the item
// array: no Python code runs meanwhile, so the list cannot change. Any other
// item is held while it converts, since its __index__ may grow, shrink or
// replace the list's storage; the snapshot is taken again after it, the
// length included, as the list iterator reads it before every item.
std::optional<HostArray<std::uint32_t>> read_items(PyObject* sequence, std::string_view parameter) {
  const auto size = static_cast<std::uint64_t>(PySequence_Fast_GET_SIZE(sequence));
  if (!within_element_limit(size, parameter)) return std::nullopt;
  HostArray<std::uint32_t> values;
  values.reserve(static_cast<std::size_t>(PySequence_Fast_GET_SIZE(sequence)));
  Py_ssize_t i = 0;
  while (true) {
    PyObject* const* items = PySequence_Fast_ITEMS(sequence);
    const Py_ssize_t length = PySequence_Fast_GET_SIZE(sequence);
    std::uint32_t value = 0;
    for (; i < length && compact_u32(items[i], value); ++i) values.push_back(value);
    if (i >= length) return values;
    const PyRef held = PyRef::borrow(items[i++]);
    const auto converted = read_u32(held.get());
    if (!converted) return std::nullopt;
    values.push_back(*converted);
  }
}

// Whether the object's elements are what its exported memory holds. Types
// written in C (ndarray, array.array, bytes, memoryview, ctypes arrays) define
// their iteration, indexing and export as slot wrappers and keep that
// meaning; a Python class that redefines any of them (a masked array, a
// memmap, a user's subclass) may not, so it is iterated.
bool iterates_as_exported(PyObject* object) {
  static constexpr std::array<const char*, 4> kRedefinitions = {"__iter__", "__getitem__",
                                                                "__len__", "__buffer__"};
  PyObject* mro = Py_TYPE(object)->tp_mro;
  for (Py_ssize_t i = 0; mro != nullptr && i < PyTuple_GET_SIZE(mro); ++i) {
    auto* type = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
    PyRef dict = PyRef::steal(PyType_GetDict(type));
    for (const char* name : kRedefinitions) {
      PyObject* found = dict ? PyDict_GetItemString(dict.get(), name) : nullptr;
      if (found != nullptr && !Py_IS_TYPE(found, &PyWrapperDescr_Type)) return false;
    }
  }
  return true;
}

// Raises what the iteration path raises for an element of that value: the
// item conversion of an int holding it.
void raise_unfit(const UnfitElement& unfit) {
  PyRef integer = PyRef::steal(std::visit(
      [](auto value) {
        if constexpr (std::is_signed_v<decltype(value)>) return PyLong_FromLongLong(value);
        return PyLong_FromUnsignedLongLong(value);
      },
      unfit.value));
  if (!integer) return;
  fault_unless(!read_u32(integer.get()), "an unfit buffer element converted");
}

std::optional<HostArray<std::uint32_t>> read_buffer(const Py_buffer& view, IntegerLayout layout,
                                                    std::string_view parameter) {
  if (!within_element_limit(layout.count, parameter)) return std::nullopt;
  HostArray<std::uint32_t> values(layout.count);
  const auto unfit = copy_integers(view, layout, values);
  if (!unfit) return values;
  raise_unfit(*unfit);
  return std::nullopt;
}

std::optional<HostArray<std::uint32_t>> read_sequence(PyObject* sequence,
                                                      std::string_view parameter) {
  if (PyList_CheckExact(sequence) || PyTuple_CheckExact(sequence)) {
    return read_items(sequence, parameter);
  }
  if (PyObject_CheckBuffer(sequence) && iterates_as_exported(sequence)) {
    BufferView view;
    if (view.acquire(sequence)) {
      if (const auto layout = integer_layout(view.get())) {
        return read_buffer(view.get(), *layout, parameter);
      }
    }
  }
  return read_elements(sequence, parameter);
}

std::optional<HostArray<std::uint32_t>> read_u32_list(PyObject* object,
                                                      std::string_view parameter) {
  // A str is a sequence too, but of characters, never of numbers. The text is
  // the one callers already match on (it names Rust types): it must not change.
  if (PyUnicode_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return std::nullopt;
  }
  if (!PySequence_Check(object)) {
    if (const std::string* target = sequence_type_name()) raise_cast_error(object, target->c_str());
    return std::nullopt;
  }
  try {
    return read_sequence(object, parameter);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return std::nullopt;
  }
}

}  // namespace

std::optional<std::uint64_t> convert_u64(PyObject* object, std::string_view parameter) {
  return as_argument(read_u64(object), parameter);
}

std::optional<std::uint32_t> convert_u32(PyObject* object, std::string_view parameter) {
  return as_argument(read_u32(object), parameter);
}

std::optional<double> convert_f64(PyObject* object, std::string_view parameter) {
  return as_argument(read_f64(object), parameter);
}

std::optional<float> convert_f32(PyObject* object, std::string_view parameter) {
  const auto wide = convert_f64(object, parameter);
  if (!wide) return std::nullopt;
  return narrow_to_f32(*wide);
}

std::optional<HostArray<std::uint32_t>> convert_u32_list(PyObject* object,
                                                         std::string_view parameter) {
  return as_argument(read_u32_list(object, parameter), parameter);
}

PyObject* convert_instance(PyObject* object, PyTypeObject* type, const char* type_name,
                           std::string_view parameter) {
  if (PyObject_TypeCheck(object, type)) return object;
  raise_cast_error(object, type_name);
  reraise_as_argument_error(parameter);
  return nullptr;
}

bool check_self(PyObject* self, PyTypeObject* type, const char* type_name) {
  if (PyObject_TypeCheck(self, type)) return true;
  raise_cast_error(self, type_name);
  return false;
}

// ---------------------------------------------------------------------------
// Result building

PyRef created_or_fault(PyObject* created) {
  if (created == nullptr) {
    // The fault's message is fixed, so the interpreter's own account of what
    // went wrong is only seen here.
    PyErr_Print();
    throw Fault("Python API call failed");
  }
  return PyRef::steal(created);
}

PyRef int_from_u64(std::uint64_t value) {
  return created_or_fault(PyLong_FromUnsignedLongLong(value));
}

PyRef int_from_u32(std::uint32_t value) {
  return created_or_fault(PyLong_FromUnsignedLongLong(value));
}

PyRef int_from_i32(std::int32_t value) { return created_or_fault(PyLong_FromLong(value)); }

PyRef float_from_f64(double value) { return created_or_fault(PyFloat_FromDouble(value)); }

PyRef float_from_f32(float value) { return float_from_f64(static_cast<double>(value)); }

PyRef bool_object(bool value) { return PyRef::steal(Py_NewRef(value ? Py_True : Py_False)); }

PyRef pair_tuple(PyRef first, PyRef second) {
  fault_unless(first && second, "tuple item builder returned no object");
  PyRef tuple = created_or_fault(PyTuple_New(2));
  PyTuple_SET_ITEM(tuple.get(), 0, first.release());
  PyTuple_SET_ITEM(tuple.get(), 1, second.release());
  return tuple;
}

DictBuilder::DictBuilder() : dict_(created_or_fault(PyDict_New())) {}

DictBuilder& DictBuilder::set(const char* key, PyRef value) {
  // After a failed insertion the dict is abandoned; its exception is parked
  // in failure_ so that the caller can keep building values meanwhile.
  if (failure_) return *this;
  fault_unless(static_cast<bool>(value), "dict value builder returned no object");
  PyRef key_object = created_or_fault(PyUnicode_FromString(key));
  if (PyDict_SetItem(dict_.get(), key_object.get(), value.get()) < 0) {
    failure_ = PyRef::steal(PyErr_GetRaisedException());
  }
  return *this;
}

PyRef DictBuilder::finish() {
  if (!failure_) return std::move(dict_);
  dict_ = PyRef();
  PyErr_SetRaisedException(failure_.release());
  return PyRef();
}

}  // namespace vorlan::python
