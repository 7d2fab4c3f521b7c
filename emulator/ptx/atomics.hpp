// Read-modify-write operations of atom and red. A launch runs on one host
// thread, so each is a plain load, compute and store; the scheduler never
// switches threads inside one instruction.
#pragma once

#include <cstddef>

#include "ptx/numeric.hpp"
#include "ptx/opcodes.hpp"

namespace vorlan::emu::ptx {

// Applies the instruction's operation at `where` (checked and aligned) with
// operands b (and c for cas) and returns the value found there before.
Reg atomic_apply(const Instr& in, std::byte* where, Reg b, Reg c);

}  // namespace vorlan::emu::ptx
