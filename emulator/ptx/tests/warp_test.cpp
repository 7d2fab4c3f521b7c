// Warp shuffles and votes at the edges of a warp and of its segments, block
// barriers, and the reductions built from them, under several schedules.
#include <cstdint>
#include <numeric>

#include "ptx_harness.hpp"

namespace vorlan::emu::testing {
namespace {

using u32 = std::uint32_t;
using u64 = std::uint64_t;

constexpr u64 kSeeds[] = {0, 1, 2, 3, 99, 0xC0FFEE};

// Each lane offers 100 + lane and shuffles with (mode, b, c) from the
// parameters; it stores the value it got and the in-range predicate.
constexpr const char* kShuffle = R"(
.visible .entry shuffle(.param .u32 mode, .param .u32 b, .param .u32 c, .param .u32 mask, .param .u64 out)
{
  .reg .pred %p, %in;
  .reg .b32 %t, %m, %b, %c, %mask, %v, %r, %row;
  .reg .b64 %rd<3>;
  ld.param.u32 %m, [mode];
  ld.param.u32 %b, [b];
  ld.param.u32 %c, [c];
  ld.param.u32 %mask, [mask];
  ld.param.u64 %rd1, [out];
  mov.u32 %t, %laneid;
  add.u32 %v, %t, 100;
  setp.eq.u32 %p, %m, 0;
  @%p shfl.sync.up.b32 %r|%in, %v, %b, %c, %mask;
  setp.eq.u32 %p, %m, 1;
  @%p shfl.sync.down.b32 %r|%in, %v, %b, %c, %mask;
  setp.eq.u32 %p, %m, 2;
  @%p shfl.sync.bfly.b32 %r|%in, %v, %b, %c, %mask;
  setp.eq.u32 %p, %m, 3;
  @%p shfl.sync.idx.b32 %r|%in, %v, %b, %c, %mask;
  selp.u32 %v, 1, 0, %in;
  mov.u32 %row, %tid.x;
  mul.wide.u32 %rd2, %row, 8;
  add.u64 %rd2, %rd1, %rd2;
  st.global.v2.u32 [%rd2], {%r, %v};
  ret;
}
)";

enum Mode : u32 { Up, Down, Bfly, Idx };

// CUDA's description of the shuffles, over segments of `width` lanes.
struct Expected {
  u32 source;
  bool in_range;
};
Expected reference(Mode mode, u32 lane, u32 b, u32 width) {
  const u32 base = lane / width * width;
  const u32 offset = lane % width;
  switch (mode) {
    case Up:
      return offset >= b ? Expected{lane - b, true} : Expected{lane, false};
    case Down:
      return offset + b < width ? Expected{lane + b, true} : Expected{lane, false};
    // A butterfly may reach into earlier segments, never into later ones.
    case Bfly:
      return (lane ^ b) < base + width ? Expected{lane ^ b, true} : Expected{lane, false};
    case Idx:
      return Expected{base + b % width, true};
  }
  return {lane, false};
}

// The c operand CUDA passes for a segment width: (32 - width) << 8, with the
// clamp 0 for up and 31 otherwise.
u32 clamp_operand(Mode mode, u32 width) { return ((32 - width) << 8) | (mode == Up ? 0 : 31); }

TEST(Warp, ShufflesAtTheEdgesOfWarpsAndSegments) {
  auto program = compile_valid(module(kShuffle));
  ASSERT_NE(program, nullptr);
  struct Shape {
    Mode mode;
    u32 b;
    u32 width;
  };
  const Shape shapes[] = {{Up, 1, 32},   {Up, 5, 32},    {Down, 1, 32}, {Down, 16, 32},
                          {Bfly, 1, 32}, {Bfly, 31, 32}, {Idx, 0, 32},  {Idx, 17, 32},
                          {Up, 1, 8},    {Down, 3, 8},   {Bfly, 4, 8},  {Idx, 2, 8},
                          {Idx, 13, 16}, {Down, 1, 2},   {Bfly, 16, 8}};
  for (const Shape& shape : shapes) {
    for (const u64 seed : {u64{0}, u64{5}}) {
      HostMemory memory;
      const u64 out = memory.upload(std::vector<u32>(64));
      Args args;
      args.add(static_cast<u32>(shape.mode))
          .add(shape.b)
          .add(clamp_operand(shape.mode, shape.width))
          .add(0xFFFFFFFFu)
          .add(out);
      ASSERT_EQ(launch(*program, "shuffle", memory, args, {.block = {32, 1, 1}, .seed = seed}),
                kSuccess);
      const auto got = memory.download<u32>(out, 64);
      for (u32 lane = 0; lane < 32; ++lane) {
        const Expected want = reference(shape.mode, lane, shape.b, shape.width);
        EXPECT_EQ(got[2 * lane], 100 + want.source) << "mode " << shape.mode << " b " << shape.b
                                                    << " width " << shape.width << " lane " << lane;
        EXPECT_EQ(got[2 * lane + 1], want.in_range ? 1u : 0u)
            << "mode " << shape.mode << " lane " << lane;
      }
    }
  }
}

TEST(Warp, PartialWarpShufflesDoNotWaitForMissingLanes) {
  auto program = compile_valid(module(kShuffle));
  ASSERT_NE(program, nullptr);
  // 52 threads: warp 1 has 20 lanes. A full-mask shuffle completes without
  // the 12 lanes that do not exist; lanes whose source exists read it. (The
  // hazard checks refuse a mask naming absent lanes; this is the unchecked
  // behaviour.)
  for (const u64 seed : {u64{0}, u64{9}}) {
    HostMemory memory;
    const u64 out = memory.upload(std::vector<u32>(2 * 52));
    Args args;
    args.add(u32{Down}).add(u32{4}).add(u32{31}).add(0xFFFFFFFFu).add(out);
    ASSERT_EQ(launch(*program, "shuffle", memory, args,
                     {.block = {52, 1, 1}, .seed = seed, .check = false}),
              kSuccess);
    const auto got = memory.download<u32>(out, 2 * 52);
    for (u32 tid = 0; tid < 52; ++tid) {
      const u32 lane = tid % 32;
      const bool source_exists = tid < 32 ? lane + 4 < 32 : lane + 4 < 20;
      if (source_exists) {
        EXPECT_EQ(got[2 * tid], 100 + lane + 4) << "thread " << tid;
      }
      EXPECT_EQ(got[2 * tid + 1], lane + 4 <= 31 ? 1u : 0u) << "thread " << tid;
    }
  }
}

// A partial warp with an exact mask: every lane reads the mirror lane.
constexpr const char* kMirror = R"(
.visible .entry mirror(.param .u64 out)
{
  .reg .b32 %t, %src, %v, %r, %n;
  .reg .b64 %rd<3>;
  ld.param.u64 %rd1, [out];
  mov.u32 %t, %tid.x;
  mov.u32 %n, %ntid.x;
  sub.u32 %src, %n, %t;
  sub.u32 %src, %src, 1;
  mul.lo.u32 %v, %t, %t;
  shfl.sync.idx.b32 %r, %v, %src, 31, 0xFFFFF;
  mul.wide.u32 %rd2, %t, 4;
  add.u64 %rd2, %rd1, %rd2;
  st.global.u32 [%rd2], %r;
  ret;
}
)";

