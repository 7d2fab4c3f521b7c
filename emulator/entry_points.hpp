// The driver entry points this library exports, declared once from the shared
// X-macro lists so that every definition is checked against the published
// signature, and numbered so that per-entry bookkeeping is an array index.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

#include "driver/cuda_api.hpp"

// The project builds with hidden visibility; only the driver API and the
// control interface may leave the library.
#define VORLAN_EMU_EXPORT __attribute__((visibility("default")))

#define VORLAN_EMU_DECLARE_ENTRY(name, params) VORLAN_EMU_EXPORT CUresult name params;
extern "C" {
VORLAN_DRIVER_ENTRY_POINTS(VORLAN_EMU_DECLARE_ENTRY)
VORLAN_DRIVER_EXTRA_ENTRY_POINTS(VORLAN_EMU_DECLARE_ENTRY)
}
#undef VORLAN_EMU_DECLARE_ENTRY

namespace vorlan::emu {

#define VORLAN_EMU_ENUM_ENTRY(name, params) name,
enum class Entry : unsigned {
  VORLAN_DRIVER_ENTRY_POINTS(VORLAN_EMU_ENUM_ENTRY)
      VORLAN_DRIVER_EXTRA_ENTRY_POINTS(VORLAN_EMU_ENUM_ENTRY) count
};
#undef VORLAN_EMU_ENUM_ENTRY

inline constexpr std::size_t kEntryCount = static_cast<std::size_t>(Entry::count);

#define VORLAN_EMU_NAME_ENTRY(name, params) std::string_view{#name},
inline constexpr std::array<std::string_view, kEntryCount> kEntryNames{VORLAN_DRIVER_ENTRY_POINTS(
    VORLAN_EMU_NAME_ENTRY) VORLAN_DRIVER_EXTRA_ENTRY_POINTS(VORLAN_EMU_NAME_ENTRY)};
#undef VORLAN_EMU_NAME_ENTRY

constexpr std::size_t index_of(Entry entry) { return static_cast<std::size_t>(entry); }

constexpr std::optional<Entry> entry_named(std::string_view name) {
  for (std::size_t i = 0; i < kEntryCount; ++i) {
    if (kEntryNames[i] == name) return static_cast<Entry>(i);
  }
  return std::nullopt;
}

}  // namespace vorlan::emu
