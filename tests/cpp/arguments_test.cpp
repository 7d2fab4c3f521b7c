// Argument binding, conversion and result building, driven through an embedded
// interpreter: Python code calls small C functions that bind like the module's
// callables, and the converters and builders are called directly.
#include "python/arguments.hpp"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cfloat>
#include <cmath>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "fault_of.hpp"
#include "python/integer_buffer.hpp"

namespace vorlan::python {
namespace {

class PythonEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { Py_InitializeEx(0); }
  void TearDown() override { EXPECT_EQ(Py_FinalizeEx(), 0); }
};
[[maybe_unused]] auto* const python_environment =
    ::testing::AddGlobalTestEnvironment(new PythonEnvironment);

std::string text_of(PyObject* object) {
  PyRef text = PyRef::steal(PyObject_Str(object));
  const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    return "<unprintable>";
  }
  return utf8;
}

// The pending exception, taken; null when none is pending.
PyRef take_raised() { return PyRef::steal(PyErr_GetRaisedException()); }

// Whether exactly `type` (not a subclass) is pending with str() == message.
// The exception is cleared either way.
::testing::AssertionResult raised(PyObject* type, const std::string& message) {
  PyRef error = take_raised();
  if (!error) return ::testing::AssertionFailure() << "no exception pending";
  if (Py_TYPE(error.get()) != reinterpret_cast<PyTypeObject*>(type)) {
    return ::testing::AssertionFailure()
           << "raised " << Py_TYPE(error.get())->tp_name << ": " << text_of(error.get());
  }
  if (text_of(error.get()) != message) {
    return ::testing::AssertionFailure() << "message was \"" << text_of(error.get()) << '"';
  }
  return ::testing::AssertionSuccess();
}

// The message the interpreter itself gives when `call` fails, as a reference
// for errors that must pass through unchanged or only prefixed.
template <typename Call>
std::string interpreter_message(Call&& call) {
  call();
  PyRef error = take_raised();
  return error ? text_of(error.get()) : "<no error>";
}

using test::fault_of;

constexpr std::array<std::string_view, 3> kFromCsrParameters{"offsets", "targets", "device"};
constexpr std::array<std::string_view, 3> kPagerankParameters{"damping", "max_iterations",
                                                              "tolerance"};
constexpr std::array<std::string_view, 1> kBfsParameters{"source"};
constexpr std::array<std::string_view, 1> kKTrussParameters{"k"};
constexpr std::array<std::string_view, 1> kOrdinalParameters{"ordinal"};
constexpr std::array<std::string_view, 4> kFourParameters{"a", "b", "c", "d"};

constexpr FunctionDescription kFromCsr{"GpuGraph", "from_csr", kFromCsrParameters, 3};
constexpr FunctionDescription kPagerank{"GpuGraph", "pagerank", kPagerankParameters, 0};
constexpr FunctionDescription kBfs{"GpuGraph", "bfs", kBfsParameters, 1};
constexpr FunctionDescription kKTruss{"GpuGraph", "k_truss", kKTrussParameters, 1};
constexpr FunctionDescription kDeviceNew{"GpuDevice", "__new__", kOrdinalParameters, 0};
constexpr FunctionDescription kFourRequired{std::nullopt, "probe", kFourParameters, 4};
constexpr FunctionDescription kNoParameters{std::nullopt, "probe", {}, 0};

// The bound slots as a dict {parameter: object}, leaving out empty ones.
PyObject* slots_dict(const FunctionDescription& description, std::span<PyObject* const> slots) {
  PyRef dict = PyRef::steal(PyDict_New());
  for (std::size_t i = 0; dict && i < slots.size(); ++i) {
    if (slots[i] == nullptr) continue;
    const std::string name(description.parameters[i]);
    if (PyDict_SetItemString(dict.get(), name.c_str(), slots[i]) < 0) return nullptr;
  }
  return dict.release();
}

const FunctionDescription& description_of(PyObject* capsule) {
  return *static_cast<const FunctionDescription*>(PyCapsule_GetPointer(capsule, nullptr));
}

PyObject* vectorcall_probe(PyObject* capsule, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  const FunctionDescription& description = description_of(capsule);
  std::vector<PyObject*> slots(description.parameters.size());
  if (!bind_vectorcall(description, args, nargs, kwnames, slots)) return nullptr;
  return slots_dict(description, slots);
}

PyObject* tuple_dict_probe(PyObject* capsule, PyObject* args, PyObject* kwargs) {
  const FunctionDescription& description = description_of(capsule);
  std::vector<PyObject*> slots(description.parameters.size());
  if (!bind_tuple_dict(description, args, kwargs, slots)) return nullptr;
  return slots_dict(description, slots);
}

PyMethodDef vectorcall_def{
    "probe", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(vectorcall_probe)),
    METH_FASTCALL | METH_KEYWORDS, nullptr};
PyMethodDef tuple_dict_def{
    "probe", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tuple_dict_probe)),
    METH_VARARGS | METH_KEYWORDS, nullptr};

constexpr const char* kPrelude = R"(
import array, sys
class Index:
    def __init__(self, value): self.value = value
    def __index__(self): return self.value
class StrictInt(int):
    def __index__(self): raise AssertionError('__index__ must not be called')
class FloatLike:
    def __init__(self, value): self.value = value
    def __float__(self): return self.value
class Raiser:
    def __init__(self, error): self.error = error
    def __index__(self): raise self.error
    def __float__(self): raise self.error
class TypeErrorSubclass(TypeError): pass
def with_cause(error, cause):
    error.__cause__ = cause
    return error
class LenFails(list):
    def __len__(self): raise RuntimeError('no length')
class LenLies(list):
    def __init__(self, items, length):
        super().__init__(items)
        self.length = length
    def __len__(self): return self.length
class BrokenIteration(list):
    def __init__(self, error):
        super().__init__([1, 2])
        self.error = error
    def __iter__(self):
        yield 1
        raise self.error
