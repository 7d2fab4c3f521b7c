// What the module cache's tests share: unwrapping a lookup, catching a fault,
// and the output double_index_kernel (of the software GPU's test module) is
// expected to write.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "driver/fault.hpp"
#include "engine/module_cache.hpp"
#include "software_gpu.hpp"

namespace vorlan::engine {

inline KernelSet kernels_of(driver::DriverResult<KernelSet> result) {
  return test::value_of(std::move(result), "get_kernels");
}

// The message of the Fault that `call` raises, or a note that it raised none.
inline std::string fault_of(const std::function<void()>& call) {
  try {
    call();
  } catch (const Fault& fault) {
    return fault.what();
  }
  return "<no fault>";
}

inline std::vector<std::uint32_t> doubled_indices(std::uint32_t n) {
  std::vector<std::uint32_t> values(n);
  for (std::uint32_t i = 0; i < n; ++i) values[i] = 2 * i;
  return values;
}

}  // namespace vorlan::engine
