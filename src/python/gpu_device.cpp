#include "python/gpu_device.hpp"

namespace vorlan::python {
namespace {

struct GpuDeviceObject {
  PyObject_HEAD
};

// The text signature line lets inspect.signature() show "(ordinal=0)".
constexpr const char* kDoc = "GpuDevice(ordinal=0)\n--\n\nA CUDA GPU device.";

PyType_Slot device_slots[] = {
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {0, nullptr},
};

// No Py_TPFLAGS_BASETYPE: the class cannot be subclassed.
PyType_Spec device_spec = {
    "builtins.GpuDevice",
    sizeof(GpuDeviceObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    device_slots,
};

PyTypeObject* device_type = nullptr;

}  // namespace

PyTypeObject* gpu_device_type() {
  if (device_type == nullptr) {
    device_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&device_spec));
  }
  return device_type;
}

}  // namespace vorlan::python