class ByGetItem:
    def __getitem__(self, i):
        if i >= 3: raise IndexError(i)
        return i * 10
class StrSubclass(str): pass
class Device: pass
class DeviceSubclass(Device): pass
def generator(): yield 1
def raised_by(call):
    try:
        call()
    except BaseException as error:
        return error
def local_instance():
    class Local: pass
    return Local()
)";

class ArgumentsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    globals_ = PyRef::steal(PyDict_New());
    ASSERT_TRUE(globals_);
    ASSERT_EQ(PyDict_SetItemString(globals_.get(), "__builtins__", PyEval_GetBuiltins()), 0);
    ASSERT_TRUE(PyRef::steal(PyRun_String(kPrelude, Py_file_input, globals_.get(), globals_.get())))
        << text_of(take_raised().get());
    add_probe("from_csr", kFromCsr, vectorcall_def);
    add_probe("pagerank", kPagerank, vectorcall_def);
    add_probe("bfs", kBfs, vectorcall_def);
    add_probe("k_truss", kKTruss, vectorcall_def);
    add_probe("device_new", kDeviceNew, tuple_dict_def);
  }

  void TearDown() override {
    EXPECT_FALSE(PyErr_Occurred()) << "left pending: " << text_of(take_raised().get());
    PyErr_Clear();
  }

  void add_probe(const char* name, const FunctionDescription& description, PyMethodDef& def) {
    PyRef capsule = PyRef::steal(
        PyCapsule_New(const_cast<FunctionDescription*>(&description), nullptr, nullptr));
    ASSERT_TRUE(capsule);
    PyRef function = PyRef::steal(PyCFunction_New(&def, capsule.get()));
    ASSERT_TRUE(function);
    ASSERT_EQ(PyDict_SetItemString(globals_.get(), name, function.get()), 0);
  }

  // Evaluates a Python expression; null with the exception pending on failure.
  PyRef eval(const std::string& expression) {
    return PyRef::steal(
        PyRun_String(expression.c_str(), Py_eval_input, globals_.get(), globals_.get()));
  }

  // Evaluates an expression that must succeed.
  PyRef value(const std::string& expression) {
    PyRef result = eval(expression);
    if (!result) ADD_FAILURE() << expression << " raised " << text_of(take_raised().get());
    return result;
  }

  // Whether evaluating `expression` yields a true value.
  ::testing::AssertionResult holds(const std::string& expression) {
    PyRef result = eval(expression);
    if (!result) {
      return ::testing::AssertionFailure()
             << expression << " raised " << text_of(take_raised().get());
    }
    if (PyObject_IsTrue(result.get()) != 1) {
      return ::testing::AssertionFailure() << expression << " gave " << text_of(result.get());
    }
    return ::testing::AssertionSuccess();
  }

  // Whether `expression` raises exactly `type` with str() == message.
  ::testing::AssertionResult fails(const std::string& expression, PyObject* type,
                                   const std::string& message) {
    PyRef result = eval(expression);
    if (result) {
      return ::testing::AssertionFailure() << expression << " gave " << text_of(result.get());
    }
    return raised(type, message);
  }

  // Whether `object` equals the value of `expected` and has exactly its type
  // (so that True does not pass for 1, nor 1.0 for 1).
  ::testing::AssertionResult same(PyObject* object, const std::string& expected) {
    PyRef reference = value(expected);
    if (!object || !reference) return ::testing::AssertionFailure() << "missing object";
    if (Py_TYPE(object) != Py_TYPE(reference.get()) ||
        PyObject_RichCompareBool(object, reference.get(), Py_EQ) != 1) {
      return ::testing::AssertionFailure() << text_of(object) << " is not " << expected;
    }
    return ::testing::AssertionSuccess();
  }

  PyRef globals_;
};

// ---------------------------------------------------------------------------
// Binding

TEST(FunctionDescriptionTest, FullNameCarriesTheClassWhenThereIsOne) {
  EXPECT_EQ(kFromCsr.full_name(), "GpuGraph.from_csr()");
  EXPECT_EQ(kDeviceNew.full_name(), "GpuDevice.__new__()");
  EXPECT_EQ(kFourRequired.full_name(), "probe()");
}

TEST_F(ArgumentsTest, ArgumentsFillSlotsByPositionAndKeyword) {
  EXPECT_TRUE(holds("from_csr(1, 2, 3) == {'offsets': 1, 'targets': 2, 'device': 3}"));
  EXPECT_TRUE(
      holds("from_csr(device=3, offsets=1, targets=2) == "
            "{'offsets': 1, 'targets': 2, 'device': 3}"));
  EXPECT_TRUE(
      holds("from_csr(1, device=3, targets=2) == "
            "{'offsets': 1, 'targets': 2, 'device': 3}"));
  // Optional parameters left out stay empty; None is an argument like any other.
  EXPECT_TRUE(holds("pagerank() == {}"));
  EXPECT_TRUE(holds("pagerank(tolerance=0.5) == {'tolerance': 0.5}"));
  EXPECT_TRUE(holds("pagerank(None) == {'damping': None}"));
  EXPECT_TRUE(holds("device_new() == {} and device_new(7) == {'ordinal': 7}"));
  EXPECT_TRUE(holds("device_new(ordinal=None) == {'ordinal': None}"));
}

