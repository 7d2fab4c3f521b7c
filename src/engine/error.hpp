// The engine's one error type. Every engine operation returns its result or a
// GpuError; the Python layer turns it into an exception carrying display().
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <variant>

#include "driver/result.hpp"

namespace vorlan::engine {

// Offsets and sizes are u32s on the device, so a graph array holds at most
// 2^32 - 1 elements.
inline constexpr std::uint64_t kMaxArrayElements = 0xFFFF'FFFFu;

class GpuError {
 public:
  struct NoDevice {};
  struct Driver {
    driver::DriverError error;
  };
  struct OutOfMemory {
    std::uint64_t required;
    std::uint64_t available;
  };
  struct Kernel {
    std::string message;
  };
  struct CsrExport {
    std::string message;
  };
  // Graph arrays that would make kernels read outside their buffers; bad
  // input rather than a GPU failure.
  struct InvalidCsr {
    std::string message;
  };
  // An argument outside what the operation accepts (a weight array of the
  // wrong length, a negative weight); bad input too.
  struct InvalidArgument {
    std::string message;
  };
  // The caller's interrupt poll asked to stop (a signal handler raised, say);
  // the caller already holds the reason, so this variant only unwinds.
  struct Interrupted {};
  using Variant = std::variant<NoDevice, Driver, OutOfMemory, Kernel, CsrExport, InvalidCsr,
                               InvalidArgument, Interrupted>;

  // A failed driver-layer call becomes the driver-error variant unchanged.
  GpuError(driver::DriverError error) : variant_(Driver{error}) {}  // NOLINT: implicit by design
  explicit GpuError(Variant variant) : variant_(std::move(variant)) {}

  static GpuError kernel(std::string message) { return GpuError(Kernel{std::move(message)}); }
  static GpuError invalid_argument(std::string message) {
    return GpuError(InvalidArgument{std::move(message)});
  }
  // A graph array longer than kMaxArrayElements: "ARRAY has N elements; ...".
  static GpuError too_many_elements(std::string_view array, std::uint64_t count);

  const Variant& variant() const { return variant_; }
  std::string display() const;

 private:
  Variant variant_;
};

// Asked between the iterations, levels and rounds of long operations; true
// means the caller wants the call abandoned. Null never asks.
using InterruptPoll = bool (*)();

template <class T = void>
using GpuResult = std::expected<T, GpuError>;

// Lifts a driver-layer result into the engine's error type.
template <class T>
GpuResult<T> lift(driver::DriverResult<T>&& result) {
  if (!result) return std::unexpected(GpuError(result.error()));
  if constexpr (std::is_void_v<T>) {
    return {};
  } else {
    return std::move(*result);
  }
}

}  // namespace vorlan::engine
