// Loads and stores in every state space the engine supports, and the checks
// that stop a launch at the first out-of-bounds or misaligned access.
#include <cstdint>
#include <numeric>

#include "ptx_harness.hpp"

namespace vorlan::emu::testing {
namespace {

using u8 = std::uint8_t;
using u32 = std::uint32_t;
using u64 = std::uint64_t;

// Thread t widens byte t and halfword t both ways into four words.
constexpr const char* kWidths = R"(
.visible .entry widths(.param .u64 bytes, .param .u64 halves, .param .u64 out)
{
  .reg .b16 %h;
  .reg .b32 %t, %r<5>;
  .reg .b64 %rd<8>;
  ld.param.u64 %rd1, [bytes];
  ld.param.u64 %rd2, [halves];
  ld.param.u64 %rd3, [out];
  mov.u32 %t, %tid.x;
  cvt.u64.u32 %rd4, %t;
  add.u64 %rd5, %rd1, %rd4;
  ld.global.u8 %r1, [%rd5];
  ld.global.s8 %r2, [%rd5];
  mul.wide.u32 %rd6, %t, 2;
  add.u64 %rd6, %rd2, %rd6;
  ld.global.u16 %r3, [%rd6];
  ld.global.s16 %h, [%rd6];
  cvt.s32.s16 %r4, %h;
  mul.wide.u32 %rd7, %t, 16;
  add.u64 %rd7, %rd3, %rd7;
  st.global.v4.u32 [%rd7], {%r1, %r2, %r3, %r4};
  ret;
}
)";

TEST(Memory, NarrowLoadsExtendBySignedness) {
  auto program = compile_valid(module(kWidths));
  ASSERT_NE(program, nullptr);
  const std::vector<u8> bytes = {0, 1, 0x7F, 0x80, 0xFF};
  const std::vector<std::uint16_t> halves = {0, 1, 0x7FFF, 0x8000, 0xFFFF};
  HostMemory memory;
  const u64 pb = memory.upload(bytes);
  const u64 ph = memory.upload(halves);
  const u64 out = memory.upload(std::vector<u32>(4 * bytes.size()));
  ASSERT_EQ(
      launch(*program, "widths", memory, Args().add(pb).add(ph).add(out), {.block = {5, 1, 1}}),
      kSuccess);
  const auto got = memory.download<u32>(out, 4 * bytes.size());
  for (std::size_t t = 0; t < bytes.size(); ++t) {
    EXPECT_EQ(got[4 * t + 0], u32{bytes[t]});
    EXPECT_EQ(got[4 * t + 1], static_cast<u32>(static_cast<std::int8_t>(bytes[t])));
    EXPECT_EQ(got[4 * t + 2], u32{halves[t]});
    EXPECT_EQ(got[4 * t + 3], static_cast<u32>(static_cast<std::int16_t>(halves[t])));
  }
}

// Vector loads through the read-only path, narrow stores that truncate, and
// a 64-bit register filled by a sign-extending byte load.
constexpr const char* kVectors = R"(
.visible .entry vectors(.param .u64 in, .param .u64 out)
{
  .reg .b32 %r<5>;
  .reg .b64 %rd<6>;
  .reg .f32 %f<3>;
  ld.param.u64 %rd1, [in];
  ld.param.u64 %rd2, [out];
  ld.global.nc.v4.u32 {%r1, %r2, %r3, %r4}, [%rd1];
  ld.global.nc.v2.f32 {%f1, %f2}, [%rd1+16];
  add.f32 %f1, %f1, %f2;
  add.u32 %r1, %r1, %r4;
  st.global.v2.u32 [%rd2], {%r1, %r3};
  st.global.f32 [%rd2+8], %f1;
  st.global.u8 [%rd2+12], %r2;
  ld.global.s8 %rd3, [%rd1+5];
  st.global.u64 [%rd2+16], %rd3;
  ld.global.v2.u64 {%rd4, %rd5}, [%rd1];
  st.global.v2.u64 [%rd2+32], {%rd5, %rd4};
  ret;
}
)";

