// The supported instruction families: one decoder per PTX opcode name.
#pragma once

#include <string_view>

#include "ptx/decoder.hpp"

namespace vorlan::emu::ptx {

using FamilyDecoder = Result<Instr> (*)(Decoder&, const Statement&, Modifiers&);

// nullptr for an opcode this engine does not implement.
FamilyDecoder find_family(std::string_view opcode);

// The family decoders, grouped by the file that defines them.
// decode_integer.cpp
Result<Instr> decode_add_sub(Decoder&, const Statement&, Modifiers&);
Result<Instr> decode_mul(Decoder&, const Statement&, Modifiers&);
Result<Instr> decode_mad(Decoder&, const Statement&, Modifiers&);
Result<Instr> decode_div_rem(Decoder&, const Statement&, Modifiers&);
Result<Instr> decode_min_max(Decoder&, const Statement&, Modifiers&);
Result<Instr> decode_abs_neg(Decoder&, const Statement&, Modifiers&);
Result<Instr> decode_logic(Decoder&, const Statement&, Modifiers&);
Result<Instr> decode_not(Decoder&, const Statement&, Modifiers&);
Result<Instr> decode_shift(Decoder&, const Statement&, Modifiers&);
Result<Instr> decode_bit_count(Decoder&, const Statement&, Modifiers&);
// decode_float.cpp
Result<Instr> decode_float_arith(Decoder&, const Statement&, Modifiers&, Type type);
Result<Instr> decode_fma(Decoder&, const Statement&, Modifiers&);
Result<Instr> decode_rcp_sqrt(Decoder&, const Statement&, Modifiers&);
// decode_compare.cpp
Result<Instr> decode_setp(Decoder&, const Statement&, Modifiers&);
Result<Instr> decode_selp(Decoder&, const Statement&, Modifiers&);
// decode_data.cpp
Result<Instr> decode_mov(Decoder&, const Statement&, Modifiers&);
Result<Instr> decode_cvt(Decoder&, const Statement&, Modifiers&);
Result<Instr> decode_cvta(Decoder&, const Statement&, Modifiers&);
// decode_memory.cpp
Result<Instr> decode_ld(Decoder&, const Statement&, Modifiers&);
Result<Instr> decode_st(Decoder&, const Statement&, Modifiers&);
Result<Instr> decode_atom(Decoder&, const Statement&, Modifiers&);
Result<Instr> decode_red(Decoder&, const Statement&, Modifiers&);
// decode_control.cpp
Result<Instr> decode_bra(Decoder&, const Statement&, Modifiers&);
Result<Instr> decode_ret_exit(Decoder&, const Statement&, Modifiers&);
Result<Instr> decode_bar(Decoder&, const Statement&, Modifiers&);
Result<Instr> decode_fence(Decoder&, const Statement&, Modifiers&);
// decode_warp.cpp
Result<Instr> decode_shfl(Decoder&, const Statement&, Modifiers&);
Result<Instr> decode_vote(Decoder&, const Statement&, Modifiers&);
Result<Instr> decode_activemask(Decoder&, const Statement&, Modifiers&);

}  // namespace vorlan::emu::ptx
