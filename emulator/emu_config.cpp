#include "emu_config.hpp"

#include <charconv>
#include <cstdlib>
#include <limits>
#include <string_view>

namespace vorlan::emu {
namespace {

unsigned suffix_shift(char suffix) {
  switch (suffix) {
    case 'K':
    case 'k':
      return 10;
    case 'M':
    case 'm':
      return 20;
    case 'G':
    case 'g':
      return 30;
    default:
      return 0;
  }
}

// Reads variable `name` into `out` when it is set; `parse` turns its text
// into the value or an error. An empty value counts as unset, as wrappers
// that pass variables through (VAR="${VAR:-}") leave them.
template <class T, class Parse>
std::expected<void, std::string> read_variable(const char* name, T& out, Parse parse) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return {};
  auto value = parse(std::string_view{text});
  if (!value) return std::unexpected(std::string{name} + "=" + text + ": " + value.error());
  out = *value;
  return {};
}

std::expected<bool, std::string> parse_switch(std::string_view text) {
  if (text == "0") return false;
  if (text == "1") return true;
  return std::unexpected(std::string{"expected 0 or 1"});
}

// Diagnostics switches read the way the PTX engine reads them itself: any
// value but "" and "0" turns them on, so the two halves never disagree.
std::expected<bool, std::string> parse_flag(std::string_view text) {
  return !text.empty() && text != "0";
}

std::expected<int, std::string> parse_device_count(std::string_view text) {
  auto count = parse_count(text);
  if (!count) return std::unexpected(count.error());
  if (*count > 64) return std::unexpected(std::string{"at most 64 devices"});
  return static_cast<int>(*count);
}

std::expected<std::uint64_t, std::string> parse_memory(std::string_view text) {
  auto bytes = parse_count(text);
  if (bytes && *bytes == 0) return std::unexpected(std::string{"a device needs some memory"});
  return bytes;
}

}  // namespace

std::expected<std::uint64_t, std::string> parse_count(std::string_view text) {
  unsigned shift = text.empty() ? 0 : suffix_shift(text.back());
  if (shift != 0) text.remove_suffix(1);
  std::uint64_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc{} || end != text.data() + text.size()) {
    return std::unexpected(std::string{"not a non-negative integer"});
  }
  if (value > (std::numeric_limits<std::uint64_t>::max() >> shift)) {
    return std::unexpected(std::string{"too large"});
  }
  return value << shift;
}

std::expected<EmuConfig, std::string> read_config() {
  EmuConfig config;
  auto steps = {
      read_variable("VORLAN_EMU_DEVICES", config.devices, parse_device_count),
      read_variable("VORLAN_EMU_MEMORY", config.memory_bytes, parse_memory),
      read_variable("VORLAN_EMU_POOLS", config.memory_pools, parse_switch),
      read_variable("VORLAN_EMU_BUDGET", config.instruction_budget, parse_count),
      read_variable("VORLAN_EMU_SEED", config.schedule_seed, parse_count),
      read_variable("VORLAN_EMU_TRACE", config.trace, parse_flag),
      read_variable("VORLAN_EMU_VERBOSE", config.verbose, parse_flag),
      read_variable("VORLAN_EMU_CHECK", config.check, parse_switch),
      read_variable("VORLAN_EMU_PROFILE", config.profile, parse_flag),
  };
  for (const auto& step : steps) {
    if (!step) return std::unexpected(step.error());
  }
  return config;
}

}  // namespace vorlan::emu
