// Measures how many PTX instructions per second the engine interprets on one
// core, on an integer loop kernel of the kind graph kernels spend their time
// in, or with `gather` on one that also loads from a table every iteration
// (so that the hazard checks and access counting of global loads show).
//
//   ptx_throughput [iterations per thread] [hazard checks: 1 (default) or 0] [loop (default) |
//   gather]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "ptx/kernel_runner.hpp"
#include "ptx/memory_shadow.hpp"

namespace {

constexpr const char* kLoopKernel = R"(
.version 8.5
.target sm_70
.address_size 64

.visible .entry loop_kernel(.param .u64 out, .param .u32 iterations)
{
  .reg .pred %p<2>;
  .reg .b32 %r<6>;
  .reg .b64 %rd<4>;
  ld.param.u64 %rd1, [out];
  ld.param.u32 %r1, [iterations];
  mov.u32 %r2, %tid.x;
  mov.u32 %r3, 0;
  mov.u32 %r4, 0;
$LOOP:
  mad.lo.u32 %r4, %r4, 33, %r2;
  xor.b32 %r4, %r4, %r3;
  add.u32 %r3, %r3, 1;
  setp.lt.u32 %p1, %r3, %r1;
  @%p1 bra $LOOP;
  mul.wide.u32 %rd2, %r2, 4;
  add.u64 %rd3, %rd1, %rd2;
  st.global.u32 [%rd3], %r4;
  ret;
}
)";

// acc = tid; per iteration i: acc = (acc + table[acc & 255]) ^ i.
constexpr const char* kGatherKernel = R"(
.version 8.5
.target sm_70
.address_size 64

.visible .entry gather_kernel(.param .u64 out, .param .u32 iterations)
{
  .reg .pred %p<2>;
  .reg .b32 %r<7>;
  .reg .b64 %rd<6>;
  ld.param.u64 %rd1, [out];
  ld.param.u32 %r1, [iterations];
  mov.u32 %r2, %tid.x;
  mov.u32 %r3, 0;
  mov.u32 %r4, %r2;
$LOOP:
  and.b32 %r5, %r4, 255;
  mul.wide.u32 %rd4, %r5, 4;
  add.u64 %rd5, %rd1, %rd4;
  ld.global.nc.u32 %r6, [%rd5+1024];
  add.u32 %r4, %r4, %r6;
  xor.b32 %r4, %r4, %r3;
  add.u32 %r3, %r3, 1;
  setp.lt.u32 %p1, %r3, %r1;
  @%p1 bra $LOOP;
  mul.wide.u32 %rd2, %r2, 4;
  add.u64 %rd3, %rd1, %rd2;
  st.global.u32 [%rd3], %r4;
  ret;
}
)";

constexpr std::uint32_t kTableWords = 256;

std::uint32_t table_word(std::uint32_t j) { return j * 2654435761u; }

struct Workload {
  const char* text;
  const char* kernel;
  std::uint64_t prologue, body, epilogue;  // instructions per thread
  std::uint32_t (*expected)(std::uint32_t tid, std::uint32_t iterations);
};

class OneBuffer final : public vorlan::emu::GlobalMemory {
 public:
  explicit OneBuffer(std::size_t bytes)
      : bytes_(bytes), shadow_(bytes), span_{0x100000, bytes, bytes_.data(), &shadow_} {}
  const vorlan::emu::MemorySpan* find(std::uint64_t address) const override {
    return address - span_.base < span_.size ? &span_ : nullptr;
  }
  std::uint64_t address() const { return span_.base; }
  const std::byte* data() const { return bytes_.data(); }
  void put(std::size_t offset, std::uint32_t value) {
    std::memcpy(bytes_.data() + offset, &value, 4);
    shadow_.mark_defined(offset, 4);
  }

 private:
  std::vector<std::byte> bytes_;
  vorlan::emu::MemoryShadow shadow_;
  vorlan::emu::MemorySpan span_;
};

std::uint32_t loop_value(std::uint32_t tid, std::uint32_t iterations) {
  std::uint32_t acc = 0;
  for (std::uint32_t i = 0; i < iterations; ++i) acc = (acc * 33 + tid) ^ i;
  return acc;
}

std::uint32_t gather_value(std::uint32_t tid, std::uint32_t iterations) {
  std::uint32_t acc = tid;
  for (std::uint32_t i = 0; i < iterations; ++i) acc = (acc + table_word(acc & 255)) ^ i;
  return acc;
}

constexpr Workload kLoop{kLoopKernel, "loop_kernel", 5, 5, 4, loop_value};
constexpr Workload kGather{kGatherKernel, "gather_kernel", 5, 9, 4, gather_value};

}  // namespace

int main(int argc, char** argv) {
  const std::uint32_t iterations =
      argc > 1 ? static_cast<std::uint32_t>(std::strtoul(argv[1], nullptr, 10)) : 20000;
  const bool check = argc > 2 ? std::strcmp(argv[2], "0") != 0 : true;
  const Workload& work = argc > 3 && std::strcmp(argv[3], "gather") == 0 ? kGather : kLoop;
  const vorlan::emu::Dim3 grid{4, 1, 1};
  const vorlan::emu::Dim3 block{256, 1, 1};
  auto program = vorlan::emu::compile_ptx(work.text);
  if (!program) {
    std::fprintf(stderr, "compile failed at line %d: %s\n", program.error().line,
                 program.error().reason.c_str());
    return 1;
  }
  const vorlan::emu::Kernel* kernel = (*program)->find_kernel(work.kernel);
  // The output words, then the table, written as the host would upload it.
  OneBuffer memory(std::size_t{block.x} * 4 + kTableWords * 4);
  for (std::uint32_t j = 0; j < kTableWords; ++j)
    memory.put(std::size_t{block.x} * 4 + j * 4, table_word(j));
  std::uint64_t out = memory.address();
  std::uint32_t count = iterations;
  void* args[] = {&out, &count};
  const auto params = vorlan::emu::pack_params(*kernel, args);
  vorlan::emu::LaunchRequest request{
      .kernel = kernel, .grid = grid, .block = block, .params = params, .check = check};

  const auto start = std::chrono::steady_clock::now();
  const CUresult result = vorlan::emu::execute(request, memory);
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  if (result != 0) {
    std::fprintf(stderr, "launch failed with %u\n", result);
    return 1;
  }
  for (std::uint32_t tid = 0; tid < block.x; ++tid) {
    std::uint32_t value;
    std::memcpy(&value, memory.data() + tid * 4, 4);
    if (value != work.expected(tid, iterations)) {
      std::fprintf(stderr, "wrong result for thread %u\n", tid);
      return 1;
    }
  }
  const std::uint64_t threads = std::uint64_t{grid.x} * block.x;
  const std::uint64_t instructions =
      threads * (work.prologue + work.body * iterations + work.epilogue);
  std::printf("%s, hazard checks %s\n", work.kernel, check ? "on" : "off");
  std::printf("PTX instructions: %llu in %.3f s\n", static_cast<unsigned long long>(instructions),
              elapsed.count());
  std::printf("PTX instructions per second: %.0f\n",
              static_cast<double>(instructions) / elapsed.count());
  return 0;
}
