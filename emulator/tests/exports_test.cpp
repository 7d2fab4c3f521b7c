// What the two libraries export: the driver entry points and the control
// interface, nothing else; the missing-entry build lacks cuModuleUnload only.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <set>
#include <sstream>
#include <string>

#include "driver/cuda_api.hpp"

namespace {

std::set<std::string> expected_exports() {
  std::set<std::string> names{"vemu_fail_call",      "vemu_call_count", "vemu_live",
                              "vemu_reset_counters", "vemu_reset",      "vemu_last_check",
                              "vemu_kernel_stats",   "vemu_reset_stats"};
#define VORLAN_EMU_TEST_NAME(name, params) names.insert(#name);
  VORLAN_DRIVER_ENTRY_POINTS(VORLAN_EMU_TEST_NAME)
  VORLAN_DRIVER_EXTRA_ENTRY_POINTS(VORLAN_EMU_TEST_NAME)
#undef VORLAN_EMU_TEST_NAME
  return names;
}

// The defined dynamic symbols of `library`, as nm lists them.
std::set<std::string> exported_symbols(const std::string& library) {
  std::string command = std::string{VORLAN_NM} + " -D --defined-only --format=posix " + library;
  std::unique_ptr<FILE, int (*)(FILE*)> pipe{popen(command.c_str(), "r"), pclose};
  std::set<std::string> names;
  if (!pipe) return names;
  char line[512];
  while (std::fgets(line, sizeof line, pipe.get()) != nullptr) {
    std::istringstream fields{line};
    std::string name, type;
    fields >> name >> type;
    // Version nodes of the export map are absolute symbols, not code.
    if (!name.empty() && type != "A") names.insert(name.substr(0, name.find('@')));
  }
  return names;
}

TEST(Exports, LibraryExportsExactlyTheDriverApiAndTheControls) {
  std::set<std::string> expected = expected_exports();
  EXPECT_EQ(expected.size(), 31u + 8u);
  EXPECT_EQ(exported_symbols(VORLAN_EMU_LIBRARY), expected);
}

TEST(Exports, MissingEntryBuildLacksOnlyCuModuleUnload) {
  std::set<std::string> expected = expected_exports();
  expected.erase("cuModuleUnload");
  EXPECT_EQ(exported_symbols(VORLAN_EMU_MISSING_ENTRY_LIBRARY), expected);
}

TEST(Exports, MissingEntryBuildLoadsAndRunsWithoutIt) {
  void* library = dlopen(VORLAN_EMU_MISSING_ENTRY_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  EXPECT_EQ(dlsym(library, "cuModuleUnload"), nullptr);
  auto init = reinterpret_cast<CUresult (*)(unsigned)>(dlsym(library, "cuInit"));
  ASSERT_NE(init, nullptr);
  EXPECT_EQ(init(0), vorlan::cuda::CUDA_SUCCESS);
  EXPECT_NE(dlsym(library, "cuModuleLoadData"), nullptr);
  EXPECT_NE(dlsym(library, "vemu_reset"), nullptr);
}

}  // namespace
