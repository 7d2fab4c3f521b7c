// The one exception type of this project. It stands for an unrecoverable fault:
// a condition after which the current operation cannot continue (no driver
// library, a missing entry point, a PTX module the driver refuses, a failure to
// create a Python object). Everything recoverable travels as an error value
// instead. A fault unwinds to the Python boundary, releasing what the call holds
// on the way, and there becomes the module's fault exception.
#pragma once

#include <stdexcept>
#include <string>

namespace vorlan {

class Fault : public std::runtime_error {
 public:
  explicit Fault(const std::string& message) : std::runtime_error(message) {}
};

// Raises a Fault when an internal invariant does not hold.
inline void fault_unless(bool condition, const char* message) {
  if (!condition) throw Fault(message);
}

}  // namespace vorlan