TEST_F(ArgumentsTest, SurplusPositionalArgumentsFailBeforeKeywordsAreRead) {
  EXPECT_TRUE(fails("bfs(0, 1)", PyExc_TypeError,
                    "GpuGraph.bfs() takes 1 positional arguments but 2 were given"));
  EXPECT_TRUE(fails("pagerank(0.85, 100, 1e-6, 5)", PyExc_TypeError,
                    "GpuGraph.pagerank() takes from 0 to 3 positional arguments but 4 were given"));
  EXPECT_TRUE(fails("device_new(0, 1)", PyExc_TypeError,
                    "GpuDevice.__new__() takes from 0 to 1 positional arguments but 2 were given"));
  // A bad keyword after too many positionals is never reached.
  EXPECT_TRUE(fails("k_truss(3, 4, kk=3)", PyExc_TypeError,
                    "GpuGraph.k_truss() takes 1 positional arguments but 2 were given"));
  EXPECT_TRUE(fails("device_new(0, 1, 2, bogus=2)", PyExc_TypeError,
                    "GpuDevice.__new__() takes from 0 to 1 positional arguments but 3 were given"));

  std::array<PyObject*, 1> args{Py_None};
  EXPECT_FALSE(bind_vectorcall(kNoParameters, args.data(), 1, nullptr, {}));
  EXPECT_TRUE(raised(PyExc_TypeError, "probe() takes 0 positional arguments but 1 was given"));
}

TEST_F(ArgumentsTest, KeywordErrorsFollowTheCallersKeywordOrder) {
  EXPECT_TRUE(fails("k_truss(kk=3)", PyExc_TypeError,
                    "GpuGraph.k_truss() got an unexpected keyword argument 'kk'"));
  EXPECT_TRUE(fails("device_new(device=0)", PyExc_TypeError,
                    "GpuDevice.__new__() got an unexpected keyword argument 'device'"));
  EXPECT_TRUE(fails("bfs(0, source=0)", PyExc_TypeError,
                    "GpuGraph.bfs() got multiple values for argument 'source'"));
  EXPECT_TRUE(fails("device_new(0, ordinal=1)", PyExc_TypeError,
                    "GpuDevice.__new__() got multiple values for argument 'ordinal'"));
  // The first failing keyword decides, whichever kind of failure it is.
  EXPECT_TRUE(fails("bfs(0, kk=1, source=2)", PyExc_TypeError,
                    "GpuGraph.bfs() got an unexpected keyword argument 'kk'"));
  EXPECT_TRUE(fails("bfs(0, source=2, kk=1)", PyExc_TypeError,
                    "GpuGraph.bfs() got multiple values for argument 'source'"));
  EXPECT_TRUE(fails("device_new(**{'zz': 1, 'ordinal': 2, 'aa': 3})", PyExc_TypeError,
                    "GpuDevice.__new__() got an unexpected keyword argument 'zz'"));
  // Keyword problems come before missing arguments.
  EXPECT_TRUE(fails("from_csr(nope=1)", PyExc_TypeError,
                    "GpuGraph.from_csr() got an unexpected keyword argument 'nope'"));
}

TEST_F(ArgumentsTest, RepeatedKeywordNameIsMultipleValues) {
  // Python syntax cannot repeat a keyword, but a C caller can.
  PyRef names = PyRef::steal(Py_BuildValue("(ss)", "source", "source"));
  PyRef zero = PyRef::steal(PyLong_FromLong(0));
  std::array<PyObject*, 2> args{zero.get(), zero.get()};
  std::array<PyObject*, 1> slots{};
  EXPECT_FALSE(bind_vectorcall(kBfs, args.data(), 0, names.get(), slots));
  EXPECT_TRUE(raised(PyExc_TypeError, "GpuGraph.bfs() got multiple values for argument 'source'"));
}

TEST_F(ArgumentsTest, KeysThatAreNotUsableTextAreUnexpectedKeywords) {
  std::array<PyObject*, 1> slots{};
  PyRef number_key = PyRef::steal(Py_BuildValue("(i)", 1));
  std::array<PyObject*, 1> args{Py_None};
  EXPECT_FALSE(bind_vectorcall(kBfs, args.data(), 0, number_key.get(), slots));
  EXPECT_TRUE(raised(PyExc_TypeError, "GpuGraph.bfs() got an unexpected keyword argument '1'"));

  PyRef dict = value("{1.5: 0}");
  PyRef empty = PyRef::steal(PyTuple_New(0));
  EXPECT_FALSE(bind_tuple_dict(kDeviceNew, empty.get(), dict.get(), slots));
  EXPECT_TRUE(
      raised(PyExc_TypeError, "GpuDevice.__new__() got an unexpected keyword argument '1.5'"));

  // A lone surrogate cannot be encoded: no UnicodeEncodeError leaks out, and
  // the key is shown as it is.
  EXPECT_TRUE(holds(R"((type(raised_by(lambda: device_new(**{'\udc80': 1}))) is TypeError and
str(raised_by(lambda: device_new(**{'\udc80': 1}))) ==
    "GpuDevice.__new__() got an unexpected keyword argument '\udc80'"))"));
}

TEST_F(ArgumentsTest, MissingRequiredArgumentsAreListedInParameterOrder) {
  EXPECT_TRUE(fails("from_csr([0, 1], [0])", PyExc_TypeError,
                    "GpuGraph.from_csr() missing 1 required positional argument: 'device'"));
  EXPECT_TRUE(fails("from_csr([0])", PyExc_TypeError,
                    "GpuGraph.from_csr() missing 2 required positional arguments: "
                    "'targets' and 'device'"));
  EXPECT_TRUE(fails("from_csr()", PyExc_TypeError,
                    "GpuGraph.from_csr() missing 3 required positional arguments: "
                    "'offsets', 'targets', and 'device'"));
  // Parameters given by keyword are not missing, wherever they stand.
  EXPECT_TRUE(fails("from_csr(targets=[])", PyExc_TypeError,
                    "GpuGraph.from_csr() missing 2 required positional arguments: "
                    "'offsets' and 'device'"));
  EXPECT_TRUE(fails("bfs()", PyExc_TypeError,
                    "GpuGraph.bfs() missing 1 required positional argument: 'source'"));

  std::array<PyObject*, 4> slots{};
  EXPECT_FALSE(bind_vectorcall(kFourRequired, nullptr, 0, nullptr, slots));
  EXPECT_TRUE(raised(PyExc_TypeError,
                     "probe() missing 4 required positional arguments: "
                     "'a', 'b', 'c', and 'd'"));
}

