#include "ptx/decode_common.hpp"

#include <algorithm>

namespace vorlan::emu::ptx {

Result<Type> require_type(Decoder& decoder, const Statement& statement, Modifiers& modifiers,
                          std::initializer_list<Type> allowed) {
  const auto type = modifiers.take_type();
  if (!type) return decoder.error(statement.opcode + " needs a type");
  if (std::ranges::find(allowed, *type) == allowed.end()) {
    return decoder.error(statement.opcode + " does not take ." + std::string(type_name(*type)));
  }
  return *type;
}

Result<Instr> uniform(Decoder& decoder, const Statement& statement, Op op, Type type,
                      std::size_t sources) {
  if (auto count = decoder.expect_operands(statement, sources + 1); !count)
    return std::unexpected(count.error());
  Instr instr{.op = op, .type = type};
  auto d = decoder.destination(statement.operands[0], type);
  if (!d) return std::unexpected(d.error());
  instr.d = *d;
  std::uint16_t* fields[] = {&instr.a, &instr.b, &instr.c};
  for (std::size_t i = 0; i < sources; ++i) {
    auto slot = decoder.source(statement.operands[i + 1], type);
    if (!slot) return std::unexpected(slot.error());
    *fields[i] = *slot;
  }
  return instr;
}

}  // namespace vorlan::emu::ptx
