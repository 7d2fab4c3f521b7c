// Driver result codes as error values. Every driver-layer operation returns its
// value or a DriverError; the error holds only the code, and its text is looked
// up when the error is written.
#pragma once

#include <expected>
#include <format>
#include <optional>
#include <string>
#include <string_view>

#include "driver/cuda_api.hpp"

namespace vorlan::driver {

class DriverError {
 public:
  explicit constexpr DriverError(CUresult code) : code_(code) {}
  constexpr CUresult code() const { return code_; }
  // Whether the error belongs to the context rather than to the call: after
  // a kernel broke the context (a fault, a timeout, a device-side assert),
  // every later call on it returns the same code, whatever it was asked.
  constexpr bool breaks_context() const {
    switch (code_) {
      case cuda::CUDA_ERROR_ECC_UNCORRECTABLE:
      case cuda::CUDA_ERROR_ILLEGAL_ADDRESS:
      case cuda::CUDA_ERROR_LAUNCH_TIMEOUT:
      case cuda::CUDA_ERROR_ASSERT:
      case cuda::CUDA_ERROR_HARDWARE_STACK_ERROR:
      case cuda::CUDA_ERROR_ILLEGAL_INSTRUCTION:
      case cuda::CUDA_ERROR_MISALIGNED_ADDRESS:
      case cuda::CUDA_ERROR_INVALID_ADDRESS_SPACE:
      case cuda::CUDA_ERROR_INVALID_PC:
      case cuda::CUDA_ERROR_LAUNCH_FAILED:
      case cuda::CUDA_ERROR_EXTERNAL_DEVICE:
        return true;
      default:
        return false;
    }
  }
  friend constexpr bool operator==(DriverError, DriverError) = default;

 private:
  CUresult code_;
};

template <class T = void>
using DriverResult = std::expected<T, DriverError>;

// Turns a driver call's result into a DriverResult<void>.
inline DriverResult<> check(CUresult result) {
  if (result == cuda::CUDA_SUCCESS) return {};
  return std::unexpected(DriverError(result));
}

// The published name of a result code; codes outside the table (and 999) are
// "CUDA_ERROR_UNKNOWN". Needs no driver.
std::string_view result_name(CUresult code);

// The driver's own description of a code, or nothing when cuGetErrorString
// refuses it. Loads the driver library if it is not loaded yet.
std::optional<std::string_view> result_text(CUresult code);

// Writes `text` as a double-quoted literal: quotes and backslashes escaped,
// control characters as \n, \t, \r or \u{..}, bytes that are not UTF-8 as \x...
std::string quoted(std::string_view text);

// DriverError(NAME, "description") -- the one written form of a DriverError.
std::string to_string(DriverError error);

}  // namespace vorlan::driver

template <>
struct std::formatter<vorlan::driver::DriverError> : std::formatter<std::string_view> {
  auto format(vorlan::driver::DriverError error, std::format_context& context) const {
    return std::formatter<std::string_view>::format(vorlan::driver::to_string(error), context);
  }
};