TEST(Memory, VectorAccessesAndTruncatingStores) {
  auto program = compile_valid(module(kVectors));
  ASSERT_NE(program, nullptr);
  HostMemory memory;
  const std::vector<u32> in = {
      10, 0x1234ABCD, 30, 40, std::bit_cast<u32>(1.5f), std::bit_cast<u32>(2.25f), 0, 0};
  const u64 pin = memory.upload(in);
  const u64 out = memory.upload(std::vector<u32>(12, 0xEEEEEEEEu));
  ASSERT_EQ(launch(*program, "vectors", memory, Args().add(pin).add(out), {.block = {1, 1, 1}}),
            kSuccess);
  const auto got = memory.download<u32>(out, 12);
  EXPECT_EQ(got[0], 50u);
  EXPECT_EQ(got[1], 30u);
  EXPECT_EQ(std::bit_cast<float>(got[2]), 3.75f);
  EXPECT_EQ(got[3], 0xEEEEEECDu);  // only the low byte was stored
  EXPECT_EQ(memory.read<u64>(out + 16),
            static_cast<u64>(std::int64_t{static_cast<std::int8_t>(0xAB)}));
  EXPECT_EQ(memory.read<u64>(out + 32), (u64{40} << 32) | 30);
  EXPECT_EQ(memory.read<u64>(out + 40), (u64{0x1234ABCD} << 32) | 10);
}

// Static and dynamic shared memory, reached directly and through generic
// addresses; each thread reads what its neighbour wrote.
constexpr const char* kShared = R"(
.extern .shared .align 16 .b8 dyn[];

.visible .entry shared_rotate(.param .u64 out)
{
  .shared .align 4 .u32 ring[64];
  .reg .b32 %t, %n, %r<6>;
  .reg .b64 %rd<8>;
  ld.param.u64 %rd1, [out];
  mov.u32 %t, %tid.x;
  mov.u32 %n, %ntid.x;
  shl.b32 %r1, %t, 2;
  mov.u32 %r2, ring;
  add.u32 %r3, %r2, %r1;
  mul.lo.u32 %r4, %t, 3;
  st.shared.u32 [%r3], %r4;
  mov.u64 %rd2, dyn;
  cvta.shared.u64 %rd3, %rd2;
  cvt.u64.u32 %rd4, %r1;
  add.u64 %rd5, %rd3, %rd4;
  add.u32 %r4, %r4, 1;
  st.u32 [%rd5], %r4;
  bar.sync 0;
  add.u32 %r5, %t, 1;
  rem.u32 %r5, %r5, %n;
  shl.b32 %r5, %r5, 2;
  add.u32 %r3, %r2, %r5;
  ld.shared.u32 %r4, [%r3];
  ld.shared.u32 %r3, [dyn+0];
  cvt.u64.u32 %rd4, %r5;
  add.u64 %rd5, %rd3, %rd4;
  ld.u32 %r5, [%rd5];
  add.u32 %r4, %r4, %r5;
  add.u32 %r4, %r4, %r3;
  cvta.to.global.u64 %rd6, %rd1;
  mul.wide.u32 %rd7, %t, 4;
  add.u64 %rd6, %rd6, %rd7;
  st.u32 [%rd6], %r4;
  ret;
}
)";

TEST(Memory, SharedStaticDynamicAndGeneric) {
  auto program = compile_valid(module(kShared));
  ASSERT_NE(program, nullptr);
  EXPECT_EQ(program->find_kernel("shared_rotate")->static_shared_bytes(), 256u);
  constexpr u32 kThreads = 64;
  HostMemory memory;
  const u64 out = memory.upload(std::vector<u32>(kThreads));
  const Config config{.block = {kThreads, 1, 1}, .dynamic_shared = kThreads * 4};
  ASSERT_EQ(launch(*program, "shared_rotate", memory, Args().add(out), config), kSuccess);
  const auto got = memory.download<u32>(out, kThreads);
  for (u32 t = 0; t < kThreads; ++t) {
    const u32 next = (t + 1) % kThreads;
    EXPECT_EQ(got[t], 3 * next + (3 * next + 1) + 1)
        << "thread " << t;  // ring + dyn of the neighbour + dyn[0]
  }
}

// Shared vectors, and a shared address taken to the generic space and back.
constexpr const char* kSharedVectors = R"(
.visible .entry shared_vectors(.param .u64 out, .param .u32 skew)
{
  .shared .align 16 .u32 tile[8];
  .reg .b32 %a, %b, %s;
  .reg .b64 %rd<4>;
  ld.param.u64 %rd1, [out];
  ld.param.u32 %s, [skew];
  st.shared.v4.u32 [tile], {1, 2, 3, 4};
  st.shared.v4.u32 [tile+16], {5, 6, 7, 8};
  membar.cta;
  mov.u64 %rd2, tile;
  cvta.shared.u64 %rd2, %rd2;
  cvta.to.shared.u64 %rd3, %rd2;
  cvt.u64.u32 %rd2, %s;
  add.u64 %rd3, %rd3, %rd2;
  ld.shared.v2.u32 {%a, %b}, [%rd3+8];
  st.global.v2.u32 [%rd1], {%a, %b};
  ret;
}
)";

