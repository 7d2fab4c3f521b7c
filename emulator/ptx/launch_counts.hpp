// What one launch does, counted the way a GPU would issue it. Threads run one
// at a time here, so warp-level figures are rebuilt from per-lane ones: the
// k-th time any lane of a warp reaches instruction pc is one issue of that
// warp, and the lanes' accesses at that issue form one warp-level access.
// Each lane's path fixes every count, so no figure depends on the order in
// which threads ran.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

namespace vorlan::emu::ptx {

struct LaunchCounts {
  std::uint64_t warp_instructions = 0;
  std::uint64_t thread_instructions = 0;  // issued to lanes, guarded-off ones included
  std::uint64_t guarded_off = 0;
  std::uint64_t global_sectors = 0;           // summed over warp-level accesses
  std::uint64_t distinct_global_sectors = 0;  // each sector once, however many warps touch it
  std::uint64_t shared_accesses = 0;
  std::uint64_t atomics = 0;
  std::uint64_t busiest_warp = 0;
};

// Which (issue, 32-byte sector) pairs one warp has touched: an open-addressed
// set, emptied by forgetting only what went in, and given back to the system
// when it grew large, so that one busy warp does not hold memory for the rest
// of the process.
class AccessSet {
 public:
  AccessSet() : slots_(kInitialSlots) {}
  // Whether the pair is new.
  bool insert(std::uint64_t issue, std::uint64_t sector) {
    if ((used_.size() + 1) * 2 > slots_.size()) grow();
    return place(issue, sector);
  }
  void clear() {
    if (slots_.size() > kKeptSlots) {
      std::vector<Slot>(kInitialSlots).swap(slots_);
      std::vector<std::uint32_t>().swap(used_);
      return;
    }
    for (const std::uint32_t index : used_) slots_[index] = Slot{};
    used_.clear();
  }

 private:
  struct Slot {
    std::uint64_t issue = kEmpty;
    std::uint64_t sector = 0;
  };
  static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};
  static constexpr std::size_t kInitialSlots = 1024;
  static constexpr std::size_t kKeptSlots = std::size_t{1} << 16;

  bool place(std::uint64_t issue, std::uint64_t sector) {
    const std::size_t mask = slots_.size() - 1;
    // The top bits of the product depend on every bit of both keys.
    const std::uint64_t mixed =
        (issue ^ std::rotl(sector * 0xC2B2AE3D27D4EB4Full, 29)) * 0x9E3779B97F4A7C15ull;
    std::size_t index = static_cast<std::size_t>(mixed >> (64 - std::countr_zero(slots_.size())));
    while (slots_[index].issue != kEmpty) {
      if (slots_[index].issue == issue && slots_[index].sector == sector) return false;
      index = (index + 1) & mask;
    }
    slots_[index] = Slot{issue, sector};
    used_.push_back(static_cast<std::uint32_t>(index));
    return true;
  }
  void grow() {
    std::vector<Slot> old;
    old.swap(slots_);
    slots_.assign(old.size() * 2, Slot{});
    used_.clear();
    for (const Slot& slot : old) {
      if (slot.issue != kEmpty) place(slot.issue, slot.sector);
    }
  }

  std::vector<Slot> slots_;
  std::vector<std::uint32_t> used_;
};

// The distinct 32-byte sectors of global memory one launch has touched: what
// it must move between DRAM and the chip at the least. Device addresses only
// grow over a process, so the set is a bitmap per page of addresses, made on
// first touch; a few recently used pages are found without hashing, since a
// kernel walks only a handful of arrays at a time.
class SectorSet {
 public:
  // Whether `sector` (address / 32) is new.
  bool insert(std::uint64_t sector) {
    const std::uint64_t page = sector >> kPageBits;
    Recent& recent = recent_[page % kRecent];
    if (recent.page != page || recent.bits == nullptr) recent = Recent{page, &bits_of(page)};
    const std::uint64_t offset = sector & (kPageSectors - 1);
    std::uint64_t& word = (*recent.bits)[offset / 64];
    const std::uint64_t bit = std::uint64_t{1} << (offset % 64);
    if (word & bit) return false;
    word |= bit;
    return true;
  }

 private:
  static constexpr unsigned kPageBits =
      12;  // 4096 sectors: 128 KiB of device memory, 512 bytes of bits
  static constexpr std::uint64_t kPageSectors = std::uint64_t{1} << kPageBits;
  static constexpr std::size_t kRecent = 8;
  using Bits = std::array<std::uint64_t, kPageSectors / 64>;
  struct Recent {
    std::uint64_t page = 0;
    Bits* bits = nullptr;
  };

  Bits& bits_of(std::uint64_t page) {
    auto& slot = pages_[page];
    if (!slot) slot = std::make_unique<Bits>();
    return *slot;
  }

  std::unordered_map<std::uint64_t, std::unique_ptr<Bits>> pages_;
  std::array<Recent, kRecent> recent_{};
};

}  // namespace vorlan::emu::ptx
