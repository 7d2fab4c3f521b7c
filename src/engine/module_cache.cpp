#include "engine/module_cache.hpp"

#include <format>

#include "driver/fault.hpp"

namespace vorlan::engine {
namespace {

// A broken context is the caller's driver error; any other refusal is the
// module's, which no later call can mend.
template <class T>
driver::DriverResult<T> or_fault(driver::DriverResult<T> result, const std::string& what) {
  if (!result && !result.error().breaks_context()) {
    throw Fault(what + ": " + driver::to_string(result.error()));
  }
  return result;
}

// Loads the module and looks up every name; failures leave nothing behind.
driver::DriverResult<std::vector<driver::KernelFunction>> load_kernels(
    const driver::SharedContext& context, std::string_view ptx,
    std::span<const std::string_view> names, driver::SharedModule& module) {
  auto loaded = or_fault(driver::load_module(context, ptx), "failed to load PTX module");
  if (!loaded) return std::unexpected(loaded.error());
  module = *loaded;
  std::vector<driver::KernelFunction> functions;
  functions.reserve(names.size());
  for (std::string_view name : names) {
    auto function =
        or_fault(driver::get_function(module, name), std::format("kernel {} not found", name));
    if (!function) return std::unexpected(function.error());
    functions.push_back(std::move(*function));
  }
  return functions;
}

}  // namespace

const ModuleSlot::Entry* ModuleSlot::find(CUcontext context) const {
  for (const Entry* entry = entries_.load(std::memory_order_acquire); entry; entry = entry->next) {
    if (entry->context == context) return entry;
  }
  return nullptr;
}

driver::DriverResult<KernelSet> get_kernels(ModuleSlot& slot, const driver::SharedContext& context,
                                            std::string_view ptx,
                                            std::span<const std::string_view> names) {
  // Modules belong to the driver context they were loaded into; the entry
  // keeps that context retained, so its handle cannot be reused.
  const CUcontext key = context->handle();
  if (const auto* entry = slot.find(key)) return entry->functions;
  std::lock_guard lock(slot.fill_mutex_);
  if (const auto* entry = slot.find(key)) return entry->functions;
  driver::SharedModule module;
  auto functions = load_kernels(context, ptx, names, module);
  if (!functions) return std::unexpected(functions.error());
  // Kept for the life of the process, like the module it holds.
  const auto* entry = new ModuleSlot::Entry{key, std::move(module), std::move(*functions),
                                            slot.entries_.load(std::memory_order_relaxed)};
  slot.entries_.store(entry, std::memory_order_release);
  return entry->functions;
}

}  // namespace vorlan::engine