TEST(Memory, SharedVectorsThroughConvertedAddresses) {
  auto program = compile_valid(module(kSharedVectors));
  ASSERT_NE(program, nullptr);
  HostMemory memory;
  const u64 out = memory.upload(std::vector<u32>(2));
  ASSERT_EQ(launch(*program, "shared_vectors", memory, Args().add(out).add(u32{16}),
                   {.block = {1, 1, 1}}),
            kSuccess);
  EXPECT_EQ(memory.download<u32>(out, 2), (std::vector<u32>{7, 8}));
  EXPECT_EQ(
      launch(*program, "shared_vectors", memory, Args().add(out).add(u32{4}), {.block = {1, 1, 1}}),
      kMisaligned);
  EXPECT_EQ(launch(*program, "shared_vectors", memory, Args().add(out).add(u32{24}),
                   {.block = {1, 1, 1}}),
            kIllegalAddress);
}

// Parameters of every declared shape: a byte array with its own alignment
// after a 32-bit scalar, read directly and through a parameter address.
constexpr const char* kParams = R"(
.visible .entry params(.param .u32 n, .param .align 8 .b8 pair[16], .param .f32 x, .param .u64 out)
{
  .reg .b32 %r<3>;
  .reg .b64 %rd<6>;
  .reg .f32 %f;
  ld.param.u64 %rd1, [out];
  ld.param.u32 %r1, [n];
  ld.param.u64 %rd2, [pair];
  ld.param.u64 %rd3, [pair+8];
  ld.param.f32 %f, [x];
  mov.u64 %rd4, pair;
  ld.param.v2.u32 {%r2, %r1}, [%rd4+8];
  ld.param.u32 %r2, [n];
  cvt.u64.u32 %rd5, %r2;
  add.u64 %rd2, %rd2, %rd5;
  st.global.u64 [%rd1], %rd2;
  st.global.u64 [%rd1+8], %rd3;
  st.global.f32 [%rd1+16], %f;
  st.global.u32 [%rd1+20], %r1;
  ret;
}
)";

TEST(Memory, ParametersFollowTheirDeclaredLayout) {
  auto program = compile_valid(module(kParams));
  ASSERT_NE(program, nullptr);
  const Kernel* kernel = program->find_kernel("params");
  ASSERT_NE(kernel, nullptr);
  const auto layout = kernel->params();
  ASSERT_EQ(layout.size(), 4u);
  EXPECT_EQ(layout[0].offset, 0u);
  EXPECT_EQ(layout[0].size, 4u);
  EXPECT_EQ(layout[1].offset, 8u);  // .align 8 skips four bytes
  EXPECT_EQ(layout[1].size, 16u);
  EXPECT_EQ(layout[2].offset, 24u);
  EXPECT_EQ(layout[3].offset, 32u);
  EXPECT_EQ(kernel->param_space_bytes(), 40u);

  HostMemory memory;
  const u64 out = memory.upload(std::vector<u32>(6));
  struct Pair {
    u64 first;
    u64 second;
  } pair{1000, 0xFFFFFFFF00000007ull};
  ASSERT_EQ(launch(*program, "params", memory, Args().add(u32{5}).add(pair).add(2.5f).add(out),
                   {.block = {1, 1, 1}}),
            kSuccess);
  EXPECT_EQ(memory.read<u64>(out), 1005u);
  EXPECT_EQ(memory.read<u64>(out + 8), 0xFFFFFFFF00000007ull);
  EXPECT_EQ(memory.read<float>(out + 16), 2.5f);
  EXPECT_EQ(memory.read<u32>(out + 20),
            0xFFFFFFFFu);  // high word of pair.second, via the vector load
}

