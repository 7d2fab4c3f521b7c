// The parsed, not yet decoded, form of a PTX module: directives, declarations
// and instruction statements with their operands as written.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "ptx/types.hpp"

namespace vorlan::emu::ptx {

struct Operand {
  enum class Kind : std::uint8_t {
    Name,     // a register, special register, symbol, label or the sink `_`
    Integer,  // `bits` holds the two's complement value
    Float,    // `bits` holds an f32 pattern (0f...) or an f64 pattern (0d..., decimal)
    Address,  // [name], [name+offset], [offset]
    Vector,   // {a, b, ...}
    Pair,     // a|b (a second predicate destination)
  };
  Kind kind = Kind::Name;
  std::string name{};    // Name, Address base (empty for an absolute address), Pair first
  std::string second{};  // Pair second
  bool negated = false;
  bool single = false;  // Float: `bits` is an f32 pattern
  std::uint64_t bits = 0;
  std::int64_t offset = 0;
  std::vector<Operand> elements{};  // Vector: registers, `_` or constants
};

struct Statement {
  int line = 0;
  std::string guard;  // empty: unguarded
  bool guard_negated = false;
  std::string opcode;                  // "ld"
  std::vector<std::string> modifiers;  // ".global", ".u32"
  std::vector<Operand> operands;
};

struct RegisterDecl {
  std::string name;
  Type type;
  int line;
};

struct SharedDecl {
  std::string name;
  Type type;
  std::uint32_t align;
  std::uint64_t count;  // elements; 0 for an .extern array
  bool is_extern;
  int line;
};

struct ParamDecl {
  std::string name;
  Type type;
  std::uint32_t align;
  std::uint32_t count;  // elements; 1 for a scalar
  int line;
};

struct ThreadLimit {
  bool present = false;
  std::uint32_t x = 1, y = 1, z = 1;
};

struct EntrySyntax {
  std::string name;
  int line = 0;
  std::vector<ParamDecl> params;
  std::vector<RegisterDecl> registers;
  std::vector<SharedDecl> shared;
  std::vector<Statement> body;
  std::map<std::string, std::size_t, std::less<>> labels;  // label -> index into body
  ThreadLimit max_threads;                                 // .maxntid
  ThreadLimit required_threads;                            // .reqntid
};

struct ModuleSyntax {
  int version_major = 0;
  int version_minor = 0;
  std::vector<SharedDecl> shared;  // module-scope .shared variables
  std::vector<EntrySyntax> entries;
};

}  // namespace vorlan::emu::ptx
