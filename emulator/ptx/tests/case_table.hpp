// Table-driven instruction tests. Each case is one PTX fragment that computes
// %d from %a and %b, next to the host computation of the same result. The
// cases of a table are assembled into one kernel in which thread t reads
// inputs a[t], b[t] and writes case i's %d to out[t * cases + i].
#pragma once

#include <bit>
#include <cmath>
#include <format>
#include <functional>
#include <string>
#include <vector>

#include "ptx_harness.hpp"

namespace vorlan::emu::testing {

template <class In, class Out>
struct Case {
  std::string ptx;
  std::function<Out(In, In)> expected;
};

template <class In, class Out>
std::string case_kernel(std::string_view in_type, std::string_view out_type,
                        const std::vector<Case<In, Out>>& cases) {
  std::string body =
      std::format(R"(.visible .entry cases(.param .u64 pa, .param .u64 pb, .param .u64 pout)
{{
  .reg .pred %p, %q;
  .reg .b32 %t;
  .reg .b64 %rd<8>;
  .reg .{0} %a, %b;
  .reg .{1} %d;
  .reg .b32 %x, %y;
  .reg .b64 %xd;
  .reg .f32 %f;
  .reg .f64 %fd;
  ld.param.u64 %rd1, [pa];
  ld.param.u64 %rd2, [pb];
  ld.param.u64 %rd3, [pout];
  mov.u32 %t, %tid.x;
  mul.wide.u32 %rd4, %t, {2};
  add.u64 %rd5, %rd1, %rd4;
  ld.global.{0} %a, [%rd5];
  add.u64 %rd5, %rd2, %rd4;
  ld.global.{0} %b, [%rd5];
  mul.wide.u32 %rd6, %t, {3};
  add.u64 %rd6, %rd3, %rd6;
)",
                  in_type, out_type, sizeof(In), sizeof(Out) * cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    body += "  " + cases[i].ptx + "\n";
    body += std::format("  st.global.{} [%rd6+{}], %d;\n", out_type, i * sizeof(Out));
  }
  return module(body + "  ret;\n}\n");
}

// Runs every case on every input pair and compares with the host results.
// Float results travel as bit patterns; any NaN matches any NaN, since PTX
// does not promise a particular NaN payload.
template <class Out>
bool same_result(Out got, Out want, bool float_bits) {
  if (!float_bits) return got == want;
  if constexpr (sizeof(Out) == 4) {
    if (std::isnan(std::bit_cast<float>(got)) && std::isnan(std::bit_cast<float>(want)))
      return true;
  } else if constexpr (sizeof(Out) == 8) {
    if (std::isnan(std::bit_cast<double>(got)) && std::isnan(std::bit_cast<double>(want)))
      return true;
  }
  return got == want;
}

template <class In, class Out>
void check_cases(std::string_view in_type, std::string_view out_type,
                 const std::vector<Case<In, Out>>& cases,
                 const std::vector<std::pair<In, In>>& inputs, bool float_bits = false) {
  const std::string ptx = case_kernel<In, Out>(in_type, out_type, cases);
  auto program = compile_valid(ptx);
  ASSERT_NE(program, nullptr);
  std::vector<In> a;
  std::vector<In> b;
  for (const auto& [x, y] : inputs) {
    a.push_back(x);
    b.push_back(y);
  }
  HostMemory memory;
  const std::uint64_t pa = memory.upload(a);
  const std::uint64_t pb = memory.upload(b);
  const std::uint64_t out = memory.upload(std::vector<Out>(inputs.size() * cases.size()));
  const Config config{.block = {static_cast<std::uint32_t>(inputs.size()), 1, 1}};
  ASSERT_EQ(launch(*program, "cases", memory, Args().add(pa).add(pb).add(out), config), kSuccess);
  const auto results = memory.download<Out>(out, inputs.size() * cases.size());
  for (std::size_t t = 0; t < inputs.size(); ++t) {
    for (std::size_t i = 0; i < cases.size(); ++i) {
      const Out want = cases[i].expected(a[t], b[t]);
      const Out got = results[t * cases.size() + i];
      EXPECT_TRUE(same_result(got, want, float_bits))
          << cases[i].ptx << "\n  with a=" << +a[t] << " b=" << +b[t] << ": got " << +got << " (0x"
          << std::hex << +got << "), want " << std::dec << +want << " (0x" << std::hex << +want
          << ")";
    }
  }
}

}  // namespace vorlan::emu::testing
