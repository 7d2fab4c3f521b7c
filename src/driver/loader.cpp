#include "driver/loader.hpp"

#include <dlfcn.h>

#include <atomic>
#include <format>
#include <memory>
#include <mutex>
#include <optional>

#include "driver/fault.hpp"

namespace vorlan::driver {
namespace {

// The driver API version the entry-point table was written for; it shapes the
// versioned file names below.
constexpr std::string_view kMajor = "12";
constexpr std::string_view kMinor = "6";
constexpr std::string_view kPointerWidth = "64";
constexpr std::string_view kPrefix = "lib";
constexpr std::string_view kSuffix = ".so";

void append_names_for(std::string_view base, std::vector<std::string>& names) {
  const std::string p = std::string(kPrefix) + std::string(base);
  const std::string pw = p + std::string(kPointerWidth);
  const std::string mm = std::string(kMajor) + std::string(kMinor);
  const std::string s(kSuffix);
  for (std::string name : {
           p + s,
           pw + s,
           pw + "_" + std::string(kMajor) + s,
           pw + "_" + mm + s,
           pw + "_" + mm + "_0" + s,
           pw + "_" + std::string(kMajor) + "0_" + std::string(kMinor) + s,
           pw + "_10" + s,
           pw + "_11" + s,
           pw + "_12" + s,
           pw + "_" + std::string(kMajor) + "0_0" + s,
           pw + "_9" + s,
           p + s + "." + std::string(kMajor),
           p + s + ".12",
           p + s + ".11",
           p + s + ".10",
           p + s + ".9",
           p + s + ".1",
       }) {
    names.push_back(std::move(name));
  }
}

[[noreturn]] void fail_no_library(const std::vector<std::string>& names) {
  std::string list;
  for (const auto& name : names) {
    list += list.empty() ? "[" : ", ";
    list += '"' + name + '"';
  }
  list += ']';
  throw Fault(std::format(
      "Unable to dynamically load the \"cuda\" shared library - searched for library names: {}. "
      "Ensure that `LD_LIBRARY_PATH` has the correct path to the installed library. If the shared "
      "library is present on the system under a different name than one of those listed above, "
      "please open a GitHub issue.",
      list));
}

// Resolves every entry point from `library`. On a missing one the library is
// released and the fault names the lookup that failed.
std::unique_ptr<DriverApi> resolve_entry_points(void* library) {
  auto api = std::make_unique<DriverApi>();
  api->library = library;
  auto resolve = [library](const char* name, auto& field) {
    dlerror();
    void* address = dlsym(library, name);
    if (address == nullptr) {
      const char* reason = dlerror();
      std::string description =
          std::format("dlsym({}) failed: {}", name, reason ? reason : "symbol resolved to null");
      dlclose(library);
      throw Fault("Expected symbol in library: " + description);
    }
    field = reinterpret_cast<std::remove_reference_t<decltype(field)>>(address);
  };
#define VORLAN_RESOLVE_ENTRY_POINT(name, params) resolve(#name, api->name);
  VORLAN_DRIVER_ENTRY_POINTS(VORLAN_RESOLVE_ENTRY_POINT)
#undef VORLAN_RESOLVE_ENTRY_POINT
  return api;
}

std::unique_ptr<DriverApi> load_driver() {
  const auto names = candidate_library_names();
  for (const auto& name : names) {
    if (void* library = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL)) {
      return resolve_entry_points(library);
    }
  }
  fail_no_library(names);
}

// Published once, never freed: the table and the library live until exit.
std::atomic<const DriverApi*> loaded_api{nullptr};
std::mutex load_mutex;

}  // namespace

std::vector<std::string> candidate_library_names() {
  std::vector<std::string> names;
  names.reserve(34);
  append_names_for("cuda", names);
  append_names_for("nvcuda", names);
  return names;
}

const DriverApi& driver_api() {
  if (const DriverApi* api = loaded_api.load(std::memory_order_acquire)) return *api;
  // Waiters block here while the first caller searches; if its search throws,
  // the lock is released with nothing stored and the next waiter searches anew.
  std::lock_guard lock(load_mutex);
  if (const DriverApi* api = loaded_api.load(std::memory_order_relaxed)) return *api;
  const DriverApi* api = load_driver().release();
  loaded_api.store(api, std::memory_order_release);
  return *api;
}

}  // namespace vorlan::driver