// One kernel, one faulting access chosen by `mode`; thread 0 stores a marker first.
constexpr const char* kFaults = R"(
.visible .entry faults(.param .u64 buf, .param .u32 mode, .param .u64 out)
{
  .shared .align 8 .b8 sbuf[64];
  .reg .pred %p;
  .reg .b32 %t, %m, %g, %r<3>;
  .reg .b64 %rd<6>;
  ld.param.u64 %rd1, [buf];
  ld.param.u32 %m, [mode];
  ld.param.u64 %rd2, [out];
  mov.u32 %t, %tid.x;
  mov.u32 %g, %ctaid.x;
  mad.lo.u32 %g, %g, 32, %t;
  mul.wide.u32 %rd3, %g, 4;
  add.u64 %rd3, %rd2, %rd3;
  st.global.u32 [%rd3], 1;
  setp.ne.u32 %p, %g, 0;
  @%p ret;
  setp.eq.u32 %p, %m, 0;
  @%p ld.global.u32 %r1, [%rd1+12];
  setp.eq.u32 %p, %m, 1;
  @%p ld.global.u64 %rd4, [%rd1+8];
  setp.eq.u32 %p, %m, 2;
  @%p st.global.u32 [%rd1+-4], %t;
  setp.eq.u32 %p, %m, 3;
  @%p ld.global.u32 %r1, [%rd1+2];
  setp.eq.u32 %p, %m, 4;
  @%p ld.global.v4.u32 {%r1, %r2, %r1, %r2}, [%rd1+8];
  setp.eq.u32 %p, %m, 5;
  @%p ld.shared.u32 %r1, [sbuf+64];
  setp.eq.u32 %p, %m, 6;
  @%p st.shared.u64 [sbuf+4], %rd1;
  setp.eq.u32 %p, %m, 7;
  @%p ld.u32 %r1, [%rd2+-8];
  setp.eq.u32 %p, %m, 8;
  mov.u64 %rd4, 0;
  @%p st.global.u32 [%rd4], %t;
  setp.eq.u32 %p, %m, 9;
  mov.u64 %rd5, sbuf;
  cvta.shared.u64 %rd5, %rd5;
  @%p st.u32 [%rd5+64], %t;
  setp.eq.u32 %p, %m, 10;
  @%p ld.global.u32 %r1, [%rd1+8];
  ret;
}
)";

struct FaultCase {
  u32 mode;
  CUresult expected;
  const char* what;
};

TEST(Memory, FaultsStopTheLaunchWithTheirCode) {
  auto program = compile_valid(module(kFaults));
  ASSERT_NE(program, nullptr);
  const FaultCase cases[] = {
      {0, kIllegalAddress, "one word past a 12-byte allocation"},
      {1, kIllegalAddress, "an 8-byte load straddling the end"},
      {2, kIllegalAddress, "a store just before the allocation"},
      {3, kMisaligned, "a 4-byte load at offset 2"},
      {4, kMisaligned, "a 16-byte vector at offset 8"},
      {5, kIllegalAddress, "one word past static shared memory"},
      {6, kMisaligned, "an 8-byte shared store at offset 4"},
      {7, kIllegalAddress, "a generic load before an allocation"},
      {8, kIllegalAddress, "a store to address 0"},
      {9, kIllegalAddress, "a generic store past shared memory"},
      {10, kSuccess, "the last word, in bounds"},
  };
  for (const FaultCase& c : cases) {
    HostMemory memory;
    const u64 buf = memory.upload(std::vector<u32>(3));
    const u64 out = memory.upload(std::vector<u32>(64));
    const Config config{.grid = {2, 1, 1}, .block = {32, 1, 1}};
    EXPECT_EQ(launch(*program, "faults", memory, Args().add(buf).add(c.mode).add(out), config),
              c.expected)
        << c.what;
    const auto marks = memory.download<u32>(out, 64);
    const u32 written = std::accumulate(marks.begin(), marks.end(), 0u);
    // Thread 0 of block 0 runs first and faults before any other thread runs.
    EXPECT_EQ(written, c.expected == kSuccess ? 64u : 1u) << c.what;
  }
}

constexpr const char* kDynamicBound = R"(
.extern .shared .align 4 .b8 dyn[];

.visible .entry dynamic_bound(.param .u32 index)
{
  .reg .b32 %r<3>;
  ld.param.u32 %r1, [index];
  shl.b32 %r1, %r1, 2;
  mov.u32 %r2, dyn;
  add.u32 %r2, %r2, %r1;
  st.shared.u32 [%r2], %r1;
  ret;
}
)";

TEST(Memory, DynamicSharedMemoryEndsWhereTheLaunchSays) {
  auto program = compile_valid(module(kDynamicBound));
  ASSERT_NE(program, nullptr);
  HostMemory memory;
  const Config config{.block = {1, 1, 1}, .dynamic_shared = 64};
  EXPECT_EQ(launch(*program, "dynamic_bound", memory, Args().add(u32{15}), config), kSuccess);
  EXPECT_EQ(launch(*program, "dynamic_bound", memory, Args().add(u32{16}), config),
            kIllegalAddress);
  EXPECT_EQ(launch(*program, "dynamic_bound", memory, Args().add(u32{0}), {.block = {1, 1, 1}}),
            kIllegalAddress);
}

