// Opaque driver handles. A handle is a tagged serial number, never a pointer:
// a stale or foreign handle is then recognised as such instead of being
// dereferenced, and a handle of one kind passed where another is expected is
// refused.
#pragma once

#include <bit>
#include <cstdint>

namespace vorlan::emu {

enum class HandleKind : std::uint64_t { context = 1, module = 2, function = 3, event = 4 };

using HandleId = std::uint64_t;

inline constexpr unsigned kHandleKindShift = 56;

constexpr HandleId tag_handle(HandleKind kind, std::uint64_t serial) {
  return (static_cast<std::uint64_t>(kind) << kHandleKindShift) | serial;
}

constexpr bool has_kind(HandleId id, HandleKind kind) {
  return (id >> kHandleKindShift) == static_cast<std::uint64_t>(kind);
}

template <class Handle>
Handle to_handle(HandleId id) {
  return std::bit_cast<Handle>(static_cast<std::uintptr_t>(id));
}

template <class Handle>
HandleId from_handle(Handle handle) {
  return static_cast<HandleId>(std::bit_cast<std::uintptr_t>(handle));
}

// Serial numbers for handles; never reused within the process, so a handle
// that outlived its object can never name a newer one.
class HandleSource {
 public:
  HandleId next(HandleKind kind) { return tag_handle(kind, ++serial_); }

 private:
  std::uint64_t serial_ = 0;
};

}  // namespace vorlan::emu
