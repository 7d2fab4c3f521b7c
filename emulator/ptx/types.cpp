#include "ptx/types.hpp"

#include <array>
#include <utility>

namespace vorlan::emu::ptx {
namespace {

constexpr std::array<std::pair<std::string_view, Type>, 15> kTypes{{
    {"b8", Type::B8},
    {"b16", Type::B16},
    {"b32", Type::B32},
    {"b64", Type::B64},
    {"u8", Type::U8},
    {"u16", Type::U16},
    {"u32", Type::U32},
    {"u64", Type::U64},
    {"s8", Type::S8},
    {"s16", Type::S16},
    {"s32", Type::S32},
    {"s64", Type::S64},
    {"f32", Type::F32},
    {"f64", Type::F64},
    {"pred", Type::Pred},
}};

}  // namespace

std::optional<Type> parse_type(std::string_view modifier) {
  if (!modifier.starts_with('.')) return std::nullopt;
  modifier.remove_prefix(1);
  for (const auto& [name, type] : kTypes) {
    if (name == modifier) return type;
  }
  return std::nullopt;
}

std::string_view type_name(Type type) {
  for (const auto& [name, candidate] : kTypes) {
    if (candidate == type) return name;
  }
  return "?";
}

}  // namespace vorlan::emu::ptx
