// What the module cache's tests share: unwrapping a lookup and catching a fault.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "driver/fault.hpp"
#include "engine/module_cache.hpp"
#include "fault_of.hpp"
#include "software_gpu.hpp"

namespace vorlan::engine {

inline KernelSet kernels_of(driver::DriverResult<KernelSet> result) {
  return test::value_of(std::move(result), "get_kernels");
}

using test::fault_of;

}  // namespace vorlan::engine
