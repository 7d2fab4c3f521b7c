// Prints the layout of the control interface's structs as the C compiler sees
// it (one JSON object: per struct its size and each field's offset and size),
// so that bindings in other languages can be checked against the header
// rather than against a copy of it.
#include <cstddef>
#include <cstdio>

#include "include/vorlan_emu.h"

// `struct` spelt out: in C++ the function vemu_kernel_stats hides the struct's name.
#define VEMU_FIELD(type, field)                                                                \
  std::printf("%s\"%s\": [%zu, %zu]", first ? "" : ", ", #field, offsetof(struct type, field), \
              sizeof(static_cast<struct type*>(nullptr)->field));                              \
  first = false;

#define VEMU_STRUCT(type, FIELDS)                                                                \
  do {                                                                                           \
    bool first = true;                                                                           \
    std::printf("%s\"%s\": {\"size\": %zu, \"fields\": {", leading, #type, sizeof(struct type)); \
    FIELDS(type, VEMU_FIELD)                                                                     \
    std::printf("}}");                                                                           \
    leading = ", ";                                                                              \
  } while (0)

#define VEMU_LIVE_COUNTS(type, F) \
  F(type, allocations)            \
  F(type, allocated_bytes)        \
  F(type, events)                 \
  F(type, modules)                \
  F(type, context_refs)           \
  F(type, pending_fault)          \
  F(type, sticky_error)

#define VEMU_KERNEL_STATS(type, F)   \
  F(type, launches)                  \
  F(type, warp_instructions)         \
  F(type, thread_instructions)       \
  F(type, global_sectors)            \
  F(type, shared_accesses)           \
  F(type, atomics)                   \
  F(type, busiest_warp_instructions) \
  F(type, distinct_global_sectors)   \
  F(type, summed_busiest_warp_instructions)

int main() {
  const char* leading = "";
  std::printf("{");
  VEMU_STRUCT(vemu_live_counts, VEMU_LIVE_COUNTS);
  VEMU_STRUCT(vemu_kernel_stats, VEMU_KERNEL_STATS);
  std::printf("}\n");
  return 0;
}
