#include "ptx/atomics.hpp"

#include "ptx/float_ops.hpp"
#include "ptx/int_ops.hpp"

namespace vorlan::emu::ptx {
namespace {

template <class T>
T integer_update(AtomOp op, T old, T b, T c) {
  switch (op) {
    case AtomOp::And:
      return static_cast<T>(old & b);
    case AtomOp::Or:
      return static_cast<T>(old | b);
    case AtomOp::Xor:
      return static_cast<T>(old ^ b);
    case AtomOp::Cas:
      return old == b ? c : old;
    case AtomOp::Exch:
      return b;
    case AtomOp::Add:
      return static_cast<T>(static_cast<std::make_unsigned_t<T>>(old) +
                            static_cast<std::make_unsigned_t<T>>(b));
    case AtomOp::Inc:
      return old >= b ? T{0} : static_cast<T>(old + 1);
    case AtomOp::Dec:
      return (old == 0 || old > b) ? b : static_cast<T>(old - 1);
    case AtomOp::Min:
      return min_int(old, b);
    case AtomOp::Max:
      return max_int(old, b);
  }
  return old;
}

template <class T>
Reg update_integer(const Instr& in, std::byte* where, Reg b, Reg c) {
  T old;
  std::memcpy(&old, where, sizeof(T));
  const T next = integer_update<T>(static_cast<AtomOp>(in.mod), old, as<T>(b), as<T>(c));
  std::memcpy(where, &next, sizeof(T));
  return bits_of(old);
}

// atom.add.f32 flushes subnormal inputs and results, as the hardware does.
template <class F>
Reg add_float(std::byte* where, Reg b) {
  F old;
  std::memcpy(&old, where, sizeof(F));
  F next;
  if constexpr (std::is_same_v<F, float>) {
    next = flush(flush(old) + flush(as<float>(b)));
  } else {
    next = old + as<double>(b);
  }
  std::memcpy(where, &next, sizeof(F));
  return bits_of(old);
}

}  // namespace

Reg atomic_apply(const Instr& in, std::byte* where, Reg b, Reg c) {
  switch (in.type) {
    case Type::F32:
      return add_float<float>(where, b);
    case Type::F64:
      return add_float<double>(where, b);
    case Type::S32:
      return update_integer<std::int32_t>(in, where, b, c);
    case Type::S64:
      return update_integer<std::int64_t>(in, where, b, c);
    case Type::B64:
    case Type::U64:
      return update_integer<std::uint64_t>(in, where, b, c);
    default:
      return update_integer<std::uint32_t>(in, where, b, c);
  }
}

}  // namespace vorlan::emu::ptx