TEST_F(ArgumentsTest, VectorcallCountIgnoresTheOffsetFlag) {
  PyRef one = PyRef::steal(PyLong_FromLong(1));
  std::array<PyObject*, 2> storage{nullptr, one.get()};  // args[-1] is the caller's to lend
  std::array<PyObject*, 1> slots{};
  ASSERT_TRUE(bind_vectorcall(kBfs, storage.data() + 1,
                              static_cast<Py_ssize_t>(1 | PY_VECTORCALL_ARGUMENTS_OFFSET), nullptr,
                              slots));
  EXPECT_EQ(slots[0], one.get());
}

TEST_F(ArgumentsTest, SlotsThatDoNotMatchTheDescriptionAreAFault) {
  std::array<PyObject*, 2> slots{};
  EXPECT_EQ(fault_of([&] { (void)bind_vectorcall(kBfs, nullptr, 0, nullptr, slots); }),
            "argument slots do not match the function description");
  EXPECT_EQ(fault_of([&] { (void)bind_tuple_dict(kBfs, nullptr, nullptr, slots); }),
            "argument slots do not match the function description");
}

// ---------------------------------------------------------------------------
// The argument error rule

class ArgumentErrorTest : public ArgumentsTest {
 protected:
  // Moves the pending exception into the globals as `caught`.
  void keep_raised() {
    PyRef error = take_raised();
    ASSERT_TRUE(error) << "no exception pending";
    ASSERT_EQ(PyDict_SetItemString(globals_.get(), "caught", error.get()), 0);
  }

  void convert_failing(const std::string& expression) {
    PyRef object = value(expression);
    ASSERT_TRUE(object);
    EXPECT_FALSE(convert_u64(object.get(), "ordinal")) << expression;
  }
};

TEST_F(ArgumentErrorTest, ExactTypeErrorIsReplacedKeepingItsCause) {
  ASSERT_TRUE(value("globals().update(root=KeyError('root'))"));
  convert_failing("Raiser(with_cause(TypeError('inner'), root))");
  keep_raised();
  EXPECT_TRUE(holds("type(caught) is TypeError and str(caught) == \"argument 'ordinal': inner\""));
  EXPECT_TRUE(holds("caught.__cause__ is root and caught.__suppress_context__"));
  // The replaced TypeError is dropped, not chained.
  EXPECT_TRUE(holds("caught.__context__ is None"));

  convert_failing("Raiser(TypeError('plain'))");
  keep_raised();
  EXPECT_TRUE(holds("str(caught) == \"argument 'ordinal': plain\""));
  EXPECT_TRUE(holds("caught.__cause__ is None and caught.__suppress_context__"));
}

TEST_F(ArgumentErrorTest, OtherExceptionsPassUnchanged) {
  convert_failing("Raiser(TypeErrorSubclass('sub'))");
  keep_raised();
  EXPECT_TRUE(holds("type(caught) is TypeErrorSubclass and str(caught) == 'sub'"));
  convert_failing("Raiser(ValueError('bad value'))");
  keep_raised();
  EXPECT_TRUE(holds("type(caught) is ValueError and str(caught) == 'bad value'"));
  convert_failing("Raiser(MemoryError())");
  keep_raised();
  EXPECT_TRUE(holds("type(caught) is MemoryError"));

  reraise_as_argument_error("ordinal");
  EXPECT_FALSE(PyErr_Occurred());
}

// ---------------------------------------------------------------------------
// Integer converters

TEST_F(ArgumentsTest, UnsignedIntegersAcceptIntsBoolsAndIndexables) {
  struct Case {
    const char* expression;
    std::uint64_t expected;
  };
  // StrictInt's __index__ raises: an int subclass must be read directly.
  for (const auto& [expression, expected] :
       {Case{"0", 0}, Case{"2**64 - 1", std::numeric_limits<std::uint64_t>::max()}, Case{"True", 1},
        Case{"False", 0}, Case{"Index(42)", 42}, Case{"StrictInt(7)", 7}}) {
    PyRef object = value(expression);
    const auto converted = convert_u64(object.get(), "ordinal");
    ASSERT_TRUE(converted) << expression << ": " << text_of(take_raised().get());
    EXPECT_EQ(*converted, expected) << expression;
  }
  PyRef big = value("StrictInt(2**32 - 1)");
  EXPECT_EQ(convert_u32(big.get(), "source"), std::numeric_limits<std::uint32_t>::max());
}

TEST_F(ArgumentsTest, IntegersOutOfRangeRaiseOverflowErrorWithoutPrefix) {
  for (const char* expression : {"-1", "2**64", "Index(-5)", "-2**70"}) {
    PyRef object = value(expression);
    PyRef integer = PyRef::steal(PyNumber_Index(object.get()));
    const std::string reference =
        interpreter_message([&] { (void)PyLong_AsUnsignedLongLong(integer.get()); });
    EXPECT_FALSE(convert_u64(object.get(), "ordinal"));
    EXPECT_TRUE(raised(PyExc_OverflowError, reference)) << expression;
    EXPECT_FALSE(convert_u32(object.get(), "source"));
    EXPECT_TRUE(raised(PyExc_OverflowError, reference)) << expression;
  }
  for (const char* expression : {"2**32", "2**64 - 1", "Index(2**32)"}) {
    PyRef object = value(expression);
    EXPECT_FALSE(convert_u32(object.get(), "source"));
    EXPECT_TRUE(raised(PyExc_OverflowError, "out of range integral type conversion attempted"))
        << expression;
  }
}

