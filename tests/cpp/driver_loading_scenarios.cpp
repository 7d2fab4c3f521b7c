// Finding and binding the driver library, one scenario per process: CTest
// starts this program once per scenario with the library path that the
// scenario needs, and the scenario lays out that folder itself.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>

#include "driver/fault.hpp"
#include "driver/loader.hpp"
#include "driver/result.hpp"
#include "engine/error.hpp"
#include "fault_of.hpp"

namespace fs = std::filesystem;
using vorlan::Fault;
using vorlan::driver::driver_api;

namespace {

const fs::path kFakes = VORLAN_FAKES_DIR;
const fs::path kScenarios = VORLAN_SCENARIO_DIR;

// Empties `folder` and links each (file name, fake build) pair into it.
void lay_out(const fs::path& folder,
             std::initializer_list<std::pair<const char*, const char*>> files) {
  fs::remove_all(folder);
  fs::create_directories(folder);
  for (const auto& [name, fake] : files) {
    fs::create_symlink(kFakes / fake / "libcuda.so", folder / name);
  }
}

using vorlan::test::fault_of;
using vorlan::test::kNoFault;

// Which fake build the loaded table points into.
std::string loaded_fake() {
  auto name =
      reinterpret_cast<const char* (*)()>(dlsym(driver_api().library, "vorlan_fake_driver_name"));
  return name ? name() : "(not a fake)";
}

const char* const kNoLibraryMessage =
    "Unable to dynamically load the \"cuda\" shared library - searched for library names: "
    "[\"libcuda.so\", \"libcuda64.so\", \"libcuda64_12.so\", \"libcuda64_126.so\", "
    "\"libcuda64_126_0.so\", \"libcuda64_120_6.so\", \"libcuda64_10.so\", \"libcuda64_11.so\", "
    "\"libcuda64_12.so\", \"libcuda64_120_0.so\", \"libcuda64_9.so\", \"libcuda.so.12\", "
    "\"libcuda.so.12\", \"libcuda.so.11\", \"libcuda.so.10\", \"libcuda.so.9\", \"libcuda.so.1\", "
    "\"libnvcuda.so\", \"libnvcuda64.so\", \"libnvcuda64_12.so\", \"libnvcuda64_126.so\", "
    "\"libnvcuda64_126_0.so\", \"libnvcuda64_120_6.so\", \"libnvcuda64_10.so\", "
    "\"libnvcuda64_11.so\", \"libnvcuda64_12.so\", \"libnvcuda64_120_0.so\", \"libnvcuda64_9.so\", "
    "\"libnvcuda.so.12\", \"libnvcuda.so.12\", \"libnvcuda.so.11\", \"libnvcuda.so.10\", "
    "\"libnvcuda.so.9\", \"libnvcuda.so.1\"]. Ensure that `LD_LIBRARY_PATH` has the correct path "
    "to the installed library. If the shared library is present on the system under a different "
    "name than one of those listed above, please open a GitHub issue.";

}  // namespace

TEST(NoLibrary, FaultListsAllThirtyFourCandidatesAndRepeats) {
  EXPECT_EQ(vorlan::driver::candidate_library_names().size(), 34u);
  EXPECT_EQ(fault_of([] { driver_api(); }), kNoLibraryMessage);
  // Nothing was cached: the second attempt searches and fails the same way.
  EXPECT_EQ(fault_of([] { driver_api(); }), kNoLibraryMessage);
}

TEST(RetryAfterFailure, LibraryInstalledAfterAFailedSearchIsFound) {
  const fs::path folder = kScenarios / "retry";
  lay_out(folder, {});
  EXPECT_EQ(fault_of([] { driver_api(); }), kNoLibraryMessage);
  lay_out(folder, {{"libcuda.so.1", "complete"}});
  EXPECT_EQ(fault_of([] { driver_api(); }), kNoFault);
  EXPECT_EQ(loaded_fake(), "complete");
}

TEST(LastCandidate, SearchReachesTheLastNameAndLoadsOnce) {
  lay_out(kScenarios / "last_candidate", {{"libnvcuda.so.1", "complete"}});
  const vorlan::driver::DriverApi* seen[2] = {};
  std::thread first([&] { seen[0] = &driver_api(); });
  std::thread second([&] { seen[1] = &driver_api(); });
  first.join();
  second.join();
  ASSERT_NE(seen[0], nullptr);
  EXPECT_EQ(seen[0], seen[1]);
  EXPECT_EQ(seen[0], &driver_api());
  EXPECT_EQ(loaded_fake(), "complete");
  EXPECT_EQ(driver_api().cuInit(0), 0u);
}

