// The one way the C++ tests catch a Fault: its message, or a note that the
// call raised none, so that an expectation shows what happened either way.
#pragma once

#include <string>

#include "driver/fault.hpp"

namespace vorlan::test {

inline constexpr const char* kNoFault = "<no fault>";

template <typename Call>
std::string fault_of(Call&& call) {
  try {
    call();
  } catch (const Fault& fault) {
    return fault.what();
  }
  return kNoFault;
}

}  // namespace vorlan::test
