// cuGetErrorString: the driver's descriptions, available before cuInit.
#include <cstring>
#include <set>
#include <utility>

#include "emu_fixture.hpp"

namespace vorlan::emu::test {
namespace {

using ErrorTextTest = EmuTest;

// The codes of the driver API's CUresult table, as inclusive ranges.
constexpr std::pair<CUresult, CUresult> kCodeRanges[] = {
    {0, 8},     {34, 34},   {46, 46},   {100, 102}, {200, 202}, {205, 225}, {300, 304}, {400, 402},
    {500, 500}, {600, 600}, {700, 705}, {708, 720}, {800, 812}, {900, 915}, {999, 999}};

TEST_F(ErrorTextTest, EveryCodeOfTheTableHasItsOwnText) {
  std::set<std::string> texts;
  int codes = 0;
  for (auto [first, last] : kCodeRanges) {
    for (CUresult code = first; code <= last; ++code) {
      const char* text = nullptr;
      ASSERT_EQ(cu.cuGetErrorString(code, &text), CUDA_SUCCESS) << code;
      ASSERT_NE(text, nullptr) << code;
      EXPECT_GT(std::strlen(text), 0u) << code;
      texts.insert(text);
      ++codes;
    }
  }
  EXPECT_EQ(codes, 97);
  // 200 and 300 share their wording in the driver; every other text is unique.
  EXPECT_EQ(texts.size(), 96u);
}

TEST_F(ErrorTextTest, TextsAreTheDriversWording) {
  const std::pair<CUresult, const char*> expected[] = {
      {0, "no error"},
      {1, "invalid argument"},
      {2, "out of memory"},
      {3, "initialization error"},
      {4, "driver shutting down"},
      {100, "no CUDA-capable device is detected"},
      {101, "invalid device ordinal"},
      {201, "invalid device context"},
      {218, "a PTX JIT compilation failed"},
      {222, "the provided PTX was compiled with an unsupported toolchain."},
      {400, "invalid resource handle"},
      {500, "named symbol not found"},
      {700, "an illegal memory access was encountered"},
      {702, "the launch timed out and was terminated"},
      {716, "misaligned address"},
      {801, "operation not supported"},
      {999, "unknown error"},
  };
  for (auto [code, wording] : expected) {
    const char* text = nullptr;
    ASSERT_EQ(cu.cuGetErrorString(code, &text), CUDA_SUCCESS) << code;
    EXPECT_STREQ(text, wording) << code;
  }
}

TEST_F(ErrorTextTest, CodesOutsideTheTableAreRefused) {
  for (CUresult code : {9u, 10u, 33u, 36u, 99u, 203u, 226u, 706u, 707u, 721u, 813u, 916u, 998u,
                        1000u, 0xFFFFFFFFu}) {
    const char* text = "untouched";
    EXPECT_EQ(cu.cuGetErrorString(code, &text), CUDA_ERROR_INVALID_VALUE) << code;
    EXPECT_EQ(text, nullptr) << code;
  }
  EXPECT_EQ(cu.cuGetErrorString(0, nullptr), CUDA_ERROR_INVALID_VALUE);
}

TEST_F(ErrorTextTest, WorksAtAnyTime) {
  const char* text = nullptr;
  EXPECT_EQ(cu.cuGetErrorString(2, &text), CUDA_SUCCESS) << "before cuInit";
  ASSERT_EQ(cu.cuInit(0), CUDA_SUCCESS);
  EXPECT_EQ(cu.cuGetErrorString(2, &text), CUDA_SUCCESS) << "after cuInit";
  EXPECT_STREQ(text, "out of memory");
}

}  // namespace
}  // namespace vorlan::emu::test
