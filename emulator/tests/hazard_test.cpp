// The hazard checks: each hazard fails its launch with
// CUDA_ERROR_LAUNCH_FAILED at the next synchronisation and leaves a report
// naming it, while the same kernel doing the same work cleanly runs; with
// VORLAN_EMU_CHECK=0 nothing is checked. And the cost counters, against
// figures worked out by hand.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "emu_fixture.hpp"
#include "hazard_kernels.hpp"

namespace vorlan::emu::test {
namespace {

struct HazardCase {
  const char* kernel;
  std::uint32_t clean_k;
  std::uint32_t hazard_k;
  const char* report;  // a phrase the report must contain
  RunShape shape{};    // one block of one warp unless it says otherwise
};

const HazardCase kHazards[] = {
    {"nc_after_write", 1, 0,
     "non-coherent load (ld.global.nc) of an address this launch wrote in kernel nc_after_write, "
     "line 22 (pc 9): ld.global.nc.u32"},
    {"shared_race", 1, 0, "shared-memory race"},
    {"read_undefined", 2, 9, "read of global memory never written"},
    {"read_undefined_shared", 0, 1, "read of shared memory not written in this block"},
    {"store_conflict", 0, 1, "plain stores of different values"},
    {"shfl_after_exit", 32, 16, "names lane 16, which has exited"},
    {"vote_split", 0, 1, "waits at another instruction"},
    // Each check in its other direction, or at the edge of what it tracks.
    // The write (thread 32) is what fails: the check saw thread 0's read.
    {"shared_war",
     1,
     0,
     "shared-memory race: another thread accessed this address since the last barrier in kernel "
     "shared_war, line 163 (pc 11): @%p2 st.shared.u32",
     {.block = 64}},
    {"nc_own_write", 1, 0, "non-coherent load (ld.global.nc) of an address this launch wrote"},
    {"read_partial", 1, 0, "read of global memory never written", {.host_bytes = 6}},
    {"shfl_partial_warp",
     0x0000ffffu,
     0xffffffffu,
     "names lane 16, which does not exist",
     {.block = 16}},
};

class HazardTest : public KernelTest {
 protected:
  void load() { load_module(kHazardModule); }
  std::string report() {
    std::string text(1024, '\0');
    const int length = cu.last_check(text.data(), text.size());
    text.resize(static_cast<std::size_t>(std::max(length, 0)));
    return text;
  }
};

class EachHazard : public HazardTest, public ::testing::WithParamInterface<HazardCase> {};

TEST_P(EachHazard, FailsTheLaunchAndNamesIt) {
  const HazardCase& c = GetParam();
  load();
  const CUdeviceptr probe = allocate(4);
  ASSERT_EQ(run(c.kernel, c.hazard_k, c.shape), CUDA_ERROR_LAUNCH_FAILED);
  const std::string text = report();
  EXPECT_NE(text.find(c.report), std::string::npos) << text;
  EXPECT_NE(text.find(std::string("kernel ") + c.kernel), std::string::npos) << text;
  EXPECT_NE(text.find("line "), std::string::npos) << text;
  std::uint32_t word = 0;
  EXPECT_EQ(cu.cuMemcpyDtoHAsync_v2(&word, probe, 4, nullptr), CUDA_ERROR_LAUNCH_FAILED)
      << "sticky";
}

TEST_P(EachHazard, CleanTwinRuns) {
  const HazardCase& c = GetParam();
  load();
  EXPECT_EQ(run(c.kernel, c.clean_k, c.shape), CUDA_SUCCESS) << report();
  EXPECT_EQ(cu.last_check(nullptr, 0), 0);
}

TEST_P(EachHazard, GoesUncheckedWhenTheChecksAreOff) {
  const HazardCase& c = GetParam();
  setenv("VORLAN_EMU_CHECK", "0", 1);
  load();
  EXPECT_EQ(run(c.kernel, c.hazard_k, c.shape), CUDA_SUCCESS);
  unsetenv("VORLAN_EMU_CHECK");
}

INSTANTIATE_TEST_SUITE_P(Checks, EachHazard, ::testing::ValuesIn(kHazards),
                         [](const auto& param_info) {
                           return std::string(param_info.param.kernel);
                         });

// A device fill defines what it sets, as a host copy does: read_undefined
// reads word k, so word 9 is defined exactly when the fill reached it.
TEST_F(HazardTest, FillsDefineWhatTheySet) {
  load();
  CUfunction function = nullptr;
  ASSERT_EQ(cu.cuModuleGetFunction(&function, module, "read_undefined"), CUDA_SUCCESS);
  struct Case {
    bool words;
    std::size_t count;
    CUresult want;
  };
  for (Case c :
       {Case{true, 10, CUDA_SUCCESS}, Case{false, 40, CUDA_SUCCESS},
        Case{true, 9, CUDA_ERROR_LAUNCH_FAILED}, Case{false, 39, CUDA_ERROR_LAUNCH_FAILED}}) {
    cu.reset();
    load();
    ASSERT_EQ(cu.cuModuleGetFunction(&function, module, "read_undefined"), CUDA_SUCCESS);
    CUdeviceptr buf = allocate(128 * 4);
    ASSERT_EQ(c.words ? cu.cuMemsetD32Async(buf, 7, c.count, nullptr)
                      : cu.cuMemsetD8Async(buf, 7, c.count, nullptr),
              CUDA_SUCCESS);
    std::uint32_t k = 9;
    void* params[] = {&buf, &k};
    ASSERT_EQ(cu.cuLaunchKernel(function, 1, 1, 1, 1, 1, 1, 0, nullptr, params, nullptr),
              CUDA_SUCCESS);
    EXPECT_EQ(cu.cuCtxSynchronize(), c.want)
        << (c.words ? "D32 x " : "D8 x ") << c.count << ": " << report();
  }
}

TEST_F(HazardTest, ReportNamesAddressAndBothThreads) {
  setenv("VORLAN_EMU_VERBOSE", "1", 1);
  load();
  testing::internal::CaptureStderr();
  ASSERT_EQ(run("store_conflict", 1), CUDA_ERROR_LAUNCH_FAILED);
  const std::string printed = testing::internal::GetCapturedStderr();
  const std::string text = report();
  EXPECT_NE(printed.find(text), std::string::npos) << printed;
  // Thread 0 stores 0, thread 1 stores 1 over it.
  EXPECT_NE(text.find("st.global.u32"), std::string::npos) << text;
  EXPECT_NE(text.find("4-byte access at 0x"), std::string::npos) << text;
  EXPECT_NE(text.find("thread (1,0,0), conflicting with block (0,0,0) thread (0,0,0)"),
            std::string::npos)
      << text;
  char small[8] = {};
  EXPECT_EQ(cu.last_check(small, sizeof small), static_cast<int>(text.size()));
  EXPECT_EQ(std::string(small), text.substr(0, 7)) << "truncated and terminated";
  unsetenv("VORLAN_EMU_VERBOSE");
}

TEST_F(HazardTest, EqualStoresFromManyBlocksAreClean) {
  load();
  EXPECT_EQ(run("store_conflict", 0, {.grid = 4, .block = 256}), CUDA_SUCCESS) << report();
}

// counted on 2 blocks of 64 threads. Warp 0 (tids 0-31) runs all 13
// instructions, the guarded-off branch included: 13 issues, 32 x 12 active.
// Warp 1: tids 32-39 run 12 active, tids 40-63 run 5 (4 to the branch, ret):
// 13 issues, 8 x 12 + 24 x 5 = 216 active. Sectors: warp 0 stores 128
// contiguous bytes (4) and adds to one word (1); warp 1 stores 32 bytes (1)
// and adds (1): 7 a block. Shared: one warp-level store per warp. Both
// blocks store to words 0-39 (sectors 0-4) and add to word 64 (sector 8):
// 6 distinct sectors in the launch.
constexpr struct vemu_kernel_stats kCounted = {
    .launches = 1,
    .warp_instructions = 2 * 26,
    .thread_instructions = 2 * (384 + 216),
    .global_sectors = 2 * 7,
    .shared_accesses = 2 * 2,
    .atomics = 2 * 40,
    .busiest_warp_instructions = 13,
    .distinct_global_sectors = 6,
    .summed_busiest_warp_instructions = 13,
};

TEST_F(HazardTest, CountersMatchTheHandCountForEverySeed) {
  for (const char* seed : {"0", "1", "2", "3", "3"}) {  // 3 twice: two runs of one program
    setenv("VORLAN_EMU_SEED", seed, 1);
    cu.reset();
    load();
    CUfunction function = nullptr;
    ASSERT_EQ(cu.cuModuleGetFunction(&function, module, "counted"), CUDA_SUCCESS);
    CUdeviceptr buf = written(128 * 4, 65 * 4);
    void* params[] = {&buf};
    ASSERT_EQ(cu.cuLaunchKernel(function, 2, 1, 1, 64, 1, 1, 0, nullptr, params, nullptr),
              CUDA_SUCCESS);
    ASSERT_EQ(cu.cuCtxSynchronize(), CUDA_SUCCESS) << report();
    const struct vemu_kernel_stats stats = this->stats("counted");
    EXPECT_EQ(stats.launches, kCounted.launches) << "seed " << seed;
    EXPECT_EQ(stats.warp_instructions, kCounted.warp_instructions) << "seed " << seed;
    EXPECT_EQ(stats.thread_instructions, kCounted.thread_instructions) << "seed " << seed;
    EXPECT_EQ(stats.global_sectors, kCounted.global_sectors) << "seed " << seed;
    EXPECT_EQ(stats.shared_accesses, kCounted.shared_accesses) << "seed " << seed;
    EXPECT_EQ(stats.atomics, kCounted.atomics) << "seed " << seed;
    EXPECT_EQ(stats.busiest_warp_instructions, kCounted.busiest_warp_instructions)
        << "seed " << seed;
    EXPECT_EQ(stats.distinct_global_sectors, kCounted.distinct_global_sectors) << "seed " << seed;
    EXPECT_EQ(stats.summed_busiest_warp_instructions, kCounted.summed_busiest_warp_instructions)
        << "seed " << seed;
  }
  unsetenv("VORLAN_EMU_SEED");
}

TEST_F(HazardTest, CountersAddUpOverLaunchesAndReset) {
  load();
  ASSERT_EQ(run("store_conflict", 0), CUDA_SUCCESS);
  ASSERT_EQ(run("store_conflict", 0), CUDA_SUCCESS);
  struct vemu_kernel_stats stats = this->stats("store_conflict");
  EXPECT_EQ(stats.launches, 2u);
  EXPECT_EQ(stats.warp_instructions, 2u * 6);  // 6 instructions, one warp
  EXPECT_EQ(stats.thread_instructions, 2u * 6 * 32);
  EXPECT_EQ(stats.global_sectors, 2u);  // 32 lanes, one word
  EXPECT_EQ(cu.kernel_stats("shared_race", &stats, sizeof stats), -1) << "never launched";
  cu.reset_stats();
  EXPECT_EQ(cu.kernel_stats("store_conflict", &stats, sizeof stats), -1);
}

TEST_F(HazardTest, ProfilePrintsEachKernelsCountersAtExit) {
  setenv("VORLAN_EMU_PROFILE", "1", 1);
  cu.reset();
  // Columns: launches, warp and thread instructions, sectors; see
  // CountersAddUpOverLaunchesAndReset.
  EXPECT_EXIT(
      {
        load();
        if (run("store_conflict", 0) == CUDA_SUCCESS) std::exit(0);
        std::exit(1);
      },
      ::testing::ExitedWithCode(0), "vorlan emu profile: store_conflict +1 +6 +192 +1 ");
  unsetenv("VORLAN_EMU_PROFILE");
}

}  // namespace
}  // namespace vorlan::emu::test
