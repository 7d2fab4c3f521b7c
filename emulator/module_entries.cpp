// Modules: PTX text in, kernel handles out.
//
// Built twice: once complete, and once with VORLAN_EMU_OMIT_MODULE_UNLOAD,
// which leaves cuModuleUnload out so that the loader's handling of a driver
// that lacks an entry point can be tested against a real library.
#include <cstring>
#include <format>
#include <string_view>

#include "entry_guard.hpp"
#include "entry_points.hpp"

using namespace vorlan::emu;

namespace {

// Cubins and fat binaries are compiled code for a real GPU; only PTX text
// can run here.
bool is_binary_image(const char* image) {
  return std::strncmp(image,
                      "\x7f"
                      "ELF",
                      4) == 0 ||
         std::strncmp(image, "\x50\xed\x55\xba", 4) == 0;
}

CUresult load(Driver& driver, LiveContext context, CUmodule* module, const char* image) {
  if (is_binary_image(image)) {
    return driver.refuse(CUDA_ERROR_INVALID_IMAGE,
                         "cuModuleLoadData: only PTX text can be loaded, not a compiled image");
  }
  // The engine itself tells a verbose user where and why it refused the text.
  auto program = compile_ptx(std::string_view{image});
  if (!program) return program.error().code;
  HandleId handle = driver.handles().next(HandleKind::module);
  context.state.modules().add(handle, *std::move(program));
  *module = to_handle<CUmodule>(handle);
  return CUDA_SUCCESS;
}

CUresult unknown_module(Driver& driver, std::string_view entry) {
  return driver.refuse(CUDA_ERROR_INVALID_HANDLE, std::format("{}: not a loaded module", entry));
}

}  // namespace

extern "C" {

CUresult cuModuleLoadData(CUmodule* module, const void* image) {
  return run_in_context(Entry::cuModuleLoadData, [&](Driver& driver, LiveContext context) {
    if (CUresult sticky = context.state.error()) return sticky;
    if (module == nullptr || image == nullptr) return CUDA_ERROR_INVALID_VALUE;
    return load(driver, context, module, static_cast<const char*>(image));
  });
}

CUresult cuModuleGetFunction(CUfunction* hfunc, CUmodule hmod, const char* name) {
  return run_initialized(Entry::cuModuleGetFunction, [&](Driver& driver) {
    HandleId module = from_handle(hmod);
    auto owner = driver.owner_of_module(module);
    if (!owner) return unknown_module(driver, "cuModuleGetFunction");
    if (CUresult sticky = owner->state.error()) return sticky;
    if (hfunc == nullptr || name == nullptr) return CUDA_ERROR_INVALID_VALUE;
    HandleId function = owner->state.modules().function(module, name, driver.handles());
    if (function == 0) {
      return driver.refuse(
          CUDA_ERROR_NOT_FOUND,
          std::format("cuModuleGetFunction: the module has no kernel \"{}\"", name));
    }
    *hfunc = to_handle<CUfunction>(function);
    return CUDA_SUCCESS;
  });
}

#ifndef VORLAN_EMU_OMIT_MODULE_UNLOAD
CUresult cuModuleUnload(CUmodule hmod) {
  return run_initialized(Entry::cuModuleUnload, [&](Driver& driver) {
    HandleId module = from_handle(hmod);
    auto owner = driver.owner_of_module(module);
    if (!owner) return unknown_module(driver, "cuModuleUnload");
    if (CUresult sticky = owner->state.error()) return sticky;
    owner->state.modules().remove(module);
    return CUDA_SUCCESS;
  });
}
#endif

}  // extern "C"