// A wide access at offset 8 of a 12-byte buffer or of 12 bytes of dynamic
// shared memory reaches past its end, through each
// access path. Global accesses first touch `buf` itself (or, for mode 9,
// `other`), so that they take the fast path through the last allocation used
// (or the lookup, for mode 9). Offset 0 is the in-bounds twin.
constexpr const char* kStraddle = R"(
.extern .shared .align 8 .b8 dyn[];

.visible .entry straddle(.param .u64 buf, .param .u64 other, .param .u32 mode, .param .u32 offset)
{
  .reg .pred %p;
  .reg .b32 %r<8>;
  .reg .b64 %rd<9>;
  ld.param.u64 %rd1, [buf];
  ld.param.u64 %rd2, [other];
  ld.param.u32 %r1, [mode];
  ld.param.u32 %r2, [offset];
  cvt.u64.u32 %rd3, %r2;
  add.u64 %rd4, %rd1, %rd3;
  mov.u32 %r4, dyn;
  add.u32 %r5, %r4, %r2;
  cvt.u64.u32 %rd7, %r5;
  cvta.shared.u64 %rd7, %rd7;
  mov.u64 %rd5, 1;
  setp.eq.u32 %p, %r1, 9;
  @%p ld.global.u32 %r3, [%rd2];
  @!%p ld.global.u32 %r3, [%rd1];
  setp.eq.u32 %p, %r1, 0;
  @%p ld.global.u64 %rd6, [%rd4];
  setp.eq.u32 %p, %r1, 1;
  @%p ld.global.v2.u32 {%r6, %r7}, [%rd4];
  setp.eq.u32 %p, %r1, 2;
  @%p st.global.u64 [%rd4], %rd5;
  setp.eq.u32 %p, %r1, 3;
  @%p st.global.v2.u32 [%rd4], {%r1, %r2};
  setp.eq.u32 %p, %r1, 4;
  @%p atom.global.add.u64 %rd6, [%rd4], %rd5;
  setp.eq.u32 %p, %r1, 5;
  @%p red.global.add.u64 [%rd4], %rd5;
  setp.eq.u32 %p, %r1, 6;
  @%p ld.global.nc.u64 %rd6, [%rd4];
  setp.eq.u32 %p, %r1, 7;
  @%p ld.u64 %rd6, [%rd4];
  setp.eq.u32 %p, %r1, 8;
  @%p st.u64 [%rd4], %rd5;
  setp.eq.u32 %p, %r1, 9;
  @%p ld.global.u64 %rd6, [%rd4];
  setp.eq.u32 %p, %r1, 10;
  @%p st.shared.u64 [%r5], %rd5;
  setp.eq.u32 %p, %r1, 11;
  @%p ld.shared.v2.u32 {%r6, %r7}, [%r5];
  setp.eq.u32 %p, %r1, 12;
  @%p atom.shared.add.u64 %rd6, [%r5], %rd5;
  setp.eq.u32 %p, %r1, 13;
  @%p st.u64 [%rd7], %rd5;
  ret;
}
)";

TEST(Memory, WideAccessesStraddlingTheEndFaultOnEveryPath) {
  auto program = compile_valid(module(kStraddle));
  ASSERT_NE(program, nullptr);
  const char* paths[] = {"ld.global (fast path)", "ld.global.v2",        "st.global",
                         "st.global.v2",          "atom.global",         "red.global",
                         "ld.global.nc",          "generic ld",          "generic st",
                         "ld.global (lookup)",    "st.shared",           "ld.shared.v2",
                         "atom.shared",           "generic st to shared"};
  for (u32 mode = 0; mode < std::size(paths); ++mode) {
    for (const u32 offset : {0u, 8u}) {
      HostMemory memory;
      const u64 buf = memory.upload(std::vector<u32>(3));
      const u64 other = memory.upload(std::vector<u32>(4));
      // Shared memory is read before anyone writes it: the bounds alone are under test here.
      const Config config{.block = {1, 1, 1}, .dynamic_shared = 12, .check = false};
      EXPECT_EQ(launch(*program, "straddle", memory,
                       Args().add(buf).add(other).add(mode).add(offset), config),
                offset == 0 ? kSuccess : kIllegalAddress)
          << paths[mode] << " at offset " << offset;
    }
  }
}

}  // namespace
}  // namespace vorlan::emu::testing