TEST(MissingEntry, LibraryLackingAnEntryPointEndsTheSearchAndIsReleased) {
  const fs::path folder = kScenarios / "missing_first";
  lay_out(folder, {{"libcuda.so", "no_launch"}, {"libcuda.so.1", "complete"}});
  const std::string message = fault_of([] { driver_api(); });
  EXPECT_TRUE(message.starts_with("Expected symbol in library: ")) << message;
  EXPECT_NE(message.find("dlsym"), std::string::npos) << message;
  EXPECT_NE(message.find("cuLaunchKernel"), std::string::npos) << message;
  // The later, complete candidate was not tried, and the incomplete one is unloaded.
  EXPECT_EQ(dlopen((folder / "libcuda.so.1").c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr);
  EXPECT_EQ(dlopen((folder / "libcuda.so").c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr);
  EXPECT_EQ(fault_of([] { driver_api(); }), message);
}

using vorlan::driver::DriverError;
using vorlan::driver::result_name;
using vorlan::driver::to_string;
using vorlan::engine::GpuError;

TEST(ErrorText, CodesAreNamedFromTheTableWithoutTheDriver) {
  EXPECT_EQ(result_name(0), "CUDA_SUCCESS");
  EXPECT_EQ(result_name(1), "CUDA_ERROR_INVALID_VALUE");
  EXPECT_EQ(result_name(34), "CUDA_ERROR_STUB_LIBRARY");
  EXPECT_EQ(result_name(46), "CUDA_ERROR_DEVICE_UNAVAILABLE");
  EXPECT_EQ(result_name(218), "CUDA_ERROR_INVALID_PTX");
  EXPECT_EQ(result_name(700), "CUDA_ERROR_ILLEGAL_ADDRESS");
  EXPECT_EQ(result_name(915), "CUDA_ERROR_INVALID_RESOURCE_CONFIGURATION");
  for (CUresult absent :
       {9u, 10u, 33u, 35u, 36u, 203u, 226u, 706u, 721u, 813u, 916u, 998u, 1000u}) {
    EXPECT_EQ(result_name(absent), "CUDA_ERROR_UNKNOWN") << absent;
  }
  EXPECT_EQ(result_name(999), "CUDA_ERROR_UNKNOWN");
}

TEST(ErrorText, WrittenFormCarriesNameAndDriverText) {
  EXPECT_EQ(to_string(DriverError(2)), "DriverError(CUDA_ERROR_OUT_OF_MEMORY, \"out of memory\")");
  EXPECT_EQ(to_string(DriverError(10)), "DriverError(CUDA_ERROR_UNKNOWN, \"an unlisted code\")");
  EXPECT_EQ(to_string(DriverError(999)), "DriverError(CUDA_ERROR_UNKNOWN, \"unknown error\")");
  EXPECT_EQ(std::format("{}", DriverError(2)), to_string(DriverError(2)));
}

TEST(ErrorText, RefusedTextFallsBackToTheFixedLiteral) {
  EXPECT_EQ(to_string(DriverError(1)),
            "DriverError(CUDA_ERROR_INVALID_VALUE, \"<Failure when calling cuGetErrorString()>\")");
}

TEST(ErrorText, DriverTextIsEscapedInsideTheQuotes) {
  EXPECT_EQ(to_string(DriverError(5)),
            "DriverError(CUDA_ERROR_PROFILER_DISABLED, "
            "\"say \\\"hi\\\" \\\\ then\\nstop\\u{1} \\xff end\")");
  EXPECT_EQ(vorlan::driver::quoted("caf\xc3\xa9"), "\"caf\xc3\xa9\"");
}

TEST(ErrorText, EngineErrorsDisplayTheirFixedTexts) {
  EXPECT_EQ(GpuError(GpuError::NoDevice{}).display(), "no CUDA device found");
  EXPECT_EQ(GpuError(DriverError(2)).display(),
            "CUDA driver error: DriverError(CUDA_ERROR_OUT_OF_MEMORY, \"out of memory\")");
  EXPECT_EQ(GpuError(GpuError::OutOfMemory{1000, 10}).display(),
            "graph too large for GPU memory: 1000 bytes required, 10 bytes available");
  EXPECT_EQ(GpuError::kernel("k must be >= 3 for k-truss decomposition").display(),
            "kernel error: k must be >= 3 for k-truss decomposition");
  EXPECT_EQ(GpuError::kernel("").display(), "kernel error: ");
  EXPECT_EQ(GpuError(GpuError::CsrExport{""}).display(), "CSR export failed: ");
  EXPECT_EQ(GpuError(GpuError::CsrExport{"x"}).display(), "CSR export failed: x");
}

TEST(ErrorText, DriverFailuresLiftIntoTheDriverVariantUnchanged) {
  vorlan::driver::DriverResult<int> failed = std::unexpected(DriverError(701));
  auto lifted = vorlan::engine::lift(std::move(failed));
  ASSERT_FALSE(lifted);
  const auto* driver = std::get_if<GpuError::Driver>(&lifted.error().variant());
  ASSERT_NE(driver, nullptr);
  EXPECT_EQ(driver->error.code(), 701u);
}
