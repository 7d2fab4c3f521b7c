#include "module_registry.hpp"

#include <utility>

namespace vorlan::emu {

void ModuleRegistry::add(HandleId module, std::shared_ptr<const Program> program) {
  modules_.emplace(module, LoadedModule{std::move(program), {}});
}

bool ModuleRegistry::remove(HandleId module) {
  auto found = modules_.find(module);
  if (found == modules_.end()) return false;
  for (const auto& [name, function] : found->second.functions) functions_.erase(function);
  modules_.erase(found);
  return true;
}

HandleId ModuleRegistry::function(HandleId module, std::string_view name, HandleSource& handles) {
  LoadedModule& loaded = modules_.at(module);
  auto known = loaded.functions.find(name);
  if (known != loaded.functions.end()) return known->second;
  const Kernel* kernel = loaded.program->find_kernel(name);
  if (kernel == nullptr) return 0;
  HandleId handle = handles.next(HandleKind::function);
  loaded.functions.emplace(std::string{name}, handle);
  functions_.emplace(handle, FunctionEntry{module, kernel});
  return handle;
}

const Kernel* ModuleRegistry::kernel(HandleId function) const {
  auto found = functions_.find(function);
  return found == functions_.end() ? nullptr : found->second.kernel;
}

}  // namespace vorlan::emu