TEST(Warp, PartialWarpWithExactMask) {
  auto program = compile_valid(module(kMirror));
  ASSERT_NE(program, nullptr);
  for (const u64 seed : kSeeds) {
    HostMemory memory;
    const u64 out = memory.upload(std::vector<u32>(20));
    ASSERT_EQ(
        launch(*program, "mirror", memory, Args().add(out), {.block = {20, 1, 1}, .seed = seed}),
        kSuccess);
    const auto got = memory.download<u32>(out, 20);
    for (u32 t = 0; t < 20; ++t)
      EXPECT_EQ(got[t], (19 - t) * (19 - t)) << "seed " << seed << " lane " << t;
  }
}

// Votes on "lane % k == 0" for k from the parameters, negated and not.
constexpr const char* kVotes = R"(
.visible .entry votes(.param .u32 k, .param .u64 out)
{
  .reg .pred %p, %q;
  .reg .b32 %t, %k, %r<6>, %mask;
  .reg .b64 %rd<3>;
  ld.param.u32 %k, [k];
  ld.param.u64 %rd1, [out];
  mov.u32 %t, %laneid;
  rem.u32 %r1, %t, %k;
  setp.eq.u32 %p, %r1, 0;
  activemask.b32 %mask;
  vote.sync.ballot.b32 %r1, %p, %mask;
  vote.sync.ballot.b32 %r2, !%p, %mask;
  vote.sync.all.pred %q, %p, %mask;
  selp.u32 %r3, 1, 0, %q;
  vote.sync.any.pred %q, %p, %mask;
  selp.u32 %r4, 1, 0, %q;
  vote.sync.uni.pred %q, %p, %mask;
  selp.u32 %r5, 1, 0, %q;
  mul.wide.u32 %rd2, %t, 32;
  add.u64 %rd2, %rd1, %rd2;
  st.global.v4.u32 [%rd2], {%r1, %r2, %r3, %r4};
  st.global.v2.u32 [%rd2+16], {%r5, %mask};
  ret;
}
)";

