// Host arrays and the software GPU's host pages either side of the size at
// which their blocks move from the heap to mapped pages (4 MiB). Allocation
// and release must agree on which side a block lies: a mapped block handed to
// free(), or a heap block to munmap(), ends the process ("free(): invalid
// size"), and with it this test.
#include "python/host_array.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <numeric>

#include "common/mapped_pages.hpp"

namespace vorlan {
namespace {

using common::kMappedFrom;

TEST(MappedPages, TheSwitchIsAtFourMebibytes) {
  EXPECT_FALSE(common::is_mapped(kMappedFrom - 1));
  EXPECT_TRUE(common::is_mapped(kMappedFrom));
}

// Element counts of u32 arrays: one short of 4 MiB, exactly, one over.
class HostArrayAtTheSwitch : public ::testing::TestWithParam<std::ptrdiff_t> {};

TEST_P(HostArrayAtTheSwitch, HoldsWhatIsWrittenAndIsGivenBack) {
  const std::size_t count = kMappedFrom / sizeof(std::uint32_t) + GetParam();
  for (int round = 0; round < 3; ++round) {  // released blocks are reused
    python::HostArray<std::uint32_t> values(count);
    std::iota(values.begin(), values.end(), std::uint32_t{7});
    EXPECT_EQ(values.front(), 7u);
    EXPECT_EQ(values.back(), 7u + count - 1);
  }
}

TEST_P(HostArrayAtTheSwitch, GrowsAcrossTheSwitch) {
  const std::size_t count = kMappedFrom / sizeof(std::uint32_t) + GetParam();
  python::HostArray<std::uint32_t> values;
  values.reserve(count - 1);
  for (std::size_t i = 0; i < count; ++i) values.push_back(static_cast<std::uint32_t>(i));
  values.shrink_to_fit();
  ASSERT_EQ(values.size(), count);
  EXPECT_EQ(values[count - 1], count - 1);
  EXPECT_EQ(values[count / 2], count / 2);
}

INSTANTIATE_TEST_SUITE_P(ElementsAroundFourMebibytes, HostArrayAtTheSwitch,
                         ::testing::Values(-1, 0, 1));

// Byte sizes for the software GPU's zeroed pages; the heap is dirtied with a
// block of the same size first, so a block that came back unzeroed shows.
class ZeroedPagesAtTheSwitch : public ::testing::TestWithParam<std::ptrdiff_t> {};

TEST_P(ZeroedPagesAtTheSwitch, ComeZeroedAndAreGivenBack) {
  const std::size_t bytes = kMappedFrom + GetParam();
  void* dirty = common::allocate_pages(bytes, common::Fill::kUninitialised);
  ASSERT_NE(dirty, nullptr);
  std::memset(dirty, 0xA5, bytes);
  common::free_pages(dirty, bytes);

  auto* zeroed = static_cast<unsigned char*>(common::allocate_pages(bytes, common::Fill::kZeroed));
  ASSERT_NE(zeroed, nullptr);
  std::size_t nonzero = 0;
  for (std::size_t i = 0; i < bytes; ++i) nonzero += zeroed[i] != 0;
  EXPECT_EQ(nonzero, 0u);
  common::free_pages(zeroed, bytes);
}

INSTANTIATE_TEST_SUITE_P(BytesAroundFourMebibytes, ZeroedPagesAtTheSwitch,
                         ::testing::Values(-1, 0, 1));

}  // namespace
}  // namespace vorlan