TEST_F(ArgumentsTest, NonIntegersRaisePrefixedTypeError) {
  for (const char* expression : {"1.0", "'0'", "None", "Index(1.5)", "[1]"}) {
    PyRef object = value(expression);
    const std::string reference =
        interpreter_message([&] { PyRef::steal(PyNumber_Index(object.get())); });
    EXPECT_FALSE(convert_u64(object.get(), "ordinal"));
    EXPECT_TRUE(raised(PyExc_TypeError, "argument 'ordinal': " + reference)) << expression;
    EXPECT_FALSE(convert_u32(object.get(), "k"));
    EXPECT_TRUE(raised(PyExc_TypeError, "argument 'k': " + reference)) << expression;
  }
}

// ---------------------------------------------------------------------------
// Floating-point converters

TEST_F(ArgumentsTest, DoublesAcceptNumbersAndFloatables) {
  struct Case {
    const char* expression;
    double expected;
  };
  // -1.0 is the interpreter's failure marker, so it must still come through.
  for (const auto& [expression, expected] :
       {Case{"1.5", 1.5}, Case{"-1.0", -1.0}, Case{"-1", -1.0}, Case{"True", 1.0},
        Case{"FloatLike(-1.0)", -1.0}, Case{"Index(3)", 3.0}, Case{"2**53", 0x1p53},
        Case{"float('-inf')", -std::numeric_limits<double>::infinity()}}) {
    PyRef object = value(expression);
    const auto converted = convert_f64(object.get(), "tolerance");
    ASSERT_TRUE(converted) << expression << ": " << text_of(take_raised().get());
    EXPECT_EQ(*converted, expected) << expression;
  }
}

TEST_F(ArgumentsTest, DoubleFailuresFollowTheArgumentRule) {
  for (const char* expression :
       {"'0.5'", "None", "FloatLike('x')", "10**400", "Raiser(ValueError('no float'))"}) {
    PyRef object = value(expression);
    PyRef reference_error;
    (void)PyFloat_AsDouble(object.get());
    reference_error = take_raised();
    ASSERT_TRUE(reference_error) << expression;
    const bool prefixed =
        Py_IS_TYPE(reference_error.get(), reinterpret_cast<PyTypeObject*>(PyExc_TypeError));
    const std::string expected =
        (prefixed ? "argument 'damping': " : "") + text_of(reference_error.get());
    PyObject* expected_type = reinterpret_cast<PyObject*>(Py_TYPE(reference_error.get()));
    EXPECT_FALSE(convert_f64(object.get(), "damping"));
    EXPECT_TRUE(raised(expected_type, expected)) << expression;
    EXPECT_FALSE(convert_f32(object.get(), "damping"));
    EXPECT_TRUE(raised(expected_type, expected)) << expression;
  }
}

TEST_F(ArgumentsTest, SinglePrecisionRoundsToNearestAndOverflowsToInfinity) {
  constexpr float infinity = std::numeric_limits<float>::infinity();
  // Halfway between FLT_MAX and 2^128: from here on the nearest float is 2^128.
  const double midpoint = static_cast<double>(FLT_MAX) + std::ldexp(1.0, 103);
  struct Case {
    double input;
    float expected;
  };
  for (const auto& [input, expected] :
       {Case{0.1, 0.1f}, Case{-2.5, -2.5f}, Case{static_cast<double>(FLT_MAX), FLT_MAX},
        Case{std::nextafter(midpoint, 0.0), FLT_MAX}, Case{midpoint, infinity},
        Case{-midpoint, -infinity}, Case{1e300, infinity}, Case{-1e39, -infinity},
        Case{1e-50, 0.0f}, Case{static_cast<double>(infinity), infinity}}) {
    PyRef object = PyRef::steal(PyFloat_FromDouble(input));
    const auto converted = convert_f32(object.get(), "damping");
    ASSERT_TRUE(converted) << input;
    EXPECT_EQ(*converted, expected) << input;
  }
  PyRef nan = value("float('nan')");
  const auto converted = convert_f32(nan.get(), "damping");
  ASSERT_TRUE(converted);
  EXPECT_TRUE(std::isnan(*converted));
}

TEST_F(ArgumentsTest, AbsentOptionalTakesTheDefaultButNoneIsConverted) {
  EXPECT_EQ(convert_or_default(nullptr, 0.85f, &convert_f32, "damping"), 0.85f);
  EXPECT_EQ(convert_or_default(nullptr, std::uint32_t{100}, &convert_u32, "max_iterations"), 100u);
  PyRef half = value("0.5");
  EXPECT_EQ(convert_or_default(half.get(), 0.85, &convert_f64, "damping"), 0.5);

  const std::string reference = interpreter_message([] { (void)PyFloat_AsDouble(Py_None); });
  EXPECT_FALSE(convert_or_default(Py_None, 0.85f, &convert_f32, "damping"));
  EXPECT_TRUE(raised(PyExc_TypeError, "argument 'damping': " + reference));
}

// ---------------------------------------------------------------------------
// The list converter

TEST_F(ArgumentsTest, SequencesConvertElementByElement) {
  using Values = HostArray<std::uint32_t>;
  const std::pair<const char*, Values> cases[] = {
      {"[0, 1, 2]", {0, 1, 2}},
      {"(5, 4)", {5, 4}},
      {"range(3)", {0, 1, 2}},
      {"array.array('I', [7, 2**32 - 1])", {7, 0xFFFFFFFFu}},
      {"b'\\x00\\x07\\xff'", {0, 7, 255}},
      {"[]", {}},
      {"[True, Index(9), StrictInt(4)]", {1, 9, 4}},
      {"ByGetItem()", {0, 10, 20}},
      // A length that fails or lies only affects how much room is reserved.
      {"LenFails([3, 4])", {3, 4}},
      {"LenLies([1, 2, 3], 0)", {1, 2, 3}},
      {"LenLies([6], sys.maxsize)", {6}},
      {"LenLies([8], sys.maxsize // 8)", {8}},
  };
  for (const auto& [expression, expected] : cases) {
    PyRef object = value(expression);
    const auto converted = convert_u32_list(object.get(), "offsets");
    ASSERT_TRUE(converted) << expression << ": " << text_of(take_raised().get());
    EXPECT_EQ(*converted, expected) << expression;
    EXPECT_FALSE(PyErr_Occurred()) << expression;
  }
}