TEST(Warp, VotesOverFullAndPartialWarps) {
  auto program = compile_valid(module(kVotes));
  ASSERT_NE(program, nullptr);
  for (const u32 lanes : {32u, 13u}) {
    for (const u32 k : {1u, 3u, 64u}) {
      HostMemory memory;
      const u64 out = memory.upload(std::vector<u32>(8 * lanes));
      ASSERT_EQ(launch(*program, "votes", memory, Args().add(k).add(out),
                       {.block = {lanes, 1, 1}, .seed = 3}),
                kSuccess);
      const u32 active = lanes == 32 ? 0xFFFFFFFFu : (1u << lanes) - 1;
      u32 ballot = 0;
      for (u32 lane = 0; lane < lanes; ++lane) ballot |= lane % k == 0 ? 1u << lane : 0;
      const auto got = memory.download<u32>(out, 8 * lanes);
      for (u32 lane = 0; lane < lanes; ++lane) {
        const u32* row = &got[8 * lane];
        EXPECT_EQ(row[0], ballot) << lanes << " lanes, k " << k;
        EXPECT_EQ(row[1], active & ~ballot);
        EXPECT_EQ(row[2], ballot == active ? 1u : 0u);
        EXPECT_EQ(row[3], ballot != 0 ? 1u : 0u);
        EXPECT_EQ(row[4], (ballot == active || ballot == 0) ? 1u : 0u);
        EXPECT_EQ(row[5], active);
      }
    }
  }
}

// Diverged lanes see only their own side in activemask.
constexpr const char* kDiverged = R"(
.visible .entry diverged(.param .u64 out)
{
  .reg .pred %p;
  .reg .b32 %t, %m;
  .reg .b64 %rd<3>;
  ld.param.u64 %rd1, [out];
  mov.u32 %t, %laneid;
  setp.lt.u32 %p, %t, 10;
  @%p bra $low;
  activemask.b32 %m;
  bra.uni $join;
$low:
  activemask.b32 %m;
$join:
  mul.wide.u32 %rd2, %t, 4;
  add.u64 %rd2, %rd1, %rd2;
  st.global.u32 [%rd2], %m;
  ret;
}
)";

TEST(Warp, ActiveMaskReportsTheConvergedLanes) {
  auto program = compile_valid(module(kDiverged));
  ASSERT_NE(program, nullptr);
  for (const u64 seed : kSeeds) {
    HostMemory memory;
    const u64 out = memory.upload(std::vector<u32>(32));
    ASSERT_EQ(
        launch(*program, "diverged", memory, Args().add(out), {.block = {32, 1, 1}, .seed = seed}),
        kSuccess);
    const auto got = memory.download<u32>(out, 32);
    for (u32 lane = 0; lane < 32; ++lane)
      EXPECT_EQ(got[lane], lane < 10 ? 0x3FFu : ~0x3FFu) << "lane " << lane;
  }
}

