// Branches, thread exit, barriers and memory fences.
#include <array>

#include "ptx/decode_common.hpp"

namespace vorlan::emu::ptx {
namespace {

constexpr std::array<std::string_view, 3> kMembarLevels = {".cta", ".gl", ".sys"};
constexpr std::array<std::string_view, 3> kFenceScopes = {".cta", ".gpu", ".sys"};

Result<Instr> decode_warp_barrier(Decoder& decoder, const Statement& statement,
                                  Modifiers& modifiers) {
  if (!modifiers.take(".sync")) return decoder.error("bar.warp needs .sync");
  if (auto count = decoder.expect_operands(statement, 1); !count)
    return std::unexpected(count.error());
  auto mask = decoder.source(statement.operands[0], Type::B32);
  if (!mask) return std::unexpected(mask.error());
  return Instr{.op = Op::BarWarpSync, .a = *mask};
}

}  // namespace

Result<Instr> decode_bra(Decoder& decoder, const Statement& statement, Modifiers& modifiers) {
  modifiers.take(".uni");
  if (auto count = decoder.expect_operands(statement, 1); !count)
    return std::unexpected(count.error());
  auto target = decoder.label(statement.operands[0]);
  if (!target) return std::unexpected(target.error());
  return Instr{.op = Op::Bra, .imm = *target};
}

Result<Instr> decode_ret_exit(Decoder& decoder, const Statement& statement, Modifiers& modifiers) {
  if (statement.opcode == "ret") modifiers.take(".uni");
  if (auto count = decoder.expect_operands(statement, 0); !count)
    return std::unexpected(count.error());
  return Instr{.op = statement.opcode == "ret" ? Op::Ret : Op::Exit};
}

// bar.sync a{, b}, bar.cta.sync, barrier.sync{.aligned}; bar.warp.sync mask.
Result<Instr> decode_bar(Decoder& decoder, const Statement& statement, Modifiers& modifiers) {
  if (statement.opcode == "bar" && modifiers.take(".warp"))
    return decode_warp_barrier(decoder, statement, modifiers);
  if (statement.opcode == "bar") modifiers.take(".cta");
  if (!modifiers.take(".sync"))
    return decoder.error(statement.opcode + " supports only the .sync form");
  if (statement.opcode == "barrier") modifiers.take(".aligned");
  if (statement.operands.empty() || statement.operands.size() > 2)
    return decoder.error(statement.opcode + " takes one or two operands");
  Instr instr{.op = Op::BarSync};
  auto id = decoder.source(statement.operands[0], Type::U32);
  if (!id) return std::unexpected(id.error());
  instr.a = *id;
  if (statement.operands.size() == 2) {
    auto threads = decoder.source(statement.operands[1], Type::U32);
    if (!threads) return std::unexpected(threads.error());
    instr.b = *threads;
    instr.flags = kHasCount;
  }
  return instr;
}

Result<Instr> decode_fence(Decoder& decoder, const Statement& statement, Modifiers& modifiers) {
  if (statement.opcode == "membar") {
    if (!modifiers.take_one_of(kMembarLevels))
      return decoder.error("membar needs .cta, .gl or .sys");
  } else {
    modifiers.take(".sc") || modifiers.take(".acq_rel");
    if (!modifiers.take_one_of(kFenceScopes))
      return decoder.error("fence needs .cta, .gpu or .sys");
  }
  if (auto count = decoder.expect_operands(statement, 0); !count)
    return std::unexpected(count.error());
  return Instr{.op = Op::Nop};
}

}  // namespace vorlan::emu::ptx
