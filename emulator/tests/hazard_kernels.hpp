// Kernels that each commit one hazard or, with the other value of their
// `k` parameter, do the same work cleanly. Every kernel takes (buf, k);
// buf holds 128 words.
#pragma once

namespace vorlan::emu::test {

inline constexpr const char* kHazardModule = R"(
.version 8.5
.target sm_70
.address_size 64

// Thread 0 writes buf[0]; after a barrier the other threads read buf[k]
// through the non-coherent path and store it to buf[32].
.visible .entry nc_after_write(.param .u64 buf, .param .u32 k)
{
  .reg .pred %p1;
  .reg .b32 %r<4>;
  .reg .b64 %rd<3>;
  ld.param.u64 %rd1, [buf];
  ld.param.u32 %r1, [k];
  mov.u32 %r2, %tid.x;
  setp.eq.u32 %p1, %r2, 0;
  @%p1 st.global.u32 [%rd1], 7;
  bar.sync 0;
  @%p1 bra DONE;
  mul.wide.u32 %rd2, %r1, 4;
  add.u64 %rd2, %rd1, %rd2;
  ld.global.nc.u32 %r3, [%rd2];
  st.global.u32 [%rd1+128], %r3;
DONE:
  ret;
}

// Thread 0 writes a shared word that thread 1 then reads: with k = 1 a
// barrier lies between them, with k = 0 none does.
.visible .entry shared_race(.param .u64 buf, .param .u32 k)
{
  .reg .pred %p<4>;
  .reg .b32 %r<5>;
  .reg .b64 %rd<2>;
  .shared .align 4 .b32 word;
  ld.param.u64 %rd1, [buf];
  ld.param.u32 %r1, [k];
  mov.u32 %r2, %tid.x;
  setp.eq.u32 %p1, %r2, 0;
  @%p1 st.shared.u32 [word], 5;
  setp.ne.u32 %p3, %r1, 0;
  @%p3 bar.sync 0;
  setp.eq.u32 %p2, %r2, 1;
  @!%p2 bra DONE;
  ld.shared.u32 %r3, [word];
  st.global.u32 [%rd1], %r3;
DONE:
  ret;
}

// Thread 0 reads global word k into buf[32]; the host wrote words 0 to 3 only.
.visible .entry read_undefined(.param .u64 buf, .param .u32 k)
{
  .reg .b32 %r<3>;
  .reg .b64 %rd<3>;
  ld.param.u64 %rd1, [buf];
  ld.param.u32 %r1, [k];
  mul.wide.u32 %rd2, %r1, 4;
  add.u64 %rd2, %rd1, %rd2;
  ld.global.u32 %r2, [%rd2];
  st.global.u32 [%rd1+128], %r2;
  ret;
}

// Thread 0 writes shared word 0 and reads word k.
.visible .entry read_undefined_shared(.param .u64 buf, .param .u32 k)
{
  .reg .pred %p1;
  .reg .b32 %r<6>;
  .reg .b64 %rd<2>;
  .shared .align 4 .b32 words[4];
  ld.param.u64 %rd1, [buf];
  ld.param.u32 %r1, [k];
  mov.u32 %r2, %tid.x;
  setp.ne.u32 %p1, %r2, 0;
  @%p1 bra DONE;
  st.shared.u32 [words], 1;
  mov.u32 %r3, words;
  shl.b32 %r4, %r1, 2;
  add.u32 %r3, %r3, %r4;
  ld.shared.u32 %r5, [%r3];
  st.global.u32 [%rd1], %r5;
DONE:
  ret;
}

// Every thread stores tid & k to buf[0]: one value for k = 0, several for k = 1.
.visible .entry store_conflict(.param .u64 buf, .param .u32 k)
{
  .reg .b32 %r<4>;
  .reg .b64 %rd<2>;
  ld.param.u64 %rd1, [buf];
  ld.param.u32 %r1, [k];
  mov.u32 %r2, %tid.x;
  and.b32 %r3, %r2, %r1;
  st.global.u32 [%rd1], %r3;
  ret;
}

// Lanes from k on exit; the rest shuffle with a full member mask.
.visible .entry shfl_after_exit(.param .u64 buf, .param .u32 k)
{
  .reg .pred %p<2>;
  .reg .b32 %r<4>;
  .reg .b64 %rd<3>;
  ld.param.u64 %rd1, [buf];
  ld.param.u32 %r1, [k];
  mov.u32 %r2, %tid.x;
  setp.ge.u32 %p1, %r2, %r1;
  @%p1 bra DONE;
  shfl.sync.idx.b32 %r3, %r2, 0, 31, 0xffffffff;
  mul.wide.u32 %rd2, %r2, 4;
  add.u64 %rd2, %rd1, %rd2;
  st.global.u32 [%rd2], %r3;
DONE:
  ret;
}

// Lanes whose tid & k is set vote at one instruction, the others at another,
// all with a full member mask.
.visible .entry vote_split(.param .u64 buf, .param .u32 k)
{
  .reg .pred %p<4>;
  .reg .b32 %r<5>;
  .reg .b64 %rd<3>;
  ld.param.u64 %rd1, [buf];
  ld.param.u32 %r1, [k];
  mov.u32 %r2, %tid.x;
  and.b32 %r3, %r2, %r1;
  setp.ne.u32 %p1, %r3, 0;
  @%p1 bra ODD;
  vote.sync.ballot.b32 %r4, %p1, 0xffffffff;
  bra STORE;
ODD:
  vote.sync.ballot.b32 %r4, %p1, 0xffffffff;
STORE:
  mul.wide.u32 %rd2, %r2, 4;
  add.u64 %rd2, %rd1, %rd2;
  st.global.u32 [%rd2], %r4;
  ret;
}

// The mirror of shared_race: thread 0 (warp 0) reads the word it defined
// before the first barrier, then thread 32 (warp 1) overwrites it; with
// k = 1 a second barrier lies between the read and the write.
.visible .entry shared_war(.param .u64 buf, .param .u32 k)
{
  .reg .pred %p<4>;
  .reg .b32 %r<4>;
  .reg .b64 %rd<2>;
  .shared .align 4 .b32 word;
  ld.param.u64 %rd1, [buf];
  ld.param.u32 %r1, [k];
  mov.u32 %r2, %tid.x;
  setp.eq.u32 %p1, %r2, 0;
  @%p1 st.shared.u32 [word], 5;
  bar.sync 0;
  @%p1 ld.shared.u32 %r3, [word];
  @%p1 st.global.u32 [%rd1], %r3;
  setp.ne.u32 %p3, %r1, 0;
  @%p3 bar.sync 0;
  setp.eq.u32 %p2, %r2, 32;
  @%p2 st.shared.u32 [word], 9;
  ret;
}

// Thread 0 stores to buf[k], then loads buf[0] through the non-coherent
// path: its own write for k = 0, a word the host wrote for k = 1.
.visible .entry nc_own_write(.param .u64 buf, .param .u32 k)
{
  .reg .pred %p1;
  .reg .b32 %r<4>;
  .reg .b64 %rd<3>;
  ld.param.u64 %rd1, [buf];
  ld.param.u32 %r1, [k];
  mov.u32 %r2, %tid.x;
  setp.ne.u32 %p1, %r2, 0;
  @%p1 bra DONE;
  mul.wide.u32 %rd2, %r1, 4;
  add.u64 %rd2, %rd1, %rd2;
  st.global.u32 [%rd2], 7;
  ld.global.nc.u32 %r3, [%rd1];
  st.global.u32 [%rd1+128], %r3;
DONE:
  ret;
}

// Run after a host copy of 6 bytes: word 1 holds two written bytes (4 and
// 5). k = 0 loads the whole word, k = 1 only its 16 written bits.
.visible .entry read_partial(.param .u64 buf, .param .u32 k)
{
  .reg .pred %p1;
  .reg .b16 %h1;
  .reg .b32 %r<3>;
  .reg .b64 %rd<2>;
  ld.param.u64 %rd1, [buf];
  ld.param.u32 %r1, [k];
  mov.u32 %r2, %tid.x;
  setp.ne.u32 %p1, %r2, 0;
  @%p1 bra DONE;
  setp.eq.u32 %p1, %r1, 0;
  @%p1 ld.global.u32 %r2, [%rd1+4];
  @%p1 st.global.u32 [%rd1+128], %r2;
  @!%p1 ld.global.u16 %h1, [%rd1+4];
  @!%p1 st.global.u16 [%rd1+128], %h1;
DONE:
  ret;
}

// Every thread shuffles with member mask k; run on 16 threads, where lanes 16
// to 31 do not exist: 0xffffffff names them, 0x0000ffff does not.
.visible .entry shfl_partial_warp(.param .u64 buf, .param .u32 k)
{
  .reg .b32 %r<4>;
  .reg .b64 %rd<3>;
  ld.param.u64 %rd1, [buf];
  ld.param.u32 %r1, [k];
  mov.u32 %r2, %tid.x;
  shfl.sync.idx.b32 %r3, %r2, 0, 31, %r1;
  mul.wide.u32 %rd2, %r2, 4;
  add.u64 %rd2, %rd1, %rd2;
  st.global.u32 [%rd2], %r3;
  ret;
}

// Hand-counted costs, see CountersMatchTheHandCount: threads below 40 store
// their index to buf[tid], add 1 to buf[64] and write shared word tid.
.visible .entry counted(.param .u64 buf)
{
  .reg .pred %p1;
  .reg .b32 %r<6>;
  .reg .b64 %rd<4>;
  .shared .align 4 .b32 sh[64];
  ld.param.u64 %rd1, [buf];
  mov.u32 %r1, %tid.x;
  setp.lt.u32 %p1, %r1, 40;
  @!%p1 bra DONE;
  mul.wide.u32 %rd2, %r1, 4;
  add.u64 %rd3, %rd1, %rd2;
  st.global.u32 [%rd3], %r1;
  atom.global.add.u32 %r2, [%rd1+256], 1;
  mov.u32 %r3, sh;
  shl.b32 %r4, %r1, 2;
  add.u32 %r5, %r3, %r4;
  st.shared.u32 [%r5], %r1;
DONE:
  ret;
}
)";

}  // namespace vorlan::emu::test