// A warp sum by shfl.sync.down in five steps, one atomic per warp; and a
// block sum by a shared-memory tree with bar.sync, one atomic per block.
constexpr const char* kReductions = R"(
.visible .entry warp_sum(.param .u64 in, .param .u32 n, .param .u64 total)
{
  .reg .pred %p;
  .reg .b32 %i, %n, %v, %o, %lane;
  .reg .b64 %rd<4>;
  ld.param.u64 %rd1, [in];
  ld.param.u32 %n, [n];
  ld.param.u64 %rd2, [total];
  mov.u32 %i, %ctaid.x;
  mov.u32 %v, %ntid.x;
  mov.u32 %lane, %tid.x;
  mad.lo.u32 %i, %i, %v, %lane;
  and.b32 %lane, %lane, 31;
  mov.u32 %v, 0;
  setp.lt.u32 %p, %i, %n;
  mul.wide.u32 %rd3, %i, 4;
  add.u64 %rd3, %rd1, %rd3;
  @%p ld.global.nc.u32 %v, [%rd3];
  shfl.sync.down.b32 %o, %v, 16, 31, -1;
  add.u32 %v, %v, %o;
  shfl.sync.down.b32 %o, %v, 8, 31, -1;
  add.u32 %v, %v, %o;
  shfl.sync.down.b32 %o, %v, 4, 31, -1;
  add.u32 %v, %v, %o;
  shfl.sync.down.b32 %o, %v, 2, 31, -1;
  add.u32 %v, %v, %o;
  shfl.sync.down.b32 %o, %v, 1, 31, -1;
  add.u32 %v, %v, %o;
  setp.eq.u32 %p, %lane, 0;
  @%p red.global.add.u32 [%rd2], %v;
  ret;
}

.extern .shared .align 4 .b8 sdata[];

.visible .entry tree_sum(.param .u64 in, .param .u32 n, .param .u64 total)
{
  .reg .pred %p, %live;
  .reg .b32 %i, %n, %t, %s, %v, %o, %a;
  .reg .b64 %rd<4>;
  ld.param.u64 %rd1, [in];
  ld.param.u32 %n, [n];
  ld.param.u64 %rd2, [total];
  mov.u32 %i, %ctaid.x;
  mov.u32 %s, %ntid.x;
  mov.u32 %t, %tid.x;
  mad.lo.u32 %i, %i, %s, %t;
  mov.u32 %v, 0;
  setp.lt.u32 %p, %i, %n;
  mul.wide.u32 %rd3, %i, 4;
  add.u64 %rd3, %rd1, %rd3;
  @%p ld.global.nc.u32 %v, [%rd3];
  mov.u32 %a, sdata;
  shl.b32 %o, %t, 2;
  add.u32 %a, %a, %o;
  st.shared.u32 [%a], %v;
  bar.sync 0;
  shr.u32 %s, %s, 1;
$step:
  setp.eq.u32 %p, %s, 0;
  @%p bra.uni $done;
  setp.lt.u32 %live, %t, %s;
  shl.b32 %o, %s, 2;
  add.u32 %o, %a, %o;
  @%live ld.shared.u32 %o, [%o];
  @%live ld.shared.u32 %v, [%a];
  @%live add.u32 %v, %v, %o;
  @%live st.shared.u32 [%a], %v;
  barrier.sync.aligned 0;
  shr.u32 %s, %s, 1;
  bra.uni $step;
$done:
  setp.ne.u32 %p, %t, 0;
  @%p ret;
  ld.shared.u32 %v, [sdata];
  atom.global.add.u32 %v, [%rd2], %v;
  ret;
}
)";

TEST(Warp, ShuffleAndTreeReductionsAreExactForEverySchedule) {
  auto program = compile_valid(module(kReductions));
  ASSERT_NE(program, nullptr);
  constexpr u32 kN = 1000;  // not a multiple of the block size
  std::vector<u32> values(kN);
  for (u32 i = 0; i < kN; ++i) values[i] = (i * 2654435761u) >> 20;
  const u32 expected = std::accumulate(values.begin(), values.end(), 0u);
  for (const char* kernel : {"warp_sum", "tree_sum"}) {
    for (const u64 seed : kSeeds) {
      HostMemory memory;
      const u64 in = memory.upload(values);
      const u64 total = memory.upload(std::vector<u32>{0});
      const Config config{
          .grid = {4, 1, 1}, .block = {256, 1, 1}, .dynamic_shared = 1024, .seed = seed};
      ASSERT_EQ(launch(*program, kernel, memory, Args().add(in).add(kN).add(total), config),
                kSuccess)
          << kernel << " seed " << seed;
      EXPECT_EQ(memory.read<u32>(total), expected) << kernel << " seed " << seed;
    }
  }
}