TEST_F(ArgumentsTest, StrAndNonSequencesAreRefused) {
  const std::pair<const char*, const char*> cases[] = {
      {"'012'", "argument 'offsets': Can't extract `str` to `Vec`"},
      {"StrSubclass('1')", "argument 'offsets': Can't extract `str` to `Vec`"},
      {"5", "argument 'offsets': 'int' object cannot be cast as 'Sequence'"},
      {"None", "argument 'offsets': 'NoneType' object cannot be cast as 'Sequence'"},
      {"{1, 2}", "argument 'offsets': 'set' object cannot be cast as 'Sequence'"},
      {"{0: 1}", "argument 'offsets': 'dict' object cannot be cast as 'Sequence'"},
      {"generator()", "argument 'offsets': 'generator' object cannot be cast as 'Sequence'"},
      {"local_instance()",
       "argument 'offsets': 'local_instance.<locals>.Local' object cannot be cast as 'Sequence'"},
  };
  for (const auto& [expression, message] : cases) {
    PyRef object = value(expression);
    EXPECT_FALSE(convert_u32_list(object.get(), "offsets")) << expression;
    EXPECT_TRUE(raised(PyExc_TypeError, message)) << expression;
  }
}

TEST_F(ArgumentsTest, FirstBadElementEndsTheListConversion) {
  PyRef negative = value("-1");
  const std::string negative_message =
      interpreter_message([&] { (void)PyLong_AsUnsignedLongLong(negative.get()); });
  PyRef real = value("1.0");
  const std::string real_message =
      interpreter_message([&] { PyRef::steal(PyNumber_Index(real.get())); });
  const std::tuple<const char*, PyObject*, std::string> cases[] = {
      {"[0, 2**32]", PyExc_OverflowError, "out of range integral type conversion attempted"},
      {"[0, -1]", PyExc_OverflowError, negative_message},
      {"array.array('i', [1, -1])", PyExc_OverflowError, negative_message},
      {"[0, 1.0]", PyExc_TypeError, "argument 'targets': " + real_message},
      {"[1.0, -1]", PyExc_TypeError, "argument 'targets': " + real_message},
      {"[-1, 1.0]", PyExc_OverflowError, negative_message},
      // An error of the iteration itself comes back as raised, under the rule.
      {"BrokenIteration(ValueError('broken'))", PyExc_ValueError, "broken"},
      {"BrokenIteration(TypeError('broken'))", PyExc_TypeError, "argument 'targets': broken"},
  };
  for (const auto& [expression, type, message] : cases) {
    PyRef object = value(expression);
    EXPECT_FALSE(convert_u32_list(object.get(), "targets")) << expression;
    EXPECT_TRUE(raised(type, message)) << expression;
  }
}

// Which exported buffers the converter reads straight from memory: a view with
// a given format, element size and dimension count, as an exporter fills it.
struct LayoutCase {
  const char* format;
  Py_ssize_t itemsize;
  int ndim;
  std::optional<std::pair<std::size_t, bool>> expected;  // element size, signedness
};

Py_buffer one_dimensional_view(const char* format, Py_ssize_t itemsize, Py_ssize_t* shape,
                               Py_ssize_t* strides) {
  Py_buffer view{};
  view.format = const_cast<char*>(format);
  view.itemsize = itemsize;
  view.ndim = 1;
  view.shape = shape;
  view.strides = strides;
  return view;
}

TEST(IntegerLayoutTest, OnlyOneDimensionalNativeIntegersAreReadDirectly) {
  constexpr bool little = std::endian::native == std::endian::little;
  const char* native_prefixed = little ? "<q" : ">q";
  const char* foreign_prefixed = little ? ">q" : "<q";
  const std::pair<std::size_t, bool> u8{1, false}, i8{1, true}, u16{2, false}, i32{4, true},
      u64{8, false}, i64{8, true};
  const LayoutCase cases[] = {
      {"B", 1, 1, u8},       {"b", 1, 1, i8},
      {"@H", 2, 1, u16},     {"=i", 4, 1, i32},
      {"L", 8, 1, u64},      {native_prefixed, 8, 1, i64},
      {"N", 8, 1, u64},      {foreign_prefixed, 8, 1, {}},
      {"?", 1, 1, {}},       {"c", 1, 1, {}},
      {"d", 8, 1, {}},       {"e", 2, 1, {}},
      {"2i", 8, 1, {}},      {"ii", 8, 1, {}},
      {"<", 1, 1, {}},       {"", 1, 1, {}},
      {"T{i:a:}", 4, 1, {}}, {"i", 3, 1, {}},
      {"i", 4, 0, {}},       {"i", 4, 2, {}},
  };
  Py_ssize_t shape[2] = {3, 1};
  Py_ssize_t strides[2] = {4, 4};
  for (const auto& c : cases) {
    Py_buffer view = one_dimensional_view(c.format, c.itemsize, shape, strides);
    view.ndim = c.ndim;
    const auto layout = integer_layout(view);
    ASSERT_EQ(layout.has_value(), c.expected.has_value()) << c.format << " ndim " << c.ndim;
    if (layout) {
      EXPECT_EQ(std::pair(layout->size, layout->is_signed), *c.expected) << c.format;
    }
  }
}

