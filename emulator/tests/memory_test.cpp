// Device memory: allocation limits, addresses, release, copies and fills.
#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "emu_fixture.hpp"

namespace vorlan::emu::test {
namespace {

using MemoryTest = EmuTest;

TEST_F(MemoryTest, ZeroBytesIsRefused) {
  open_device();
  CUdeviceptr address = 7;
  EXPECT_EQ(cu.cuMemAlloc_v2(&address, 0), CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(cu.cuMemAllocAsync(&address, 0, nullptr), CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(address, 7u);
  EXPECT_EQ(cu.cuMemAlloc_v2(nullptr, 16), CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(live().allocations, 0u);
}

TEST_F(MemoryTest, CapacityIsEnforced) {
  setenv("VORLAN_EMU_MEMORY", "1M", 1);
  open_device();
  CUdeviceptr too_big = 0;
  EXPECT_EQ(cu.cuMemAlloc_v2(&too_big, (1u << 20) + 1), CUDA_ERROR_OUT_OF_MEMORY);
  CUdeviceptr whole = allocate(1u << 20);
  CUdeviceptr one = 0;
  EXPECT_EQ(cu.cuMemAlloc_v2(&one, 1), CUDA_ERROR_OUT_OF_MEMORY);
  EXPECT_EQ(cu.cuMemAllocAsync(&one, 1, nullptr), CUDA_ERROR_OUT_OF_MEMORY);
  EXPECT_EQ(cu.cuMemAlloc_v2(&one, SIZE_MAX), CUDA_ERROR_OUT_OF_MEMORY);
  ASSERT_EQ(cu.cuMemFree_v2(whole), CUDA_SUCCESS);
  EXPECT_EQ(cu.cuMemAlloc_v2(&one, 1), CUDA_SUCCESS) << "freed memory is available again";
}

TEST_F(MemoryTest, FreeMemoryShrinksByTheRoundedSize) {
  setenv("VORLAN_EMU_MEMORY", "64K", 1);
  open_device();
  std::size_t free = 0, total = 0;
  ASSERT_EQ(cu.cuMemGetInfo_v2(&free, &total), CUDA_SUCCESS);
  EXPECT_EQ(free, 65536u);
  EXPECT_EQ(total, 65536u);
  CUdeviceptr small = allocate(1);
  CUdeviceptr exact = allocate(512);
  ASSERT_EQ(cu.cuMemGetInfo_v2(&free, &total), CUDA_SUCCESS);
  EXPECT_EQ(free, 65536u - 256 - 512);
  ASSERT_EQ(cu.cuMemFree_v2(small), CUDA_SUCCESS);
  ASSERT_EQ(cu.cuMemFree_v2(exact), CUDA_SUCCESS);
  ASSERT_EQ(cu.cuMemGetInfo_v2(&free, &total), CUDA_SUCCESS);
  EXPECT_EQ(free, 65536u);
  EXPECT_EQ(cu.cuMemGetInfo_v2(nullptr, &total), CUDA_ERROR_INVALID_VALUE);
}

TEST_F(MemoryTest, AddressesAreAlignedDistinctAndNeverReused) {
  open_device();
  std::set<CUdeviceptr> seen;
  std::vector<std::pair<CUdeviceptr, std::size_t>> ranges;
  for (std::size_t bytes : {1u, 3u, 256u, 257u, 4096u, 100000u, 7u}) {
    CUdeviceptr address = allocate(bytes);
    EXPECT_NE(address, 0u);
    EXPECT_EQ(address % 256, 0u) << bytes;
    EXPECT_TRUE(seen.insert(address).second) << "address handed out twice";
    ranges.emplace_back(address, bytes);
  }
  std::ranges::sort(ranges);
  for (std::size_t i = 1; i < ranges.size(); ++i) {
    EXPECT_GE(ranges[i].first, ranges[i - 1].first + ranges[i - 1].second) << "overlap";
  }
  for (auto [address, bytes] : ranges) ASSERT_EQ(cu.cuMemFree_v2(address), CUDA_SUCCESS);
  for (int i = 0; i < 8; ++i) {
    CUdeviceptr again = allocate(256);
    EXPECT_FALSE(seen.contains(again)) << "a freed address came back";
    ASSERT_EQ(cu.cuMemFree_v2(again), CUDA_SUCCESS);
  }
}

TEST_F(MemoryTest, FreeingWhatIsNotAnAllocationIsRefused) {
  open_device();
  CUdeviceptr address = allocate(1024);
  EXPECT_EQ(cu.cuMemFree_v2(address + 256), CUDA_ERROR_INVALID_VALUE) << "inside, not the start";
  EXPECT_EQ(cu.cuMemFree_v2(0), CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(cu.cuMemFree_v2(0x1234), CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(live().allocations, 1u);
  EXPECT_EQ(cu.cuMemFreeAsync(address, nullptr), CUDA_SUCCESS);
  EXPECT_EQ(cu.cuMemFree_v2(address), CUDA_ERROR_INVALID_VALUE) << "double free";
  EXPECT_EQ(cu.cuMemFreeAsync(address, nullptr), CUDA_ERROR_INVALID_VALUE) << "double free";
  EXPECT_EQ(live().allocations, 0u);
}

TEST_F(MemoryTest, StreamOrderedCallsNeedMemoryPools) {
  setenv("VORLAN_EMU_POOLS", "0", 1);
  open_device();
  CUdeviceptr address = 0;
  EXPECT_EQ(cu.cuMemAllocAsync(&address, 64, nullptr), CUDA_ERROR_NOT_SUPPORTED);
  address = allocate(64);
  EXPECT_EQ(cu.cuMemFreeAsync(address, nullptr), CUDA_ERROR_NOT_SUPPORTED);
  EXPECT_EQ(cu.cuMemFree_v2(address), CUDA_SUCCESS);
}

TEST_F(MemoryTest, OnlyTheNullStreamExists) {
  open_device();
  auto bogus = reinterpret_cast<CUstream>(static_cast<std::uintptr_t>(0x99));
  auto legacy = reinterpret_cast<CUstream>(static_cast<std::uintptr_t>(1));
  CUdeviceptr address = 0;
  EXPECT_EQ(cu.cuMemAllocAsync(&address, 64, bogus), CUDA_ERROR_INVALID_HANDLE);
  ASSERT_EQ(cu.cuMemAllocAsync(&address, 64, legacy), CUDA_SUCCESS);
  unsigned char host[4] = {};
  EXPECT_EQ(cu.cuMemcpyHtoDAsync_v2(address, host, 4, bogus), CUDA_ERROR_INVALID_HANDLE);
  EXPECT_EQ(cu.cuMemcpyDtoHAsync_v2(host, address, 4, bogus), CUDA_ERROR_INVALID_HANDLE);
  EXPECT_EQ(cu.cuStreamSynchronize(bogus), CUDA_ERROR_INVALID_HANDLE);
  EXPECT_EQ(cu.cuMemFreeAsync(address, bogus), CUDA_ERROR_INVALID_HANDLE);
  EXPECT_EQ(cu.cuMemFreeAsync(address, legacy), CUDA_SUCCESS);
}

TEST_F(MemoryTest, CopiesRoundTripAndTouchOnlyTheirRange) {
  open_device();
  CUdeviceptr address = allocate(5 * sizeof(std::uint32_t));
  std::uint32_t five[5] = {10, 11, 12, 13, 14};
  ASSERT_EQ(cu.cuMemcpyHtoDAsync_v2(address, five, sizeof five, nullptr), CUDA_SUCCESS);
  std::uint32_t three[3] = {7, 8, 9};
  ASSERT_EQ(cu.cuMemcpyHtoDAsync_v2(address, three, sizeof three, nullptr), CUDA_SUCCESS);
  std::uint32_t back[5] = {};
  ASSERT_EQ(cu.cuMemcpyDtoHAsync_v2(back, address, sizeof back, nullptr), CUDA_SUCCESS);
  EXPECT_EQ(std::vector<std::uint32_t>(back, back + 5),
            (std::vector<std::uint32_t>{7, 8, 9, 13, 14}));
  std::uint32_t middle[2] = {};
  ASSERT_EQ(cu.cuMemcpyDtoHAsync_v2(middle, address + 8, sizeof middle, nullptr), CUDA_SUCCESS);
  EXPECT_EQ(middle[0], 9u);
  EXPECT_EQ(middle[1], 13u);
}

TEST_F(MemoryTest, FreshMemoryIsPoisoned) {
  open_device();
  CUdeviceptr address = allocate(64);
  std::vector<unsigned char> bytes(64, 0);
  ASSERT_EQ(cu.cuMemcpyDtoHAsync_v2(bytes.data(), address, bytes.size(), nullptr), CUDA_SUCCESS);
  EXPECT_TRUE(std::ranges::all_of(bytes, [](unsigned char byte) { return byte == 0xFF; }));
}

TEST_F(MemoryTest, CopiesMustStayInsideOneAllocation) {
  open_device();
  CUdeviceptr first = allocate(256);
  CUdeviceptr second = allocate(256);
  std::vector<unsigned char> host(1 << 20, 0);
  auto h2d = [&](CUdeviceptr to, std::size_t bytes) {
    return cu.cuMemcpyHtoDAsync_v2(to, host.data(), bytes, nullptr);
  };
  auto d2h = [&](CUdeviceptr from, std::size_t bytes) {
    return cu.cuMemcpyDtoHAsync_v2(host.data(), from, bytes, nullptr);
  };
  EXPECT_EQ(h2d(first, 256), CUDA_SUCCESS);
  EXPECT_EQ(h2d(first + 255, 1), CUDA_SUCCESS);
  EXPECT_EQ(h2d(first, 257), CUDA_ERROR_INVALID_VALUE) << "one byte past the end";
  EXPECT_EQ(h2d(first + 1, 256), CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(h2d(first + 256, 1), CUDA_ERROR_INVALID_VALUE) << "just after the allocation";
  EXPECT_EQ(h2d(first - 1, 2), CUDA_ERROR_INVALID_VALUE) << "just before the allocation";
  EXPECT_EQ(
      h2d(std::min(first, second), second > first ? second - first + 256 : first - second + 256),
      CUDA_ERROR_INVALID_VALUE)
      << "spanning two allocations";
  EXPECT_EQ(d2h(second, 257), CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(d2h(0, 4), CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(d2h(first, SIZE_MAX), CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(cu.cuMemcpyHtoDAsync_v2(first, nullptr, 4, nullptr), CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(cu.cuMemcpyDtoHAsync_v2(nullptr, first, 4, nullptr), CUDA_ERROR_INVALID_VALUE);
  ASSERT_EQ(cu.cuMemFree_v2(first), CUDA_SUCCESS);
  EXPECT_EQ(h2d(first, 4), CUDA_ERROR_INVALID_VALUE) << "freed memory";
}

TEST_F(MemoryTest, ThreadsAllocateConcurrently) {
  CUcontext context = open_device();
  constexpr int kThreads = 4, kRounds = 200;
  std::vector<std::vector<CUdeviceptr>> kept(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ASSERT_EQ(cu.cuCtxSetCurrent(context), CUDA_SUCCESS);
      for (int round = 0; round < kRounds; ++round) {
        CUdeviceptr address = 0;
        ASSERT_EQ(cu.cuMemAlloc_v2(&address, 512), CUDA_SUCCESS);
        std::uint32_t value = static_cast<std::uint32_t>(t * kRounds + round), back = 0;
        ASSERT_EQ(cu.cuMemcpyHtoDAsync_v2(address, &value, 4, nullptr), CUDA_SUCCESS);
        ASSERT_EQ(cu.cuMemcpyDtoHAsync_v2(&back, address, 4, nullptr), CUDA_SUCCESS);
        ASSERT_EQ(back, value);
        if (round % 2 == 0)
          ASSERT_EQ(cu.cuMemFree_v2(address), CUDA_SUCCESS);
        else
          kept[static_cast<std::size_t>(t)].push_back(address);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  std::set<CUdeviceptr> all;
  for (const auto& list : kept) all.insert(list.begin(), list.end());
  EXPECT_EQ(all.size(), std::size_t{kThreads * kRounds / 2});
  EXPECT_EQ(live().allocations, all.size());
  EXPECT_EQ(cu.call_count("cuMemAlloc_v2"), std::uint64_t{kThreads * kRounds});
}

// Both fills through one interface: `width` bytes per element.
struct Fill {
  const char* entry;
  std::size_t width;
};

class FillTest : public EmuTest, public ::testing::WithParamInterface<Fill> {
 protected:
  CUresult fill(CUdeviceptr address, std::uint32_t value, std::size_t count,
                CUstream stream = nullptr) {
    if (GetParam().width == 1) {
      return cu.cuMemsetD8Async(address, static_cast<unsigned char>(value), count, stream);
    }
    return cu.cuMemsetD32Async(address, value, count, stream);
  }
  std::vector<std::uint8_t> bytes_at(CUdeviceptr address, std::size_t bytes) {
    std::vector<std::uint8_t> host(bytes);
    EXPECT_EQ(cu.cuMemcpyDtoHAsync_v2(host.data(), address, bytes, nullptr), CUDA_SUCCESS);
    return host;
  }
  // What `count` elements of `value` look like in memory, little-endian.
  std::vector<std::uint8_t> expected(std::uint32_t value, std::size_t count) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < count; ++i) {
      for (std::size_t b = 0; b < GetParam().width; ++b) {
        bytes.push_back(static_cast<std::uint8_t>(value >> (8 * b)));
      }
    }
    return bytes;
  }
};

TEST_P(FillTest, SetsExactlyItsElements) {
  open_device();
  const std::size_t width = GetParam().width;
  const std::uint32_t value = width == 1 ? 0xA5u : 0x01020304u;
  for (std::size_t count : {std::size_t{0}, std::size_t{1}, std::size_t{7}, std::size_t{64}}) {
    // A guard element on each side of the filled run stays as the host wrote it.
    const std::size_t bytes = (count + 2) * width;
    CUdeviceptr address = allocate(bytes);
    std::vector<std::uint8_t> before(bytes, 0x11);
    ASSERT_EQ(cu.cuMemcpyHtoDAsync_v2(address, before.data(), bytes, nullptr), CUDA_SUCCESS);
    ASSERT_EQ(fill(address + width, value, count), CUDA_SUCCESS) << count;
    std::vector<std::uint8_t> want(width, 0x11);
    const auto run = expected(value, count);
    want.insert(want.end(), run.begin(), run.end());
    want.insert(want.end(), width, 0x11);
    EXPECT_EQ(bytes_at(address, bytes), want) << count << " elements";
  }
  EXPECT_EQ(cu.call_count(GetParam().entry), 4u) << "a zero count is still a call";
}

TEST_P(FillTest, RefusesRangesOutsideOneAllocation) {
  open_device();
  const std::size_t width = GetParam().width;
  CUdeviceptr address = allocate(256);
  std::vector<std::uint8_t> before(256, 0x22);
  ASSERT_EQ(cu.cuMemcpyHtoDAsync_v2(address, before.data(), 256, nullptr), CUDA_SUCCESS);
  EXPECT_EQ(fill(address, 0, 256 / width + 1), CUDA_ERROR_INVALID_VALUE) << "one past the end";
  EXPECT_EQ(fill(address, 0, (std::size_t{1} << 31) + 1), CUDA_ERROR_INVALID_VALUE);
  // A count of words whose byte length wraps to 4 must not pass as one word.
  if (width > 1) {
    EXPECT_EQ(fill(address, 0, SIZE_MAX / width + 2), CUDA_ERROR_INVALID_VALUE);
  }
  EXPECT_EQ(fill(address, 0, SIZE_MAX), CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(fill(0, 0, 1), CUDA_ERROR_INVALID_VALUE) << "no allocation";
  EXPECT_EQ(bytes_at(address, 256), before) << "a refused fill writes nothing";
  ASSERT_EQ(cu.cuMemFree_v2(address), CUDA_SUCCESS);
  EXPECT_EQ(fill(address, 0, 1), CUDA_ERROR_INVALID_VALUE) << "freed memory";
}

TEST_P(FillTest, WordsMustBeAligned) {
  open_device();
  const std::size_t width = GetParam().width;
  CUdeviceptr address = allocate(64);
  for (std::size_t shift : {1, 2, 3}) {
    const CUresult want = width == 1 ? CUDA_SUCCESS : CUDA_ERROR_INVALID_VALUE;
    EXPECT_EQ(fill(address + shift, 0, 1), want) << "offset " << shift;
    EXPECT_EQ(fill(address + shift, 0, 0), want) << "offset " << shift << ", no elements";
  }
}

TEST_P(FillTest, OnlyTheNullStreamAndInjectedFailures) {
  open_device();
  CUdeviceptr address = allocate(64);
  auto bogus = reinterpret_cast<CUstream>(static_cast<std::uintptr_t>(0x99));
  EXPECT_EQ(fill(address, 0, 4, bogus), CUDA_ERROR_INVALID_HANDLE);
  ASSERT_EQ(cu.fail_call(GetParam().entry, 2, CUDA_ERROR_ILLEGAL_ADDRESS), 0);
  EXPECT_EQ(fill(address, 0, 4), CUDA_SUCCESS);
  EXPECT_EQ(fill(address, 0, 4), CUDA_ERROR_ILLEGAL_ADDRESS) << "the second call fails";
  EXPECT_EQ(fill(address, 0, 4), CUDA_SUCCESS);
  EXPECT_EQ(cu.call_count(GetParam().entry), 4u);
}

TEST_P(FillTest, NeedsAnInitialisedDriverAndAContext) {
  EXPECT_EQ(fill(0x1000, 0, 1), CUDA_ERROR_NOT_INITIALIZED);
  ASSERT_EQ(cu.cuInit(0), CUDA_SUCCESS);
  EXPECT_EQ(fill(0x1000, 0, 1), CUDA_ERROR_INVALID_CONTEXT);
}

INSTANTIATE_TEST_SUITE_P(Widths, FillTest,
                         ::testing::Values(Fill{"cuMemsetD8Async", 1}, Fill{"cuMemsetD32Async", 4}),
                         [](const auto& param_info) {
                           return std::string(param_info.param.entry);
                         });

}  // namespace
}  // namespace vorlan::emu::test
