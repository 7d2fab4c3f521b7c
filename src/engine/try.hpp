// Early return on error, so that each step of an engine loop is one line:
//
//   VORLAN_TRY(auto buffer, upload_step<std::uint32_t>(stream, host));
//   VORLAN_CHECK(synchronize_step(stream));
//
// The expression yields a GpuResult or a DriverResult; its error is returned
// from the enclosing function, whose GpuResult takes a DriverError as the
// driver-error variant.
#pragma once

#include <expected>
#include <utility>

#define VORLAN_TRY_CONCAT_INNER_(a, b) a##b
#define VORLAN_TRY_CONCAT_(a, b) VORLAN_TRY_CONCAT_INNER_(a, b)

// Declares `declaration` from the value of `expression`, or returns its error.
#define VORLAN_TRY(declaration, expression) \
  VORLAN_TRY_IMPL_(VORLAN_TRY_CONCAT_(vorlan_try_result_, __LINE__), declaration, expression)

#define VORLAN_TRY_IMPL_(result, declaration, expression)         \
  auto result = (expression);                                     \
  if (!result) return std::unexpected(std::move(result).error()); \
  declaration = std::move(*result)

// Returns the error of `expression` (a result of no value, or one whose value
// is not needed).
#define VORLAN_CHECK(expression)                                           \
  do {                                                                     \
    if (auto vorlan_check_result_ = (expression); !vorlan_check_result_) { \
      return std::unexpected(std::move(vorlan_check_result_).error());     \
    }                                                                      \
  } while (false)
