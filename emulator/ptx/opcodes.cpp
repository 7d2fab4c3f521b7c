#include "ptx/opcodes.hpp"

#include <array>

namespace vorlan::emu::ptx {
namespace {

struct OpInfo {
  std::string_view mnemonic;
  Format format;
};

constexpr std::array<OpInfo, static_cast<std::size_t>(Op::Count)> kOps{{
#define VORLAN_PTX_INFO(name, mnemonic, format) {mnemonic, Format::format},
    VORLAN_PTX_OPCODES(VORLAN_PTX_INFO)
#undef VORLAN_PTX_INFO
}};

}  // namespace

std::string_view op_mnemonic(Op op) { return kOps[static_cast<std::size_t>(op)].mnemonic; }
Format op_format(Op op) { return kOps[static_cast<std::size_t>(op)].format; }

}  // namespace vorlan::emu::ptx
