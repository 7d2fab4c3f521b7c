// The device's exclusive scan against std::exclusive_scan: sizes around the
// tile and the carry kernel's round (256 tiles), grids too small to cover the
// input in one pass (the tile kernels' stride), sums that wrap, a scan in
// place; and the launches it issues, each made to fail in turn.
#include "engine/scan.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "driver/context.hpp"
#include "driver/memory.hpp"
#include "engine/kernel_steps.hpp"
#include "software_gpu.hpp"

namespace vorlan::engine {
namespace {

using Words = std::vector<std::uint32_t>;

template <class T>
T must(driver::DriverResult<T> result, std::string_view what) {
  if (!result)
    throw std::runtime_error(std::string(what) + ": " + driver::to_string(result.error()));
  if constexpr (!std::is_void_v<T>) return std::move(*result);
}

// n values below `bound` (all of 32 bits when 0), the same for every run.
Words random_words(std::uint32_t n, std::uint32_t bound, std::uint32_t seed) {
  std::mt19937 engine(seed);
  Words values(n);
  for (auto& value : values) {
    const auto word = static_cast<std::uint32_t>(engine());
    value = bound == 0 ? word : word % bound;
  }
  return values;
}

Words host_scan(const Words& values) {
  Words sums(values.size() + 1);
  std::exclusive_scan(values.begin(), values.end(), sums.begin(), std::uint32_t{0});
  sums.back() = values.empty() ? 0 : sums[values.size() - 1] + values.back();
  return sums;
}

class ScanFixture : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    auto context = must(driver::DeviceContext::create(0), "DeviceContext::create");
    stream_ = std::make_shared<driver::DeviceStream>(context);
  }
  static void TearDownTestSuite() { stream_.reset(); }
  void TearDown() override { grid_cap_for_tests = 0; }

  // The device's sums of `values`, through a separate output buffer
  // prefilled with a pattern (so that a word left unwritten shows), or in
  // place.
  static Words device_scan(const Words& values, bool in_place = false) {
    const auto n = static_cast<std::uint32_t>(values.size());
    Words padded = values;
    padded.push_back(0xDEADBEEF);
    auto input = must(driver::upload<std::uint32_t>(stream_, padded), "upload");
    if (in_place) {
      expect_scanned(exclusive_scan_step(stream_, input, input, n));
      return must(driver::download(*stream_, input), "download");
    }
    auto sums = must(driver::upload<std::uint32_t>(stream_, Words(n + 1, 0xDEADBEEF)), "upload");
    expect_scanned(exclusive_scan_step(stream_, input, sums, n));
    return must(driver::download(*stream_, sums), "download");
  }

  static void expect_scanned(const GpuResult<>& result) {
    if (!result) throw std::runtime_error("scan failed: " + result.error().display());
  }

  static inline driver::SharedStream stream_;
};

struct Case {
  std::uint32_t n;
  std::uint32_t grid_cap;  // 0: as many blocks as tiles
  std::uint32_t bound;     // values below it; 0: any 32-bit value, sums wrap
};

void PrintTo(const Case& c, std::ostream* out) {
  *out << "n" << c.n << "_cap" << c.grid_cap << "_bound" << c.bound;
}

class ScanTest : public ScanFixture, public ::testing::WithParamInterface<Case> {};

TEST_P(ScanTest, MatchesTheHostScan) {
  const Case c = GetParam();
  const Words values = random_words(c.n, c.bound, c.n + 17);
  grid_cap_for_tests = c.grid_cap;
  EXPECT_EQ(device_scan(values), host_scan(values));
}

TEST_P(ScanTest, ScansInPlace) {
  const Case c = GetParam();
  const Words values = random_words(c.n, c.bound, c.n + 29);
  grid_cap_for_tests = c.grid_cap;
  EXPECT_EQ(device_scan(values, true), host_scan(values));
}

