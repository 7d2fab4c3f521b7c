#include "driver/context.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <new>
#include <utility>

#include "driver/fault.hpp"
#include "driver/loader.hpp"
#include "driver/utf8.hpp"

namespace vorlan::driver {
namespace {

constexpr int kNameBufferBytes = 128;

}  // namespace

DeviceContext::DeviceContext(CUcontext handle, std::uint64_t ordinal, CUdevice device,
                             bool pooled_alloc)
    : handle_(handle), ordinal_(ordinal), device_(device), pooled_alloc_(pooled_alloc) {}

DriverResult<std::shared_ptr<DeviceContext>> DeviceContext::create(std::uint64_t ordinal) {
  const DriverApi& api = driver_api();
  if (auto r = check(api.cuInit(0)); !r) return std::unexpected(r.error());
  // The driver numbers devices with an int. An ordinal beyond it names no
  // device, and is refused as the driver refuses one; truncating it would
  // open whichever device its low bits happen to name.
  if (ordinal > static_cast<std::uint64_t>(std::numeric_limits<int>::max())) {
    return std::unexpected(DriverError(cuda::CUDA_ERROR_INVALID_DEVICE));
  }
  CUdevice device = 0;
  if (auto r = check(api.cuDeviceGet(&device, static_cast<int>(ordinal))); !r) {
    return std::unexpected(r.error());
  }
  CUcontext handle = nullptr;
  if (auto r = check(api.cuDevicePrimaryCtxRetain(&handle, device)); !r) {
    return std::unexpected(r.error());
  }
  int pools = 0;
  if (auto r = check(api.cuDeviceGetAttribute(
          &pools, cuda::CU_DEVICE_ATTRIBUTE_MEMORY_POOLS_SUPPORTED, device));
      !r) {
    // No record holds the retain yet, so give it back here or it is never
    // given back; the query's failure is what the caller needs to see.
    api.cuDevicePrimaryCtxRelease_v2(device);
    return std::unexpected(r.error());
  }
  // Out of host memory the retain would have no owner either. Once the record
  // exists it owns the retain, even if its shared count cannot be made.
  auto* record = new (std::nothrow) DeviceContext(handle, ordinal, device, pools > 0);
  if (record == nullptr) {
    api.cuDevicePrimaryCtxRelease_v2(device);
    throw std::bad_alloc();
  }
  std::shared_ptr<DeviceContext> context(record);
  if (auto r = context->bind_current(); !r) return std::unexpected(r.error());
  return context;
}

DeviceContext::~DeviceContext() {
  bind_for_teardown();
  if (std::exchange(handle_, nullptr) != nullptr) {
    defer(driver_api().cuDevicePrimaryCtxRelease_v2(device_));
  }
}

CUresult DeviceContext::take_deferred() noexcept { return deferred_error_.exchange(0); }

void DeviceContext::defer(CUresult result) noexcept {
  if (result != cuda::CUDA_SUCCESS) deferred_error_.store(result, std::memory_order_release);
}

DriverResult<> DeviceContext::make_current() const {
  const DriverApi& api = driver_api();
  CUcontext current = nullptr;
  if (auto r = check(api.cuCtxGetCurrent(&current)); !r) return r;
  if (current != nullptr && current == handle_) return {};
  return check(api.cuCtxSetCurrent(handle_));
}

DriverResult<> DeviceContext::bind_current() {
  if (CUresult pending = take_deferred()) return std::unexpected(DriverError(pending));
  return make_current();
}

void DeviceContext::bind_for_teardown() noexcept {
  if (CUresult pending = take_deferred()) {
    defer(pending);
    return;
  }
  if (auto r = make_current(); !r) defer(r.error().code());
}

DriverResult<std::string> DeviceContext::device_name() const {
  std::array<char, kNameBufferBytes> buffer{};
  if (auto r = check(driver_api().cuDeviceGetName(buffer.data(), kNameBufferBytes, device_)); !r) {
    return std::unexpected(r.error());
  }
  const auto end = std::ranges::find(buffer, '\0');
  if (end == buffer.end()) throw Fault("No null byte was present in the device name buffer");
  return decode_lossy(std::string_view(buffer.data(), end));
}

DriverResult<std::uint64_t> DeviceContext::total_memory() {
  if (CUresult pending = take_deferred()) return std::unexpected(DriverError(pending));
  std::size_t bytes = 0;
  if (auto r = check(driver_api().cuDeviceTotalMem_v2(&bytes, device_)); !r) {
    return std::unexpected(r.error());
  }
  return static_cast<std::uint64_t>(bytes);
}

}  // namespace vorlan::driver
