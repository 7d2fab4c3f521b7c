// Host allocation failures inside GpuDevice() and GpuGraph.from_csr: the nth
// C++ allocation the module makes in the call is made to fail, for every n
// until the call makes no more. Each call must raise MemoryError (or the
// driver's out-of-memory error, or succeed where the allocation was optional)
// and leave no half-made object behind: no instance holding its type, nothing on
// the device.
#include <Python.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>
#include <string_view>

#include "python/gpu_device.hpp"
#include "python/gpu_graph.hpp"
#include "python/py_ref.hpp"
#include "software_gpu.hpp"

namespace {

// Allocations left before one fails; 0: none is made to fail.
long countdown = 0;

// Whether `caller` lies in the software GPU's library, whose own allocations
// are its business: only the module's are made to fail.
bool in_driver_library(void* caller) {
  Dl_info info{};
  return dladdr(caller, &info) != 0 && info.dli_fname != nullptr &&
         std::string_view(info.dli_fname).find("libcuda") != std::string_view::npos;
}

}  // namespace

// Replacing operator new and delete by malloc and free is sound; the
// compiler cannot tell that they belong together. They are exported, so that
// they replace the library's (and a sanitizer's) versions for the whole
// process.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#define VORLAN_REPLACEMENT __attribute__((visibility("default")))

// Whether this allocation is the one to fail.
bool fail_now(void* caller) {
  return countdown > 0 && !in_driver_library(caller) && --countdown == 0;
}

VORLAN_REPLACEMENT void* operator new(std::size_t size) {
  if (fail_now(__builtin_return_address(0))) throw std::bad_alloc();
  if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
  throw std::bad_alloc();
}
VORLAN_REPLACEMENT void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (fail_now(__builtin_return_address(0))) return nullptr;
  return std::malloc(size == 0 ? 1 : size);
}
VORLAN_REPLACEMENT void* operator new[](std::size_t size) { return operator new(size); }
VORLAN_REPLACEMENT void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
VORLAN_REPLACEMENT void operator delete(void* memory) noexcept { std::free(memory); }
VORLAN_REPLACEMENT void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
VORLAN_REPLACEMENT void operator delete(void* memory, const std::nothrow_t&) noexcept {
  std::free(memory);
}
VORLAN_REPLACEMENT void operator delete[](void* memory) noexcept { std::free(memory); }
VORLAN_REPLACEMENT void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
VORLAN_REPLACEMENT void operator delete[](void* memory, const std::nothrow_t&) noexcept {
  std::free(memory);
}

namespace vorlan::python {
namespace {

class PythonEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { Py_InitializeEx(0); }
};
[[maybe_unused]] auto* const python_environment =
    ::testing::AddGlobalTestEnvironment(new PythonEnvironment);

struct Outcome {
  bool failed_on_purpose;  // the countdown ran out during the call
  std::string raised;      // "" when it returned an object
};

// Calls `call` with its nth allocation failing; drops what it returned.
template <class Call>
Outcome with_nth_allocation_failing(long nth, Call call) {
  countdown = nth;
  PyObject* result = call();
  const bool failed_on_purpose = countdown == 0;
  countdown = 0;
  Outcome outcome{failed_on_purpose, ""};
  if (result == nullptr) {
    PyRef error = PyRef::steal(PyErr_GetRaisedException());
    PyRef text = PyRef::steal(error ? PyObject_Str(error.get()) : nullptr);
    outcome.raised = std::string(error ? Py_TYPE(error.get())->tp_name : "<nothing raised>") +
                     ": " + (text ? PyUnicode_AsUTF8(text.get()) : "");
  }
  Py_XDECREF(result);
  return outcome;
}

constexpr std::string_view kDriverOutOfMemory =
    "RuntimeError: CUDA driver error: DriverError(CUDA_ERROR_OUT_OF_MEMORY, \"out of memory\")";

// Runs the sweep over `call`; `held` says what the device must hold after each.
template <class Call>
void sweep(PyTypeObject* made_type, Call call, unsigned long long held_retains) {
  const Py_ssize_t type_refs = Py_REFCNT(made_type);
  long nth = 1;
  for (;; ++nth) {
    const Outcome outcome = with_nth_allocation_failing(nth, call);
    if (!outcome.failed_on_purpose) {
      EXPECT_EQ(outcome.raised, "") << "with no allocation failing";
      break;
    }
    // A few allocations are optional (a length hint's reservation): the call
    // may still succeed. One made for the driver's own work (through the C++
    // library) comes back as the driver's out-of-memory error.
    if (!outcome.raised.empty()) {
      EXPECT_TRUE(outcome.raised == "MemoryError: " || outcome.raised == kDriverOutOfMemory)
          << "allocation " << nth << ": " << outcome.raised;
    }
    // Every instance holds a reference to its type: a leaked one shows here.
    EXPECT_EQ(Py_REFCNT(made_type), type_refs) << "allocation " << nth;
    const auto counts = test::live();
    EXPECT_EQ(counts.allocations, 0u) << "allocation " << nth;
    EXPECT_EQ(counts.events, 0u) << "allocation " << nth;
    EXPECT_EQ(counts.context_refs, held_retains) << "allocation " << nth;
  }
  EXPECT_GT(nth, 3) << "the call made almost no allocation";
}

TEST(AllocationFailures, GpuDeviceLeavesNothingBehind) {
  PyTypeObject* type = gpu_device_type();
  ASSERT_NE(type, nullptr);
  PyRef no_arguments = PyRef::steal(PyTuple_New(0));
  test::init_driver();
  sweep(
      type,
      [&] { return PyObject_Call(reinterpret_cast<PyObject*>(type), no_arguments.get(), nullptr); },
      0);
}

TEST(AllocationFailures, FromCsrLeavesNothingBehind) {
  PyTypeObject* device_type = gpu_device_type();
  PyTypeObject* graph_type = gpu_graph_type();
  ASSERT_NE(device_type, nullptr);
  ASSERT_NE(graph_type, nullptr);
  PyRef no_arguments = PyRef::steal(PyTuple_New(0));
  PyRef device = PyRef::steal(
      PyObject_Call(reinterpret_cast<PyObject*>(device_type), no_arguments.get(), nullptr));
  ASSERT_TRUE(device);
  PyRef from_csr =
      PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(graph_type), "from_csr"));
  ASSERT_TRUE(from_csr);
  PyRef arguments =
      PyRef::steal(Py_BuildValue("([iiii][iiiiii]O)", 0, 2, 4, 6, 1, 2, 0, 2, 0, 1, device.get()));
  ASSERT_TRUE(arguments);
  // The device keeps its one retain.
  sweep(graph_type, [&] { return PyObject_Call(from_csr.get(), arguments.get(), nullptr); }, 1);
}

}  // namespace
}  // namespace vorlan::python