TEST(IntegerLayoutTest, MissingShapeOrStridesMeanContiguousMemory) {
  Py_ssize_t shape = 5;
  Py_ssize_t stride = -4;
  Py_buffer view = one_dimensional_view("I", 4, &shape, &stride);
  auto layout = integer_layout(view);
  ASSERT_TRUE(layout);
  EXPECT_EQ(layout->count, 5u);
  EXPECT_EQ(layout->stride, -4);

  view.strides = nullptr;
  layout = integer_layout(view);
  ASSERT_TRUE(layout);
  EXPECT_EQ(layout->stride, 4);

  view.shape = nullptr;
  view.len = 12;
  layout = integer_layout(view);
  ASSERT_TRUE(layout);
  EXPECT_EQ(layout->count, 3u);

  Py_ssize_t suboffset = 0;
  view.suboffsets = &suboffset;
  EXPECT_FALSE(integer_layout(view));
}

// ---------------------------------------------------------------------------
// Instances and self

TEST_F(ArgumentsTest, InstancesOfTheTypeOrASubclassAreUsedAsTheyAre) {
  PyRef type = value("Device");
  auto* device_type = reinterpret_cast<PyTypeObject*>(type.get());
  for (const char* expression : {"Device()", "DeviceSubclass()"}) {
    PyRef object = value(expression);
    EXPECT_EQ(convert_instance(object.get(), device_type, "GpuDevice", "device"), object.get());
    EXPECT_TRUE(check_self(object.get(), device_type, "GpuDevice"));
  }
  const std::pair<const char*, const char*> refused[] = {
      {"'cpu'", "'str' object cannot be cast as 'GpuDevice'"},
      {"None", "'NoneType' object cannot be cast as 'GpuDevice'"},
      {"Index(0)", "'Index' object cannot be cast as 'GpuDevice'"},
  };
  for (const auto& [expression, message] : refused) {
    PyRef object = value(expression);
    EXPECT_EQ(convert_instance(object.get(), device_type, "GpuDevice", "device"), nullptr);
    EXPECT_TRUE(raised(PyExc_TypeError, std::string("argument 'device': ") + message));
  }
}

TEST_F(ArgumentsTest, WrongSelfIsRefusedWithoutArgumentPrefix) {
  PyRef type = value("Device");
  PyRef number = value("5");
  EXPECT_FALSE(check_self(number.get(), reinterpret_cast<PyTypeObject*>(type.get()), "GpuGraph"));
  EXPECT_TRUE(raised(PyExc_TypeError, "'int' object cannot be cast as 'GpuGraph'"));
}

// ---------------------------------------------------------------------------
// Result builders

TEST_F(ArgumentsTest, ScalarBuildersKeepEveryValue) {
  EXPECT_TRUE(same(int_from_u64(std::numeric_limits<std::uint64_t>::max()).get(), "2**64 - 1"));
  EXPECT_TRUE(same(int_from_u64(0).get(), "0"));
  EXPECT_TRUE(same(int_from_u32(std::numeric_limits<std::uint32_t>::max()).get(), "2**32 - 1"));
  EXPECT_TRUE(same(int_from_i32(-1).get(), "-1"));
  EXPECT_TRUE(same(int_from_i32(std::numeric_limits<std::int32_t>::min()).get(), "-2**31"));
  EXPECT_TRUE(same(float_from_f64(0.1).get(), "0.1"));
  EXPECT_TRUE(
      same(float_from_f64(-std::numeric_limits<double>::infinity()).get(), "float('-inf')"));
  // Widened exactly: the float nearest 0.1, not 0.1 itself.
  PyRef widened = float_from_f32(0.1f);
  ASSERT_TRUE(PyFloat_CheckExact(widened.get()));
  EXPECT_EQ(PyFloat_AS_DOUBLE(widened.get()), static_cast<double>(0.1f));
  EXPECT_NE(PyFloat_AS_DOUBLE(widened.get()), 0.1);
  EXPECT_EQ(bool_object(true).get(), Py_True);
  EXPECT_EQ(bool_object(false).get(), Py_False);
  EXPECT_TRUE(same(pair_tuple(int_from_u32(4), int_from_i32(-2)).get(), "(4, -2)"));
}

TEST_F(ArgumentsTest, ListsFollowTheHostVectorsOrder) {
  const std::vector<std::uint32_t> distances{3, 0, 0xFFFFFFFFu};
  PyRef as_signed = build_list(distances, [](std::uint32_t distance) {
    return int_from_i32(static_cast<std::int32_t>(distance));
  });
  EXPECT_TRUE(same(as_signed.get(), "[3, 0, -1]"));
  EXPECT_TRUE(same(build_list(distances, int_from_u32).get(), "[3, 0, 2**32 - 1]"));
  const std::vector<float> ranks{0.5f, 0.25f};
  EXPECT_TRUE(same(build_list(ranks, float_from_f32).get(), "[0.5, 0.25]"));
  const std::vector<std::pair<std::uint32_t, std::uint32_t>> edges{{0, 1}, {2, 3}};
  PyRef pairs = build_list(edges, [](const auto& edge) {
    return pair_tuple(int_from_u32(edge.first), int_from_u32(edge.second));
  });
  EXPECT_TRUE(same(pairs.get(), "[(0, 1), (2, 3)]"));
  EXPECT_TRUE(same(build_list(std::vector<std::uint32_t>{}, int_from_u32).get(), "[]"));
}

TEST_F(ArgumentsTest, DictKeepsInsertionOrder) {
  DictBuilder builder;
  builder.set("total", int_from_u64(7)).set("converged", bool_object(true));
  builder.set("time_seconds", float_from_f64(0.25));
  PyRef dict = builder.finish();
  ASSERT_TRUE(dict);
  ASSERT_EQ(PyDict_SetItemString(globals_.get(), "built", dict.get()), 0);
  EXPECT_TRUE(
      holds("type(built) is dict and "
            "list(built) == ['total', 'converged', 'time_seconds']"));
  EXPECT_TRUE(holds("built == {'total': 7, 'converged': True, 'time_seconds': 0.25}"));
  EXPECT_TRUE(holds("type(built['total']) is int and built['converged'] is True"));
}

