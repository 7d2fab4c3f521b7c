#include "python/gpu_device.hpp"

#include <array>
#include <format>
#include <memory>
#include <string>

#include "engine/error.hpp"
#include "python/arguments.hpp"
#include "python/boundary.hpp"

namespace vorlan::python {
namespace {

// Everything a GpuDevice holds, fixed at construction.
struct DeviceRecord {
  std::string name;
  std::uint64_t ordinal;
  std::uint64_t total_memory;
  driver::SharedContext context;
  driver::SharedStream stream;
};

struct GpuDeviceObject {
  PyObject_HEAD DeviceRecord* record;  // owned
};

DeviceRecord& record_of(PyObject* self) {
  return *reinterpret_cast<GpuDeviceObject*>(self)->record;
}

engine::GpuResult<DeviceRecord> open_device(std::uint64_t ordinal) {
  auto context = driver::DeviceContext::create(ordinal);
  if (!context) return std::unexpected(engine::GpuError(context.error()));
  auto name = (*context)->device_name();
  auto memory = (*context)->total_memory();
  auto stream = std::make_shared<driver::DeviceStream>(*context);
  return DeviceRecord{name.value_or(std::format("CUDA Device {}", ordinal)), ordinal,
                      memory.value_or(0), std::move(*context), std::move(stream)};
}

constexpr std::array<std::string_view, 1> kNewParameters = {"ordinal"};
const FunctionDescription kNewDescription{"GpuDevice", "__new__", kNewParameters, 0};

PyObject* device_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    std::array<PyObject*, 1> slots{};
    if (!bind_tuple_dict(kNewDescription, args, kwargs, slots)) return nullptr;
    const auto ordinal = convert_or_default<std::uint64_t>(slots[0], 0, convert_u64, "ordinal");
    if (!ordinal) return nullptr;
    auto record = open_device(*ordinal);
    if (!record) return raise_gpu_error(record.error());
    // Allocated before the object, so that a failure here leaves no half-made
    // object behind, and one of tp_alloc releases the record.
    auto owned = std::make_unique<DeviceRecord>(std::move(*record));
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    reinterpret_cast<GpuDeviceObject*>(self)->record = owned.release();
    return self;
  });
}

void device_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<GpuDeviceObject*>(self)->record;
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* get_name(PyObject* self, void*) {
  return guard([&] {
    const std::string& name = record_of(self).name;
    return created_or_fault(
               PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())))
        .release();
  });
}

PyObject* get_total_memory(PyObject* self, void*) {
  return guard([&] { return int_from_u64(record_of(self).total_memory).release(); });
}

PyGetSetDef device_getset[] = {
    {"name", get_name, nullptr, "Device name.", nullptr},
    {"total_memory", get_total_memory, nullptr, "Total GPU memory in bytes.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The text signature line lets inspect.signature() show "(ordinal=0)".
constexpr const char* kDoc = "GpuDevice(ordinal=0)\n--\n\nA CUDA GPU device.";

PyType_Slot device_slots[] = {
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {Py_tp_new, reinterpret_cast<void*>(device_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(device_dealloc)},
    {Py_tp_getset, device_getset},
    {0, nullptr},
};

// No Py_TPFLAGS_BASETYPE: the class cannot be subclassed.
PyType_Spec device_spec = {
    "builtins.GpuDevice", sizeof(GpuDeviceObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
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

const driver::SharedStream& device_stream(PyObject* device) { return record_of(device).stream; }

}  // namespace vorlan::python
