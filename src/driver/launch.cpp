#include "driver/launch.hpp"

#include <string>

#include "driver/fault.hpp"
#include "driver/loader.hpp"

namespace vorlan::driver {
namespace {

// The driver takes NUL-terminated text; an embedded NUL would silently cut it.
std::string terminated_copy(std::string_view text, const char* what) {
  fault_unless(text.find('\0') == std::string_view::npos, what);
  return std::string(text);
}

}  // namespace

KernelModule::~KernelModule() {
  context_->bind_for_teardown();
  context_->defer(driver_api().cuModuleUnload(handle_));
}

DriverResult<SharedModule> load_module(const SharedContext& context, std::string_view ptx) {
  if (auto r = context->bind_current(); !r) return std::unexpected(r.error());
  const std::string text = terminated_copy(ptx, "PTX text contains a NUL byte");
  CUmodule handle = nullptr;
  if (auto r = check(driver_api().cuModuleLoadData(&handle, text.c_str())); !r) {
    return std::unexpected(r.error());
  }
  return std::make_shared<const KernelModule>(context, handle);
}

DriverResult<KernelFunction> get_function(const SharedModule& module, std::string_view name) {
  const std::string terminated = terminated_copy(name, "kernel name contains a NUL byte");
  CUfunction handle = nullptr;
  if (auto r =
          check(driver_api().cuModuleGetFunction(&handle, module->handle(), terminated.c_str()));
      !r) {
    return std::unexpected(r.error());
  }
  return KernelFunction{module, handle};
}

DriverResult<> KernelLaunch::launch(const LaunchDims& dims) {
  if (auto r = stream_.context().bind_current(); !r) return r;
  const auto& [grid, block, shared_bytes] = dims;
  return check(driver_api().cuLaunchKernel(function_.handle, grid.x, grid.y, grid.z, block.x,
                                           block.y, block.z, shared_bytes, stream_.handle(),
                                           parameters_.data(), nullptr));
}

}  // namespace vorlan::driver
