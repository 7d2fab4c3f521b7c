#include "engine/error.hpp"

#include <format>

namespace vorlan::engine {
namespace {

struct Display {
  std::string operator()(const GpuError::NoDevice&) const { return "no CUDA device found"; }
  std::string operator()(const GpuError::Driver& e) const {
    return "CUDA driver error: " + driver::to_string(e.error);
  }
  std::string operator()(const GpuError::OutOfMemory& e) const {
    return std::format("graph too large for GPU memory: {} bytes required, {} bytes available",
                       e.required, e.available);
  }
  std::string operator()(const GpuError::Kernel& e) const { return "kernel error: " + e.message; }
  std::string operator()(const GpuError::CsrExport& e) const {
    return "CSR export failed: " + e.message;
  }
  std::string operator()(const GpuError::InvalidCsr& e) const {
    return "invalid CSR graph: " + e.message;
  }
  std::string operator()(const GpuError::InvalidArgument& e) const { return e.message; }
  std::string operator()(const GpuError::Interrupted&) const { return "interrupted"; }
};

}  // namespace

GpuError GpuError::too_many_elements(std::string_view array, std::uint64_t count) {
  return GpuError(InvalidCsr{std::format("{} has {} elements; at most {} are supported", array,
                                         count, kMaxArrayElements)});
}

std::string GpuError::display() const { return std::visit(Display{}, variant_); }

}  // namespace vorlan::engine
