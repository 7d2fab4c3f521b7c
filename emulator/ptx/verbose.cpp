#include "ptx/verbose.hpp"

#include <cstdlib>
#include <string_view>

namespace vorlan::emu::ptx {

bool verbose() {
  const char* value = std::getenv("VORLAN_EMU_VERBOSE");
  if (value == nullptr) return false;
  const std::string_view text(value);
  return !text.empty() && text != "0";
}

}  // namespace vorlan::emu::ptx
