#include "engine/module_cache.hpp"

#include <format>

#include "driver/fault.hpp"

namespace vorlan::engine {
namespace {

// Loads the module and looks up every name; faults leave nothing behind.
std::vector<driver::KernelFunction> load_kernels(const driver::SharedContext& context,
                                                 std::string_view ptx,
                                                 std::span<const std::string_view> names,
                                                 driver::SharedModule& module) {
  auto loaded = driver::load_module(context, ptx);
  if (!loaded) {
    throw Fault("failed to load PTX module: " + driver::to_string(loaded.error()));
  }
  module = *loaded;
  std::vector<driver::KernelFunction> functions;
  functions.reserve(names.size());
  for (std::string_view name : names) {
    auto function = driver::get_function(module, name);
    if (!function) {
      throw Fault(std::format("kernel {} not found: {}", name, driver::to_string(function.error())));
    }
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

std::vector<driver::KernelFunction> get_kernels(ModuleSlot& slot,
                                                const driver::SharedContext& context,
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
  // Kept for the life of the process, like the module it holds.
  const auto* entry = new ModuleSlot::Entry{key, std::move(module), functions,
                                            slot.entries_.load(std::memory_order_relaxed)};
  slot.entries_.store(entry, std::memory_order_release);
  return functions;
}

}  // namespace vorlan::engine
