// Atomic operations under contention and in sequence. Contended tests run
// under several schedule seeds: with a seed, threads are preempted every few
// instructions, so read-modify-write races that atomics must prevent do
// happen between the threads of a block.
#include <algorithm>
#include <cstdint>
#include <numeric>

#include "ptx_harness.hpp"

namespace vorlan::emu::testing {
namespace {

using u32 = std::uint32_t;
using s32 = std::int32_t;
using u64 = std::uint64_t;

constexpr u64 kSeeds[] = {0, 1, 2, 3, 0x5EED, 0xDEADBEEF};

// Every thread takes a ticket from one counter and files it under its index.
constexpr const char* kTickets = R"(
.visible .entry tickets(.param .u64 counter, .param .u64 out)
{
  .reg .b32 %g, %r<3>;
  .reg .b64 %rd<4>;
  ld.param.u64 %rd1, [counter];
  ld.param.u64 %rd2, [out];
  mov.u32 %r1, %ctaid.x;
  mov.u32 %r2, %ntid.x;
  mov.u32 %g, %tid.x;
  mad.lo.u32 %g, %r1, %r2, %g;
  atom.global.add.u32 %r1, [%rd1], 1;
  mul.wide.u32 %rd3, %g, 4;
  add.u64 %rd3, %rd2, %rd3;
  st.global.u32 [%rd3], %r1;
  ret;
}
)";

std::vector<u32> take_tickets(const Program& program, u64 seed, u32 blocks, u32 threads) {
  HostMemory memory;
  const u64 counter = memory.upload(std::vector<u32>{0});
  const u64 out = memory.upload(std::vector<u32>(blocks * threads));
  const Config config{.grid = {blocks, 1, 1}, .block = {threads, 1, 1}, .seed = seed};
  EXPECT_EQ(launch(program, "tickets", memory, Args().add(counter).add(out), config), kSuccess);
  EXPECT_EQ(memory.read<u32>(counter), blocks * threads);
  return memory.download<u32>(out, blocks * threads);
}

TEST(Atomics, ContendedAddHandsOutEveryTicketOnce) {
  auto program = compile_valid(module(kTickets));
  ASSERT_NE(program, nullptr);
  for (const u64 seed : kSeeds) {
    auto tickets = take_tickets(*program, seed, 8, 96);
    std::ranges::sort(tickets);
    std::vector<u32> all(tickets.size());
    std::iota(all.begin(), all.end(), 0u);
    EXPECT_EQ(tickets, all) << "seed " << seed;
  }
}

TEST(Atomics, TicketOrderFollowsTheSeed) {
  auto program = compile_valid(module(kTickets));
  ASSERT_NE(program, nullptr);
  const auto in_order = take_tickets(*program, 0, 4, 64);
  std::vector<u32> identity(in_order.size());
  std::iota(identity.begin(), identity.end(), 0u);
  EXPECT_EQ(in_order, identity) << "without a seed, blocks, warps and lanes run in index order";
  const auto first = take_tickets(*program, 7, 4, 64);
  EXPECT_EQ(take_tickets(*program, 7, 4, 64), first) << "a seed gives the same schedule every time";
  EXPECT_NE(first, identity);
  EXPECT_NE(take_tickets(*program, 8, 4, 64), first);
}

// A 64-bit total built from 32-bit values, as a triangle count is.
constexpr const char* kWideSum = R"(
.visible .entry wide_sum(.param .u64 total)
{
  .reg .b32 %r<3>;
  .reg .b64 %rd<3>;
  ld.param.u64 %rd1, [total];
  mov.u32 %r1, %ctaid.x;
  mov.u32 %r2, %tid.x;
  mad.lo.u32 %r1, %r1, 1000, %r2;
  mul.wide.u32 %rd2, %r1, 1000000;
  atom.global.add.u64 %rd2, [%rd1], %rd2;
  ret;
}
)";

TEST(Atomics, SixtyFourBitCounterCarriesPastThirtyTwoBits) {
  auto program = compile_valid(module(kWideSum));
  ASSERT_NE(program, nullptr);
  u64 expected = 0;
  for (u64 b = 0; b < 6; ++b) {
    for (u64 t = 0; t < 128; ++t) expected += (b * 1000 + t) * 1000000;
  }
  ASSERT_GT(expected, u64{0xFFFFFFFF});
  for (const u64 seed : kSeeds) {
    HostMemory memory;
    const u64 total = memory.upload(std::vector<u64>{0});
    const Config config{.grid = {6, 1, 1}, .block = {128, 1, 1}, .seed = seed};
    ASSERT_EQ(launch(*program, "wide_sum", memory, Args().add(total), config), kSuccess);
    EXPECT_EQ(memory.read<u64>(total), expected) << "seed " << seed;
  }
}

