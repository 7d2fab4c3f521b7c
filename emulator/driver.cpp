#include "driver.hpp"

#include <cstdio>
#include <format>

#include "result_codes.hpp"

namespace vorlan::emu {
namespace {

struct CurrentContext {
  std::uint64_t epoch = 0;
  HandleId context = 0;
};

thread_local CurrentContext t_current;

}  // namespace

Driver& Driver::instance() {
  // Never destroyed: threads may still call in while the process exits.
  static Driver* const driver = new Driver;
  return *driver;
}

CUresult Driver::initialize() {
  if (initialized_) return CUDA_SUCCESS;
  auto config = read_config();
  if (!config) {
    std::fputs(std::format("vorlan emu: cuInit refused: {}\n", config.error()).c_str(), stderr);
    return CUDA_ERROR_INVALID_VALUE;
  }
  if (config->devices == 0) return CUDA_ERROR_NO_DEVICE;
  config_ = *config;
  for (int ordinal = 0; ordinal < config_.devices; ++ordinal) {
    devices_.push_back(
        std::make_unique<Device>(ordinal, config_.memory_bytes, config_.memory_pools));
  }
  initialized_ = true;
  return CUDA_SUCCESS;
}

Device* Driver::device(int ordinal) {
  if (ordinal < 0 || ordinal >= device_count()) return nullptr;
  return devices_[static_cast<std::size_t>(ordinal)].get();
}

Device* Driver::device_of(HandleId context) {
  for (auto& device : devices_) {
    if (device->context_handle() == context) return device.get();
  }
  return nullptr;
}

HandleId Driver::current() const { return t_current.epoch == epoch_ ? t_current.context : 0; }

void Driver::make_current(HandleId context) { t_current = {epoch_, context}; }

std::optional<LiveContext> Driver::current_context() {
  Device* device = device_of(current());
  if (device == nullptr || device->context() == nullptr) return std::nullopt;
  return LiveContext{*device, *device->context()};
}

template <class Owns>
std::optional<LiveContext> Driver::find_owner(Owns owns) {
  for (auto& device : devices_) {
    ContextState* state = device->context();
    if (state != nullptr && owns(*state)) return LiveContext{*device, *state};
  }
  return std::nullopt;
}

std::optional<LiveContext> Driver::owner_of_module(HandleId module) {
  return find_owner([&](const ContextState& state) { return state.modules().contains(module); });
}

std::optional<LiveContext> Driver::owner_of_function(HandleId function) {
  return find_owner(
      [&](const ContextState& state) { return state.modules().kernel(function) != nullptr; });
}

std::optional<LiveContext> Driver::owner_of_event(HandleId event) {
  return find_owner([&](const ContextState& state) { return state.events().contains(event); });
}

std::optional<LiveContext> Driver::owner_of_address(std::uint64_t address) {
  return find_owner([&](const ContextState& state) { return state.memory().owns(address); });
}

CUresult Driver::refuse(CUresult code, std::string_view why) const {
  if (config_.verbose) std::fputs(std::format("vorlan emu: {}\n", why).c_str(), stderr);
  return code;
}

void Driver::reset() {
  control_.reset();
  devices_.clear();
  config_ = {};
  initialized_ = false;
  ++epoch_;
}

}  // namespace vorlan::emu