// 65,793 = 257 tiles of 256 and one more element: the carry kernel needs a
// second round, and the last tile holds one element.
INSTANTIATE_TEST_SUITE_P(Sizes, ScanTest,
                         ::testing::Values(Case{0, 0, 10}, Case{1, 0, 10}, Case{31, 0, 10},
                                           Case{255, 0, 10}, Case{256, 0, 10}, Case{257, 0, 10},
                                           Case{1000, 0, 0}, Case{65'793, 0, 1000},
                                           Case{65'793, 3, 0}, Case{5'000, 1, 1000},
                                           Case{300'000, 7, 100}));

// Past 2^24 elements: 65,537 tiles, the carry kernel's 257th round.
TEST_F(ScanFixture, ScansPastTwoToTheTwentyFour) {
  const Words values = random_words((1u << 24) + 300, 4, 5);
  EXPECT_EQ(device_scan(values), host_scan(values));
}

// The scan is three launches and touches no host memory: nothing is copied
// either way (n = 0 has only the total to write, and one launch).
TEST_F(ScanFixture, LaunchesOnlyWithoutCopies) {
  for (const std::uint32_t n : {0u, 1u, 4'000u}) {
    auto input = must(driver::upload<std::uint32_t>(stream_, Words(n, 1)), "upload");
    auto sums = must(driver::allocate<std::uint32_t>(stream_, n + 1), "allocate");
    expect_scanned(exclusive_scan_step(stream_, input, sums, 0));  // loads the module
    test::CallCounter calls;
    expect_scanned(exclusive_scan_step(stream_, input, sums, n));
    const auto made = calls.device_work();
    EXPECT_EQ(calls.made("cuLaunchKernel"), n == 0 ? 1u : 3u) << "n = " << n;
    EXPECT_FALSE(made.contains("cuMemcpyHtoDAsync_v2")) << "n = " << n;
    EXPECT_FALSE(made.contains("cuMemcpyDtoHAsync_v2")) << "n = " << n;
    EXPECT_EQ(must(driver::download(*stream_, sums), "download"), host_scan(Words(n, 1)));
  }
}

// Each launch refused in turn: the error names its step, and a scan after
// it is right again.
class ScanFaults : public ScanFixture,
                   public ::testing::WithParamInterface<std::pair<unsigned, std::string_view>> {};

TEST_P(ScanFaults, RefusedLaunchNamesItsStep) {
  const auto [nth, step] = GetParam();
  const Words values = random_words(600, 50, 3);
  auto input = must(driver::upload<std::uint32_t>(stream_, values), "upload");
  auto sums = must(driver::allocate<std::uint32_t>(stream_, values.size() + 1), "allocate");
  expect_scanned(exclusive_scan_step(stream_, input, sums, 0));  // loads the module
  test::fail_call("cuLaunchKernel", cuda::CUDA_ERROR_LAUNCH_OUT_OF_RESOURCES, nth);
  const auto result = exclusive_scan_step(stream_, input, sums, 600);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().display(),
            "kernel error: " + std::string(step) + ": " +
                driver::to_string(driver::DriverError(cuda::CUDA_ERROR_LAUNCH_OUT_OF_RESOURCES)));
  EXPECT_EQ(device_scan(values), host_scan(values));
}

INSTANTIATE_TEST_SUITE_P(Launches, ScanFaults,
                         ::testing::Values(std::pair{1u, "scan tile-total kernel failed"},
                                           std::pair{2u, "scan carry kernel failed"},
                                           std::pair{3u, "scan tile kernel failed"}));

TEST_F(ScanFixture, FailedScratchAllocationIsTheDriversError) {
  auto input = must(driver::upload<std::uint32_t>(stream_, Words(300, 1)), "upload");
  auto sums = must(driver::allocate<std::uint32_t>(stream_, 301), "allocate");
  expect_scanned(exclusive_scan_step(stream_, input, sums, 0));
  const bool pooled = stream_->context().pooled_alloc();
  test::fail_call(pooled ? "cuMemAllocAsync" : "cuMemAlloc_v2", cuda::CUDA_ERROR_OUT_OF_MEMORY);
  test::CallCounter calls;
  const auto result = exclusive_scan_step(stream_, input, sums, 300);
  ASSERT_FALSE(result.has_value());
  EXPECT_TRUE(std::holds_alternative<GpuError::Driver>(result.error().variant()) ||
              std::holds_alternative<GpuError::OutOfMemory>(result.error().variant()))
      << result.error().display();
  EXPECT_EQ(calls.made("cuLaunchKernel"), 0u);
}

}  // namespace
}  // namespace vorlan::engine
