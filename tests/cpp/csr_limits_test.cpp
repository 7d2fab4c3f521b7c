// The element-count limit of a graph's arrays (at most 4,294,967,295 each,
// so that counts and indices fit the kernels' 32 bits), checked on arrays of
// that size that are never read: they lie in address space reserved without
// access, where reading any element would end the test with a fault.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstdint>
#include <span>
#include <string>
#include <variant>

#include "engine/graph_store.hpp"

namespace vorlan::engine {
namespace {

constexpr std::size_t kLimit = 4'294'967'295;

// Address space for kLimit + 1 elements that no one may touch.
class UntouchableArray {
 public:
  UntouchableArray()
      : base_(
            mmap(nullptr, kBytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0)) {}
  ~UntouchableArray() {
    if (base_ != MAP_FAILED) munmap(base_, kBytes);
  }
  UntouchableArray(const UntouchableArray&) = delete;
  UntouchableArray& operator=(const UntouchableArray&) = delete;

  bool ok() const { return base_ != MAP_FAILED; }
  std::span<const std::uint32_t> first(std::size_t count) const {
    return {static_cast<const std::uint32_t*>(base_), count};
  }

 private:
  static constexpr std::size_t kBytes = (kLimit + 1) * sizeof(std::uint32_t);
  void* base_;
};

std::string refusal(const GpuResult<>& result) {
  if (result) return "<accepted>";
  const auto* invalid = std::get_if<GpuError::InvalidCsr>(&result.error().variant());
  return invalid ? invalid->message : "<other error: " + result.error().display() + ">";
}

TEST(CsrLimits, TargetsMayHoldExactlyTheLimit) {
  UntouchableArray targets;
  ASSERT_TRUE(targets.ok());
  // No node has a list, so no target is ever looked at.
  const std::uint32_t offsets[] = {0, 0};
  EXPECT_EQ(refusal(validate_csr(offsets, targets.first(kLimit))), "<accepted>");
}

TEST(CsrLimits, OneElementMoreIsRefusedBeforeAnyIsRead) {
  UntouchableArray array;
  ASSERT_TRUE(array.ok());
  const std::uint32_t small[] = {0, 0};
  EXPECT_EQ(refusal(validate_csr(small, array.first(kLimit + 1))),
            "targets has 4294967296 elements; at most 4294967295 are supported");
  EXPECT_EQ(refusal(validate_csr(array.first(kLimit + 1), small)),
            "offsets has 4294967296 elements; at most 4294967295 are supported");
}

}  // namespace
}  // namespace vorlan::engine
