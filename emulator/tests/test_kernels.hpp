// Small PTX modules (ISA 8.5, sm_70, 64-bit addresses) whose kernels each do
// one thing a driver test needs: write known values, read out of bounds, read
// misaligned, never stop, or use shared memory.
#pragma once

namespace vorlan::emu::test {

// write_indices_kernel(out, n, add): out[i] = 2 * i + add for i < n.
// read_at_kernel(in, out, index): out[0] = in[index].
// load_misaligned_kernel(in, out): out[0] = the 32-bit word at in + 1.
// spin_kernel(): loops forever.
// shared_kernel(out): uses 40 KiB of static shared memory.
inline constexpr const char* kTestModule = R"(
.version 8.5
.target sm_70
.address_size 64

.visible .entry write_indices_kernel(
    .param .u64 out,
    .param .u32 n,
    .param .u32 add
)
{
    .reg .pred %p<2>;
    .reg .b32 %r<9>;
    .reg .b64 %rd<5>;

    ld.param.u64 %rd1, [out];
    ld.param.u32 %r1, [n];
    ld.param.u32 %r2, [add];
    mov.u32 %r3, %ctaid.x;
    mov.u32 %r4, %ntid.x;
    mov.u32 %r5, %tid.x;
    mad.lo.s32 %r6, %r3, %r4, %r5;
    setp.ge.u32 %p1, %r6, %r1;
    @%p1 bra DONE;
    shl.b32 %r7, %r6, 1;
    add.s32 %r8, %r7, %r2;
    cvta.to.global.u64 %rd2, %rd1;
    mul.wide.u32 %rd3, %r6, 4;
    add.s64 %rd4, %rd2, %rd3;
    st.global.u32 [%rd4], %r8;
DONE:
    ret;
}

.visible .entry read_at_kernel(
    .param .u64 in,
    .param .u64 out,
    .param .u32 index
)
{
    .reg .b32 %r<3>;
    .reg .b64 %rd<7>;

    ld.param.u64 %rd1, [in];
    ld.param.u64 %rd2, [out];
    ld.param.u32 %r1, [index];
    cvta.to.global.u64 %rd3, %rd1;
    cvta.to.global.u64 %rd4, %rd2;
    mul.wide.u32 %rd5, %r1, 4;
    add.s64 %rd6, %rd3, %rd5;
    ld.global.u32 %r2, [%rd6];
    st.global.u32 [%rd4], %r2;
    ret;
}

.visible .entry load_misaligned_kernel(
    .param .u64 in,
    .param .u64 out
)
{
    .reg .b32 %r<2>;
    .reg .b64 %rd<5>;

    ld.param.u64 %rd1, [in];
    ld.param.u64 %rd2, [out];
    cvta.to.global.u64 %rd3, %rd1;
    cvta.to.global.u64 %rd4, %rd2;
    ld.global.u32 %r1, [%rd3+1];
    st.global.u32 [%rd4], %r1;
    ret;
}

.visible .entry spin_kernel()
{
    .reg .b32 %r<2>;

    mov.u32 %r1, 0;
LOOP:
    add.s32 %r1, %r1, 1;
    bra LOOP;
}

.visible .entry shared_kernel(
    .param .u64 out
)
{
    .shared .align 4 .b8 buffer[40960];
    .reg .b32 %r<2>;
    .reg .b64 %rd<3>;

    ld.param.u64 %rd1, [out];
    cvta.to.global.u64 %rd2, %rd1;
    mov.u32 %r1, 5;
    st.shared.u32 [buffer], %r1;
    ld.shared.u32 %r1, [buffer];
    st.global.u32 [%rd2], %r1;
    ret;
}
)";

// Well-formed except for a PTX version no toolchain has produced.
inline constexpr const char* kFutureVersionModule = R"(
.version 99.0
.target sm_70
.address_size 64

.visible .entry nothing_kernel()
{
    ret;
}
)";

}  // namespace vorlan::emu::test