// Addition built from compare-and-swap; failed attempts are counted.
constexpr const char* kCasLoop = R"(
.visible .entry cas_add(.param .u64 counter, .param .u64 retries)
{
  .reg .pred %p;
  .reg .b32 %old, %new, %seen, %t;
  .reg .b64 %rd<3>;
  ld.param.u64 %rd1, [counter];
  ld.param.u64 %rd2, [retries];
  mov.u32 %t, %tid.x;
  add.u32 %t, %t, 1;
$retry:
  ld.global.u32 %old, [%rd1];
  add.u32 %new, %old, %t;
  atom.global.cas.b32 %seen, [%rd1], %old, %new;
  setp.eq.u32 %p, %seen, %old;
  @%p bra $done;
  red.global.add.u32 [%rd2], 1;
  bra.uni $retry;
$done:
  ret;
}
)";

TEST(Atomics, CompareAndSwapLoopsSurviveInterleaving) {
  auto program = compile_valid(module(kCasLoop));
  ASSERT_NE(program, nullptr);
  constexpr u32 kThreads = 256;
  u64 total_retries = 0;
  for (const u64 seed : kSeeds) {
    HostMemory memory;
    const u64 counter = memory.upload(std::vector<u32>{0});
    const u64 retries = memory.upload(std::vector<u32>{0});
    const Config config{.grid = {3, 1, 1}, .block = {kThreads, 1, 1}, .seed = seed};
    ASSERT_EQ(launch(*program, "cas_add", memory, Args().add(counter).add(retries), config),
              kSuccess);
    EXPECT_EQ(memory.read<u32>(counter), 3 * kThreads * (kThreads + 1) / 2) << "seed " << seed;
    if (seed == 0) {
      EXPECT_EQ(memory.read<u32>(retries), 0u) << "one thread at a time cannot collide";
    }
    total_retries += memory.read<u32>(retries);
  }
  EXPECT_GT(total_retries, 0u) << "seeded schedules should make some CAS attempts fail";
}

// A spin lock guarding a plain read-modify-write.
constexpr const char* kSpinLock = R"(
.visible .entry locked_add(.param .u64 lock, .param .u64 value)
{
  .reg .pred %p;
  .reg .b32 %r<3>;
  .reg .b64 %rd<3>;
  ld.param.u64 %rd1, [lock];
  ld.param.u64 %rd2, [value];
$spin:
  atom.acquire.gpu.global.cas.b32 %r1, [%rd1], 0, 1;
  setp.ne.u32 %p, %r1, 0;
  @%p bra $spin;
  ld.global.u32 %r2, [%rd2];
  add.u32 %r2, %r2, 3;
  st.global.u32 [%rd2], %r2;
  fence.acq_rel.gpu;
  atom.release.gpu.global.exch.b32 %r1, [%rd1], 0;
  ret;
}
)";

TEST(Atomics, SpinLockSerialisesPlainUpdates) {
  auto program = compile_valid(module(kSpinLock));
  ASSERT_NE(program, nullptr);
  for (const u64 seed : kSeeds) {
    HostMemory memory;
    const u64 lock = memory.upload(std::vector<u32>{0});
    const u64 value = memory.upload(std::vector<u32>{0});
    const Config config{.grid = {2, 1, 1}, .block = {64, 1, 1}, .seed = seed};
    ASSERT_EQ(launch(*program, "locked_add", memory, Args().add(lock).add(value), config),
              kSuccess);
    EXPECT_EQ(memory.read<u32>(value), 3u * 128) << "seed " << seed;
    EXPECT_EQ(memory.read<u32>(lock), 0u);
  }
}

// One thread applies a sequence of atomics to one word and records what each returned.
constexpr const char* kSequence = R"(
.visible .entry sequence(.param .u64 word, .param .u64 wide, .param .u64 out)
{
  .reg .b32 %r;
  .reg .b64 %rd<4>, %w;
  .reg .f32 %f;
  ld.param.u64 %rd1, [word];
  ld.param.u64 %rd2, [wide];
  ld.param.u64 %rd3, [out];
  atom.global.exch.b32 %r, [%rd1], 5;
  st.global.u32 [%rd3+0], %r;
  atom.global.inc.u32 %r, [%rd1], 6;
  st.global.u32 [%rd3+4], %r;
  atom.global.inc.u32 %r, [%rd1], 6;
  st.global.u32 [%rd3+8], %r;
  atom.global.dec.u32 %r, [%rd1], 6;
  st.global.u32 [%rd3+12], %r;
  atom.global.min.s32 %r, [%rd1], -4;
  st.global.u32 [%rd3+16], %r;
  atom.global.max.u32 %r, [%rd1], 7;
  st.global.u32 [%rd3+20], %r;
  atom.global.and.b32 %r, [%rd1], 0xF0F0;
  st.global.u32 [%rd3+24], %r;
  atom.global.or.b32 %r, [%rd1], 0x0F;
  st.global.u32 [%rd3+28], %r;
  atom.global.xor.b32 %r, [%rd1], 0xFF;
  st.global.u32 [%rd3+32], %r;
  atom.global.cas.b32 %r, [%rd1], 1, 99;
  st.global.u32 [%rd3+36], %r;
  atom.global.dec.u32 %r, [%rd1], 6;
  st.global.u32 [%rd3+40], %r;
  atom.global.max.s64 %w, [%rd2], -1;
  st.global.u64 [%rd3+48], %w;
  atom.global.min.u64 %w, [%rd2], 12;
  st.global.u64 [%rd3+56], %w;
  atom.global.cas.b64 %w, [%rd2], 12, 0x100000000;
  st.global.u64 [%rd3+64], %w;
  atom.global.add.f32 %f, [%rd1], 0f3FC00000;
  st.global.f32 [%rd3+72], %f;
  ld.global.u32 %r, [%rd1];
  st.global.u32 [%rd3+76], %r;
  ld.global.u64 %w, [%rd2];
  st.global.u64 [%rd3+80], %w;
  ret;
}
)";

