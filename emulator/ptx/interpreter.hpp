// Runs one thread from its pc until it reaches a warp or block collective,
// exits, faults or uses up its quantum of instructions.
#pragma once

#include <cstdint>

#include "ptx/exec_context.hpp"

namespace vorlan::emu::ptx {

enum class Stop : std::uint8_t {
  Quantum,     // the quantum ran out; the thread can go on
  Collective,  // waiting at the collective instruction at its pc
  Exit,
  Fault,  // the context holds the fault
};

// Decrements `quantum` once per instruction issued (guarded-off ones included).
Stop run_thread(ExecContext& context, Thread& thread, std::uint64_t& quantum);
// The same, printing every instruction to standard error first.
Stop run_thread_traced(ExecContext& context, Thread& thread, std::uint64_t& quantum,
                       const Dim3& block_dim, const Dim3& block_id);

bool is_warp_collective(Op op);

}  // namespace vorlan::emu::ptx
