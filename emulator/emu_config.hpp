// How the software GPU presents itself and runs kernels, taken from VORLAN_EMU_*
// environment variables when the driver is initialised.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace vorlan::emu {

struct EmuConfig {
  int devices = 1;
  std::uint64_t memory_bytes = std::uint64_t{8} << 30;  // per device
  bool memory_pools = true;
  std::uint64_t instruction_budget = 0;  // per launch; 0: unlimited, as on a GPU without a display
  std::uint64_t schedule_seed = 0;
  bool trace = false;
  bool verbose = false;
  bool check = true;     // hazard checks in every launch
  bool profile = false;  // per-kernel cost table on stderr at exit
};

// The configuration the environment describes, or a sentence naming the
// variable that could not be understood.
std::expected<EmuConfig, std::string> read_config();

// Parses a decimal count with an optional K, M or G (binary) suffix.
std::expected<std::uint64_t, std::string> parse_count(std::string_view text);

}  // namespace vorlan::emu
