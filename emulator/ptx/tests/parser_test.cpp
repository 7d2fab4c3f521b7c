// What the engine accepts as a module and what it refuses. Invalid text is
// refused with CUDA_ERROR_INVALID_PTX (and ptxas, where installed, agrees it
// is invalid); valid PTX beyond the engine's instruction set is refused with
// the same code; a newer ISA version with CUDA_ERROR_UNSUPPORTED_PTX_VERSION.
#include <string>

#include "ptx_harness.hpp"

namespace vorlan::emu::testing {
namespace {

constexpr CUresult kUnsupportedVersion = vorlan::cuda::CUDA_ERROR_UNSUPPORTED_PTX_VERSION;

constexpr const char* kFeatures = R"(// leading comment
.version 8.5
.target sm_70
.address_size 64

.shared .align 8 .b8 scratch[40];   /* used by first only */

/* a block comment
   over several lines */
.visible .entry first(
    .param .u64 .ptr .global .align 8 out,
    .param .u32 n
)
.maxntid 256, 1, 1
{
  .reg .pred %p<2>;
  .reg .b32 %r<4>, %extra;
  .reg .b64 %rd<3>;
  ld.param.u64 %rd1, [out];
  ld.param.u32 %r1, [n];
  mov.u32 %r2, 0;
  {
    .reg .b32 %inner;
    mov.u32 %inner, scratch;
    st.shared.u32 [%inner], %r1;
  }
$loop:
  add.u32 %r2, %r2, 2;   // trailing comment
  setp.lt.u32 %p1, %r2, %r1;
  @%p1 bra.uni $loop;
  st.global.u32 [%rd1], %r2;
  ret;
}

.entry second()
{
  .shared .align 16 .f32 tile[8][4];
  exit;
}
)";

TEST(Parser, AcceptsTheModuleFeaturesKernelsUse) {
  auto program = compile_valid(kFeatures);
  ASSERT_NE(program, nullptr);
  const Kernel* first = program->find_kernel("first");
  const Kernel* second = program->find_kernel("second");
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(program->find_kernel("third"), nullptr);
  EXPECT_EQ(first->name(), "first");
  EXPECT_EQ(first->static_shared_bytes(), 40u);    // the module variable it uses
  EXPECT_EQ(second->static_shared_bytes(), 128u);  // its own 8x4 floats only
  EXPECT_EQ(first->param_space_bytes(), 12u);
  HostMemory memory;
  const std::uint64_t out = memory.upload(std::vector<std::uint32_t>{0});
  ASSERT_EQ(launch(*program, "first", memory, Args().add(out).add(std::uint32_t{9}),
                   {.block = {1, 1, 1}}),
            kSuccess);
  EXPECT_EQ(memory.read<std::uint32_t>(out), 10u);
  EXPECT_EQ(launch(*program, "second", memory, Args(), {.block = {3, 1, 1}}), kSuccess);
}

TEST(Parser, PointerAttributesDoNotChangeTheParameterLayout) {
  // The .align after .ptr is the pointee's; the parameter itself stays 8-aligned.
  auto program =
      compile_valid(module(".visible .entry k(.param .u8 flag, .param .u64 .ptr .global .align 1 "
                           "bytes, .param .u64 .ptr .align 16 v)\n"
                           "{\n  ret;\n}\n"));
  ASSERT_NE(program, nullptr);
  const auto layout = program->find_kernel("k")->params();
  ASSERT_EQ(layout.size(), 3u);
  EXPECT_EQ(layout[1].offset, 8u);
  EXPECT_EQ(layout[2].offset, 16u);
  EXPECT_EQ(program->find_kernel("k")->param_space_bytes(), 24u);
}

std::string with_version(const char* version) {
  return std::string(".version ") + version +
         "\n.target sm_75\n.address_size 64\n.visible .entry k()\n{\n  ret;\n}\n";
}

TEST(Parser, VersionsUpToEightFiveAreAccepted) {
  for (const char* version : {"7.0", "8.0", "8.5"}) {
    EXPECT_NE(compile_valid(with_version(version)), nullptr) << version;
  }
  for (const char* version : {"8.6", "8.10", "9.0", "10.1"}) {
    auto program = compile_ptx(with_version(version));
    ASSERT_FALSE(program.has_value()) << version;
    EXPECT_EQ(program.error().code, kUnsupportedVersion) << version;
    EXPECT_EQ(program.error().line, 1) << version;
  }
}

struct Refusal {
  const char* body;  // the lines inside `.visible .entry k(.param .u64 p) { ... }`
  const char* why;
};

std::string entry(const char* body) {
  return module(
      std::string(".visible .entry k(.param .u64 p)\n{\n  .reg .pred %p;\n  .reg .b32 %r, %s;\n"
                  "  .reg .u32 %u;\n  .reg .b16 %h;\n  .reg .b64 %rd;\n  .reg .f32 %f;\n") +
      body + "\n  ret;\n}\n");
}

// Text that is not valid PTX: ptxas refuses it too.
const Refusal kInvalid[] = {
    {"  add.u32 %r, %q, 1;", "an undeclared register"},
    {"  add.u32 %r, %rd, 1;", "a 64-bit register in a 32-bit operation"},
    {"  add.u32 %r, %f, 1;", "a float register in an integer operation"},
    {"  add.f32 %f, %f, %u;", "a .u32 register in a float operation"},
    {"  add.u32 %r, %r;", "a missing operand"},
    {"  add.u32 %r, %r, 1, 2;", "a surplus operand"},
    {"  bra $nowhere;", "an undefined label"},
    {"  add.u32 %r, %r, 1", "a missing semicolon"},
    {"  mul.u32 %r, %r, %r;", "integer mul without .lo/.hi/.wide"},
    {"  setp.u32 %p, %r, %r;", "setp without a comparison"},
    {"  setp.lo.s32 %p, %r, %r;", "an unsigned comparison of signed values"},
    {"  setp.equ.u32 %p, %r, %r;", "an unordered comparison of integers"},
    {"  cvt.f32.u32 %f, %r;", "int-to-float cvt without rounding"},
    {"  cvt.rni.s32.f32 %r, %u;", "cvt reading a .u32 register as a float"},
    {"  div.f32 %f, %f, %f;", "float div without .rn/.approx/.full"},
    {"  fma.f32 %f, %f, %f, %f;", "fma without rounding"},
    {"  atom.global.add.b32 %r, [%rd], 1;", "atomic add on a bit type"},
    {"  st.global.nc.u32 [%rd], %r;", ".nc on a store"},
    {"  shfl.down.b32 %r, %r, 1, 31;", "shfl without .sync (invalid for this target)"},
    {"  ld.global.u32 %r, [16];", "an absolute address outside .local"},
    {"  ld.global.u32 %r, [p];", "a parameter read as global memory"},
    {"  mov.u32 %tid.x, 1;", "writing a special register"},
    {"  .reg .b32 %r;", "a register declared twice"},
    {"$a:\n$a:\n  mov.u32 %r, 1;", "a label defined twice"},
    {"  ld.global.v4.u64 {%rd, %rd, %rd, %rd}, [%rd];", "a 32-byte vector"},
    {"  add.u32 %r, %r, 0f3F800000;", "a float constant for an integer operand"},
    {"  selp.u32 %r, %r, %r, %r;", "selp with a non-predicate selector"},
    {"  /* never closed", "an unterminated comment"},
};

TEST(Parser, InvalidTextIsRefusedLikePtxasDoes) {
  for (const Refusal& refusal : kInvalid) {
    const std::string ptx = entry(refusal.body);
    EXPECT_EQ(refusal_code(ptx), kInvalidPtx) << refusal.why;
    expect_ptxas_refuses(ptx);
  }
}

// Valid PTX outside what the engine implements.
const Refusal kUnsupported[] = {
    {"  brev.b32 %r, %r;", "an instruction the engine lacks"},
    {"  .local .align 4 .b8 stack[16];", "local memory"},
    {"  ld.const.u32 %r, [%rd];", "the constant space"},
    {"  bar.arrive 0, 64;", "bar.arrive"},
    {"  add.cc.u32 %r, %r, 1;", "a carry-out modifier"},
    {"  ld.global.L1::evict_last.u32 %r, [%rd];", "an eviction priority"},
    {"  cvt.rn.f16.f32 %h, %f;", "half precision"},
};

TEST(Parser, ValidButUnimplementedPtxIsRefused) {
  for (const Refusal& refusal : kUnsupported) {
    EXPECT_EQ(refusal_code(entry(refusal.body)), kInvalidPtx) << refusal.why;
    expect_ptxas_accepts(entry(refusal.body));
  }
  const char* modules[] = {
      ".version 8.5\n.target sm_75\n.address_size 64\n.func f()\n{\n  ret;\n}\n",
      ".version 8.5\n.target sm_75\n.address_size 64\n.global .u32 counter;\n.visible .entry "
      "k()\n{\n  ret;\n}\n",
      ".version 8.5\n.target sm_75\n.address_size 32\n.visible .entry k()\n{\n  ret;\n}\n",
      ".version 8.5\n.target sm_75\n.address_size 64\n",
      ".target sm_75\n.version 8.5\n.address_size 64\n.visible .entry k()\n{\n  ret;\n}\n",
  };
  for (const char* text : modules) EXPECT_EQ(refusal_code(text), kInvalidPtx) << text;
}

TEST(Parser, RefusalsNameTheirLine) {
  auto program = compile_ptx(entry("  mov.u32 %r, 1;\n  popc.b64 %r, %rd, %rd;"));
  ASSERT_FALSE(program.has_value());
  EXPECT_EQ(program.error().code, kInvalidPtx);
  EXPECT_EQ(program.error().line, 14);
  EXPECT_NE(program.error().reason.find("popc"), std::string::npos) << program.error().reason;
}

}  // namespace
}  // namespace vorlan::emu::testing
