#include "ptx/instruction_table.hpp"

#include <array>
#include <utility>

namespace vorlan::emu::ptx {
namespace {

constexpr std::array<std::pair<std::string_view, FamilyDecoder>, 37> kFamilies{{
    {"add", decode_add_sub},   {"sub", decode_add_sub},  {"mul", decode_mul},
    {"mad", decode_mad},       {"fma", decode_fma},      {"div", decode_div_rem},
    {"rem", decode_div_rem},   {"min", decode_min_max},  {"max", decode_min_max},
    {"abs", decode_abs_neg},   {"neg", decode_abs_neg},  {"and", decode_logic},
    {"or", decode_logic},      {"xor", decode_logic},    {"not", decode_not},
    {"shl", decode_shift},     {"shr", decode_shift},    {"popc", decode_bit_count},
    {"clz", decode_bit_count}, {"rcp", decode_rcp_sqrt}, {"sqrt", decode_rcp_sqrt},
    {"setp", decode_setp},     {"selp", decode_selp},    {"mov", decode_mov},
    {"cvt", decode_cvt},       {"cvta", decode_cvta},    {"ld", decode_ld},
    {"st", decode_st},         {"atom", decode_atom},    {"red", decode_red},
    {"bra", decode_bra},       {"ret", decode_ret_exit}, {"exit", decode_ret_exit},
    {"bar", decode_bar},       {"barrier", decode_bar},  {"membar", decode_fence},
    {"fence", decode_fence},
}};
constexpr std::array<std::pair<std::string_view, FamilyDecoder>, 3> kWarpFamilies{{
    {"shfl", decode_shfl},
    {"vote", decode_vote},
    {"activemask", decode_activemask},
}};

}  // namespace

FamilyDecoder find_family(std::string_view opcode) {
  for (const auto& [name, decoder] : kFamilies) {
    if (name == opcode) return decoder;
  }
  for (const auto& [name, decoder] : kWarpFamilies) {
    if (name == opcode) return decoder;
  }
  return nullptr;
}

}  // namespace vorlan::emu::ptx
