// The scheduler's source of shuffles: small, fast and reproducible from a seed.
#pragma once

#include <cstdint>
#include <span>
#include <utility>

namespace vorlan::emu::ptx {

class Rng {
 public:
  explicit Rng(std::uint64_t seed) : state_(seed) {}

  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }

  // Uniform enough in [0, bound) for scheduling; bound > 0.
  std::uint64_t below(std::uint64_t bound) { return next() % bound; }

  template <class T>
  void shuffle(std::span<T> items) {
    for (std::size_t i = items.size(); i > 1; --i) std::swap(items[i - 1], items[below(i)]);
  }

 private:
  std::uint64_t state_;
};

}  // namespace vorlan::emu::ptx
