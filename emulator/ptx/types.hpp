// The scalar types PTX instructions and declarations name.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vorlan::emu::ptx {

enum class Type : std::uint8_t {
  B8,
  B16,
  B32,
  B64,
  U8,
  U16,
  U32,
  U64,
  S8,
  S16,
  S32,
  S64,
  F32,
  F64,
  Pred
};

// ".u32" -> Type::U32; nullopt for anything that is not a supported scalar type.
std::optional<Type> parse_type(std::string_view modifier);
std::string_view type_name(Type type);  // "u32", without the dot

constexpr unsigned type_bits(Type type) {
  switch (type) {
    case Type::B8:
    case Type::U8:
    case Type::S8:
      return 8;
    case Type::B16:
    case Type::U16:
    case Type::S16:
      return 16;
    case Type::B32:
    case Type::U32:
    case Type::S32:
    case Type::F32:
      return 32;
    case Type::B64:
    case Type::U64:
    case Type::S64:
    case Type::F64:
      return 64;
    case Type::Pred:
      return 1;
  }
  return 0;
}
constexpr unsigned type_bytes(Type type) { return type == Type::Pred ? 1 : type_bits(type) / 8; }
constexpr bool is_signed(Type type) {
  return type == Type::S8 || type == Type::S16 || type == Type::S32 || type == Type::S64;
}
constexpr bool is_float(Type type) { return type == Type::F32 || type == Type::F64; }
constexpr bool is_integer(Type type) { return !is_float(type) && type != Type::Pred; }

}  // namespace vorlan::emu::ptx