// ---------------------------------------------------------------------------
// Failing to create result objects

// Makes the next interpreter allocation of at least `min_size` bytes fail,
// once, by wrapping the interpreter's allocators for the guard's lifetime.
class FailNextAllocation {
 public:
  explicit FailNextAllocation(std::size_t min_size) {
    min_size_ = min_size;
    armed_ = true;
    failures_ = 0;
    install(PYMEM_DOMAIN_MEM, previous_mem_);
    install(PYMEM_DOMAIN_OBJ, previous_obj_);
  }
  ~FailNextAllocation() {
    PyMem_SetAllocator(PYMEM_DOMAIN_MEM, &previous_mem_);
    PyMem_SetAllocator(PYMEM_DOMAIN_OBJ, &previous_obj_);
  }
  FailNextAllocation(const FailNextAllocation&) = delete;
  FailNextAllocation& operator=(const FailNextAllocation&) = delete;

  int failures() const { return failures_; }

 private:
  static void install(PyMemAllocatorDomain domain, PyMemAllocatorEx& previous) {
    PyMem_GetAllocator(domain, &previous);
    PyMemAllocatorEx wrapper{&previous, do_malloc, do_calloc, do_realloc, do_free};
    PyMem_SetAllocator(domain, &wrapper);
  }
  static bool fail(std::size_t size) {
    if (!armed_ || size < min_size_) return false;
    armed_ = false;
    ++failures_;
    return true;
  }
  // The context of each wrapper is the allocator it wraps.
  static void* do_malloc(void* context, std::size_t size) {
    auto& next = *static_cast<PyMemAllocatorEx*>(context);
    return fail(size) ? nullptr : next.malloc(next.ctx, size);
  }
  static void* do_calloc(void* context, std::size_t count, std::size_t size) {
    auto& next = *static_cast<PyMemAllocatorEx*>(context);
    return fail(count * size) ? nullptr : next.calloc(next.ctx, count, size);
  }
  static void* do_realloc(void* context, void* pointer, std::size_t size) {
    auto& next = *static_cast<PyMemAllocatorEx*>(context);
    return fail(size) ? nullptr : next.realloc(next.ctx, pointer, size);
  }
  static void do_free(void* context, void* pointer) {
    auto& next = *static_cast<PyMemAllocatorEx*>(context);
    next.free(next.ctx, pointer);
  }

  static inline std::size_t min_size_ = 0;
  static inline bool armed_ = false;
  static inline int failures_ = 0;
  static inline PyMemAllocatorEx previous_mem_{};
  static inline PyMemAllocatorEx previous_obj_{};
};

// Sends sys.stderr to a StringIO while alive.
class CapturedStderr {
 public:
  CapturedStderr() : saved_(PyRef::borrow(PySys_GetObject("stderr"))) {
    PyRef io = PyRef::steal(PyImport_ImportModule("io"));
    buffer_ = PyRef::steal(io ? PyObject_CallMethod(io.get(), "StringIO", nullptr) : nullptr);
    if (buffer_) PySys_SetObject("stderr", buffer_.get());
  }
  ~CapturedStderr() { PySys_SetObject("stderr", saved_.get()); }
  CapturedStderr(const CapturedStderr&) = delete;
  CapturedStderr& operator=(const CapturedStderr&) = delete;

  std::string text() const {
    PyRef value = PyRef::steal(PyObject_CallMethod(buffer_.get(), "getvalue", nullptr));
    return value ? text_of(value.get()) : "<no capture>";
  }

 private:
  PyRef saved_;
  PyRef buffer_;
};

TEST_F(ArgumentsTest, FailedCreationPrintsTheErrorAndFaults) {
  // Two-digit ints come from the allocator, not from a free list.
  constexpr std::uint64_t big = std::uint64_t{1} << 40;
  const std::vector<std::uint32_t> items{1, 2, 3};
  using Builder = std::function<void()>;
  const std::pair<const char*, Builder> builders[] = {
      {"int", [&] { int_from_u64(big); }},
      {"list", [&] { build_list(items, int_from_u32); }},
      {"list item", [&] { build_list(items, [&](std::uint32_t) { return int_from_u64(big); }); }},
      {"dict key", [] { DictBuilder().set("total", bool_object(true)); }},
  };
  for (const auto& [name, build] : builders) {
    CapturedStderr captured;
    std::string message;
    {
      FailNextAllocation failing(0);
      message = fault_of(build);
      EXPECT_EQ(failing.failures(), 1) << name;
    }
    EXPECT_EQ(message, "Python API call failed") << name;
    EXPECT_NE(captured.text().find("MemoryError"), std::string::npos) << name;
    EXPECT_FALSE(PyErr_Occurred()) << name;
  }
}

TEST_F(ArgumentsTest, FailedDictInsertionRaisesInsteadOfFaulting) {
  constexpr std::array<const char*, 8> keys{"k0", "k1", "k2", "k3", "k4", "k5", "k6", "k7"};
  std::vector<PyRef> values;
  for (std::uint64_t i = 0; i < keys.size(); ++i) values.push_back(int_from_u64((1ull << 40) + i));
  DictBuilder builder;
  for (std::size_t i = 0; i < 5; ++i) builder.set(keys[i], std::move(values[i]));
  {
    // The sixth key outgrows the smallest table; the new table is the one
    // allocation of this size (a short key string is far smaller).
    FailNextAllocation failing(160);
    for (std::size_t i = 5; i < keys.size(); ++i) builder.set(keys[i], std::move(values[i]));
    ASSERT_EQ(failing.failures(), 1);
    EXPECT_FALSE(PyErr_Occurred()) << "the failure waits for finish()";
  }
  EXPECT_FALSE(builder.finish());
  EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_MemoryError));
  PyErr_Clear();
}

}  // namespace
}  // namespace vorlan::python
