// The cost counters over several launches of one kernel, against hand
// counts: the busiest warp is the largest of the launches while its summed
// twin adds them up, and a sector many warps reread is one distinct sector
// per launch however often it is requested.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "emu_fixture.hpp"

namespace vorlan::emu::test {
namespace {

constexpr const char* kCostModule = R"(
.version 8.5
.target sm_70
.address_size 64

// Every thread reads word tid % 16 of buf (two sectors) `rounds` times.
// 10 + 5 x rounds instructions per thread, all lanes on one path.
.visible .entry reread(.param .u64 buf, .param .u32 rounds)
{
  .reg .pred %p1;
  .reg .b32 %r<6>;
  .reg .b64 %rd<4>;
  ld.param.u64 %rd1, [buf];
  ld.param.u32 %r1, [rounds];
  mov.u32 %r2, %tid.x;
  and.b32 %r3, %r2, 15;
  mul.wide.u32 %rd2, %r3, 4;
  add.u64 %rd3, %rd1, %rd2;
  mov.u32 %r4, 0;
LOOP:
  setp.ge.u32 %p1, %r4, %r1;
  @%p1 bra DONE;
  ld.global.u32 %r5, [%rd3];
  add.u32 %r4, %r4, 1;
  bra LOOP;
DONE:
  ret;
}

// Thread t reads word t x stride of buf, then word 0.
.visible .entry strided(.param .u64 buf, .param .u32 stride)
{
  .reg .b32 %r<5>;
  .reg .b64 %rd<4>;
  ld.param.u64 %rd1, [buf];
  ld.param.u32 %r1, [stride];
  mov.u32 %r2, %tid.x;
  mul.lo.u32 %r3, %r2, %r1;
  mul.wide.u32 %rd2, %r3, 4;
  add.u64 %rd3, %rd1, %rd2;
  ld.global.u32 %r4, [%rd3];
  ld.global.u32 %r4, [%rd1];
  ret;
}
)";

class CostCounters : public KernelTest {
 protected:
  void load() { load_module(kCostModule); }
};

// Launches of 2 blocks of 64 threads (4 warps): 1 round, then 3, then none.
// Warp instructions per launch 4 x (10 + 5 R); the busiest warp 15, 25, 10.
// Each round a warp requests the 2 sectors of words 0-15: 8 R a launch,
// and 2 distinct sectors in every launch that reads at all.
TEST_F(CostCounters, BusiestWarpIsTheLargestAndItsSumAddsLaunches) {
  for (const char* seed : {"0", "1", "2"}) {
    setenv("VORLAN_EMU_SEED", seed, 1);
    cu.reset();
    load();
    const CUdeviceptr buf = written(64, 64);
    for (const std::uint32_t rounds : {1u, 3u, 0u}) {
      ASSERT_EQ(launch("reread", buf, rounds, 2, 64), CUDA_SUCCESS);
    }
    const struct vemu_kernel_stats s = stats("reread");
    EXPECT_EQ(s.launches, 3u) << "seed " << seed;
    EXPECT_EQ(s.warp_instructions, 4u * (15 + 25 + 10)) << "seed " << seed;
    EXPECT_EQ(s.busiest_warp_instructions, 25u) << "seed " << seed;
    EXPECT_EQ(s.summed_busiest_warp_instructions, 15u + 25 + 10) << "seed " << seed;
    EXPECT_EQ(s.global_sectors, 8u * (1 + 3)) << "seed " << seed;
    EXPECT_EQ(s.distinct_global_sectors, 2u + 2) << "seed " << seed;
  }
  unsetenv("VORLAN_EMU_SEED");
}

// 256 threads, one word each 16 KiB apart across 4 MiB (32 pages of the
// sector set, more than it keeps at hand), then all of them word 0: 8 warps
// request 32 + 1 sectors each; 256 are distinct, word 0's being thread 0's.
// The same launch on a second buffer counts the same: nothing carries over.
TEST_F(CostCounters, DistinctSectorsSpanManyPagesAndStartAfreshEachLaunch) {
  load();
  constexpr std::uint32_t kStride = 4096;
  for (int buffer = 0; buffer < 2; ++buffer) {
    const std::size_t bytes = 256 * kStride * 4;
    ASSERT_EQ(launch("strided", written(bytes, bytes), kStride, 1, 256), CUDA_SUCCESS);
  }
  const struct vemu_kernel_stats s = stats("strided");
  EXPECT_EQ(s.global_sectors, 2u * 8 * 33);
  EXPECT_EQ(s.distinct_global_sectors, 2u * 256);
}

}  // namespace
}  // namespace vorlan::emu::test
