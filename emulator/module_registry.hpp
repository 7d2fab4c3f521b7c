// The modules loaded into one primary context and the kernel handles looked up
// in them.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "handles.hpp"
#include "ptx/kernel_runner.hpp"

namespace vorlan::emu {

class ModuleRegistry {
 public:
  void add(HandleId module, std::shared_ptr<const Program> program);
  // false when `module` is not loaded here.
  bool remove(HandleId module);
  bool contains(HandleId module) const { return modules_.contains(module); }

  // The function handle of the kernel named `name` in the loaded `module`, or
  // 0 when it has none. A kernel is numbered the first time it is asked for;
  // later lookups give the same handle, as the driver does.
  HandleId function(HandleId module, std::string_view name, HandleSource& handles);
  // The kernel behind a function handle of a module still loaded, or nullptr.
  const Kernel* kernel(HandleId function) const;

  std::size_t size() const { return modules_.size(); }

 private:
  struct LoadedModule {
    std::shared_ptr<const Program> program;
    std::map<std::string, HandleId, std::less<>> functions;
  };
  struct FunctionEntry {
    HandleId module;
    const Kernel* kernel;
  };

  std::map<HandleId, LoadedModule> modules_;
  std::map<HandleId, FunctionEntry> functions_;
};

}  // namespace vorlan::emu