TEST(Atomics, EachOperationReturnsTheOldValue) {
  auto program = compile_valid(module(kSequence));
  ASSERT_NE(program, nullptr);
  HostMemory memory;
  const u64 word = memory.upload(std::vector<u32>{0xABCDu});
  const u64 wide = memory.upload(std::vector<u64>{static_cast<u64>(-20)});
  const u64 out = memory.upload(std::vector<u32>(22));
  ASSERT_EQ(launch(*program, "sequence", memory, Args().add(word).add(wide).add(out),
                   {.block = {1, 1, 1}}),
            kSuccess);
  // The same sequence on the host, step by step.
  u32 w = 0xABCD;
  std::vector<u32> want;
  auto step = [&](u32 next) {
    want.push_back(w);
    w = next;
  };
  step(5);                              // exch
  step(w >= 6 ? 0 : w + 1);             // inc: 5 -> 6
  step(w >= 6 ? 0 : w + 1);             // inc wraps: 6 -> 0
  step((w == 0 || w > 6) ? 6 : w - 1);  // dec from 0 wraps to the bound
  step(static_cast<u32>(std::min(static_cast<s32>(w), -4)));
  step(std::max(w, 7u));  // unsigned: 0xFFFFFFFC stays
  step(w & 0xF0F0);
  step(w | 0x0F);
  step(w ^ 0xFF);
  step(w == 1 ? 99 : w);                // cas that does not match
  step((w == 0 || w > 6) ? 6 : w - 1);  // dec above the bound resets to it
  const auto got = memory.download<u32>(out, 11);
  EXPECT_EQ(got, want);
  EXPECT_EQ(memory.read<u64>(out + 48), static_cast<u64>(-20));  // max.s64 with -1 -> -1
  EXPECT_EQ(memory.read<u64>(out + 56), static_cast<u64>(-1));   // min.u64 with 12 -> 12
  EXPECT_EQ(memory.read<u64>(out + 64), 12u);                    // cas matches -> 2^32
  EXPECT_EQ(memory.read<u32>(out + 72), w);                      // add.f32 returns the old bits
  EXPECT_EQ(memory.read<float>(out + 76), std::bit_cast<float>(w) + 1.5f);
  EXPECT_EQ(memory.read<u64>(out + 80), 0x100000000ull);
}

// Shared-memory atomics per block, then one global atomic per block; also
// through a generic address.
constexpr const char* kSharedAtomics = R"(
.visible .entry shared_counts(.param .u64 totals)
{
  .shared .align 4 .u32 count;
  .shared .align 4 .f32 fsum;
  .reg .pred %p;
  .reg .b32 %t, %r<3>;
  .reg .b64 %rd<4>;
  .reg .f32 %f;
  ld.param.u64 %rd1, [totals];
  mov.u32 %t, %tid.x;
  setp.ne.u32 %p, %t, 0;
  @!%p st.shared.u32 [count], 0;
  @!%p st.shared.f32 [fsum], 0f00000000;
  bar.sync 0;
  and.b32 %r1, %t, 3;
  atom.shared.add.u32 %r2, [count], %r1;
  mov.u64 %rd2, fsum;
  cvta.shared.u64 %rd2, %rd2;
  cvt.rn.f32.u32 %f, %r1;
  red.add.f32 [%rd2], %f;
  bar.sync 0;
  @%p ret;
  ld.shared.u32 %r2, [count];
  red.global.add.u32 [%rd1], %r2;
  ld.shared.f32 %f, [fsum];
  red.global.add.f32 [%rd1+4], %f;
  ret;
}
)";

TEST(Atomics, SharedAndGenericAtomicsAreExactForIntegers) {
  auto program = compile_valid(module(kSharedAtomics));
  ASSERT_NE(program, nullptr);
  for (const u64 seed : kSeeds) {
    HostMemory memory;
    const u64 totals = memory.upload(std::vector<u32>{0, 0});
    const Config config{.grid = {5, 1, 1}, .block = {200, 1, 1}, .seed = seed};
    ASSERT_EQ(launch(*program, "shared_counts", memory, Args().add(totals), config), kSuccess);
    const u32 per_block = 50 * (0 + 1 + 2 + 3);
    EXPECT_EQ(memory.read<u32>(totals), 5 * per_block) << "seed " << seed;
    EXPECT_EQ(memory.read<float>(totals + 4), 5.0f * per_block) << "seed " << seed;
  }
}

}  // namespace
}  // namespace vorlan::emu::testing