// Two independent halves of a block, each with its own counted barrier:
// warp 0 writes, warp 1 reads after barrier 1; warps 2-3 do the same on barrier 2.
constexpr const char* kCounted = R"(
.visible .entry counted(.param .u64 out)
{
  .shared .align 4 .u32 slots[128];
  .reg .pred %writer;
  .reg .b32 %t, %w, %id, %a, %v;
  .reg .b64 %rd<3>;
  ld.param.u64 %rd1, [out];
  mov.u32 %t, %tid.x;
  shr.u32 %w, %t, 5;
  and.b32 %id, %w, 2;
  shr.u32 %id, %id, 1;
  add.u32 %id, %id, 1;
  and.b32 %v, %w, 1;
  setp.eq.u32 %writer, %v, 0;
  mov.u32 %a, slots;
  shl.b32 %v, %t, 2;
  add.u32 %a, %a, %v;
  mul.lo.u32 %v, %t, 7;
  @%writer st.shared.u32 [%a], %v;
  bar.sync %id, 64;
  @%writer ret;
  ld.shared.u32 %v, [%a+-128];
  mul.wide.u32 %rd2, %t, 4;
  add.u64 %rd2, %rd1, %rd2;
  st.global.u32 [%rd2], %v;
  ret;
}
)";

TEST(Warp, CountedBarriersSynchroniseTheirOwnThreads) {
  auto program = compile_valid(module(kCounted));
  ASSERT_NE(program, nullptr);
  for (const u64 seed : kSeeds) {
    HostMemory memory;
    const u64 out = memory.upload(std::vector<u32>(128));
    ASSERT_EQ(
        launch(*program, "counted", memory, Args().add(out), {.block = {128, 1, 1}, .seed = seed}),
        kSuccess);
    const auto got = memory.download<u32>(out, 128);
    for (u32 t = 32; t < 64; ++t) EXPECT_EQ(got[t], (t - 32) * 7) << "seed " << seed;
    for (u32 t = 96; t < 128; ++t) EXPECT_EQ(got[t], (t - 32) * 7) << "seed " << seed;
  }
}

// Threads that have exited do not hold a barrier up; threads that wait at
// different barriers, or at a shuffle their partner never reaches, deadlock.
constexpr const char* kWaits = R"(
.visible .entry waits(.param .u32 mode, .param .u64 out)
{
  .reg .pred %p, %odd;
  .reg .b32 %t, %m, %r;
  .reg .b64 %rd<3>;
  ld.param.u32 %m, [mode];
  ld.param.u64 %rd1, [out];
  mov.u32 %t, %tid.x;
  and.b32 %r, %t, 1;
  setp.eq.u32 %odd, %r, 1;
  setp.eq.u32 %p, %m, 0;
  @%p bra $exit_odd;
  setp.eq.u32 %p, %m, 1;
  @%p bra $split;
  setp.eq.u32 %p, %m, 2;
  @%p bra $half_shuffle;
  shfl.sync.idx.b32 %r, %t, 0, 31, 1;
  bra.uni $store;
$exit_odd:
  @%odd ret;
  bar.sync 0;
  bra.uni $store;
$split:
  @%odd bar.sync 1;
  @!%odd bar.sync 2;
  bra.uni $store;
$half_shuffle:
  @%odd ret;
  shfl.sync.bfly.b32 %r, %t, 1, 31, -1;
  bar.sync 0;
$store:
  mul.wide.u32 %rd2, %t, 4;
  add.u64 %rd2, %rd1, %rd2;
  st.global.u32 [%rd2], 1;
  ret;
}
)";

TEST(Warp, ExitedThreadsReleaseBarriersAndStuckOnesFail) {
  auto program = compile_valid(module(kWaits));
  ASSERT_NE(program, nullptr);
  struct WaitCase {
    u32 mode;
    CUresult expected;
    const char* what;
  };
  const WaitCase cases[] = {
      {0, kSuccess, "odd threads exit; even ones pass bar.sync 0"},
      {1, kLaunchFailed, "odd and even threads wait at different barriers"},
      {2, kSuccess, "a full-mask shuffle does not wait for exited lanes"},
      {3, kLaunchFailed, "a lane outside its own membermask"},
  };
  for (const WaitCase& c : cases) {
    for (const u64 seed : {u64{0}, u64{4}}) {
      HostMemory memory;
      const u64 out = memory.upload(std::vector<u32>(64));
      // Unchecked: with the hazard checks, a mask naming exited lanes fails.
      const Config config{.block = {64, 1, 1}, .seed = seed, .check = false};
      EXPECT_EQ(launch(*program, "waits", memory, Args().add(c.mode).add(out), config), c.expected)
          << c.what << ", seed " << seed;
    }
  }
}

}  // namespace
}  // namespace vorlan::emu::testing
