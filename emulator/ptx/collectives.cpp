#include "ptx/collectives.hpp"

#include <array>
#include <bit>
#include <format>

#include "ptx/interpreter.hpp"

namespace vorlan::emu::ptx {
namespace {

constexpr unsigned kBarriers = 16;

void release(Thread& thread) {
  ++thread.pc;
  thread.status = Thread::Status::Ready;
}

template <class F>
void for_each_lane(std::uint32_t mask, F f) {
  while (mask != 0) {
    f(static_cast<unsigned>(std::countr_zero(mask)));
    mask &= mask - 1;
  }
}

std::uint32_t member_mask(const Thread& lane, const Instr& in) {
  const std::uint16_t slot = in.op == Op::Shfl   ? static_cast<std::uint16_t>(in.imm)
                             : in.op == Op::Vote ? in.b
                                                 : in.a;
  return static_cast<std::uint32_t>(lane.regs[slot]);
}

// Lanes of `candidates` waiting at an instruction with the same qualifiers and
// mask as the one at `pc`, and with `strict`, at that very instruction.
std::uint32_t same_collective(const Instr* code, std::span<Thread> lanes, std::uint32_t candidates,
                              std::uint32_t pc, std::uint32_t mask, bool strict) {
  const Instr& in = code[pc];
  std::uint32_t group = 0;
  for_each_lane(candidates, [&](unsigned i) {
    const Instr& other = code[lanes[i].pc];
    if (strict && lanes[i].pc != pc) return;
    if (other.op == in.op && other.mod == in.mod && other.type == in.type &&
        member_mask(lanes[i], other) == mask) {
      group |= 1u << i;
    }
  });
  return group;
}

std::uint32_t same_pc(std::span<Thread> lanes, std::uint32_t candidates, std::uint32_t pc) {
  std::uint32_t group = 0;
  for_each_lane(candidates, [&](unsigned i) { group |= lanes[i].pc == pc ? 1u << i : 0u; });
  return group;
}

// The source lane of one shuffle and whether it lies inside the clamp.
struct ShflSource {
  unsigned lane;
  bool in_range;
};

ShflSource shfl_source(ShflMode mode, int lane, std::uint32_t b, std::uint32_t c) {
  const int bval = static_cast<int>(b & 31);
  const int cval = static_cast<int>(c & 31);
  const int segmask = static_cast<int>((c >> 8) & 31);
  const int max_lane = (lane & segmask) | (cval & ~segmask);
  const int min_lane = lane & segmask;
  int j = lane;
  bool in_range = false;
  switch (mode) {
    case ShflMode::Up:
      j = lane - bval;
      in_range = j >= max_lane;
      break;
    case ShflMode::Down:
      j = lane + bval;
      in_range = j <= max_lane;
      break;
    case ShflMode::Bfly:
      j = lane ^ bval;
      in_range = j <= max_lane;
      break;
    case ShflMode::Idx:
      j = min_lane | (bval & ~segmask);
      in_range = j <= max_lane;
      break;
  }
  return {static_cast<unsigned>(in_range ? j : lane), in_range};
}

// A lane reading from a lane outside the group (exited, absent from a partial
// warp, or not in the mask) gets its own value: PTX leaves it undefined.
void complete_shfl(const Instr* code, std::span<Thread> lanes, std::uint32_t group) {
  std::array<std::uint32_t, 32> values{};
  for_each_lane(group, [&](unsigned i) {
    values[i] = static_cast<std::uint32_t>(lanes[i].regs[code[lanes[i].pc].a]);
  });
  for_each_lane(group, [&](unsigned i) {
    const Instr& in = code[lanes[i].pc];
    Reg* r = lanes[i].regs;
    const ShflSource source =
        shfl_source(static_cast<ShflMode>(in.mod), static_cast<int>(i),
                    static_cast<std::uint32_t>(r[in.b]), static_cast<std::uint32_t>(r[in.c]));
    r[in.d] = (group >> source.lane) & 1 ? values[source.lane] : values[i];
    r[in.e] = source.in_range ? 1 : 0;
    release(lanes[i]);
  });
}

void complete_vote(const Instr* code, std::span<Thread> lanes, std::uint32_t group) {
  std::uint32_t ballot = 0;
  for_each_lane(group, [&](unsigned i) {
    const Instr& in = code[lanes[i].pc];
    const bool value = ((lanes[i].regs[in.a] & 1) != 0) != ((in.flags & kNegate) != 0);
    ballot |= value ? 1u << i : 0u;
  });
  for_each_lane(group, [&](unsigned i) {
    const Instr& in = code[lanes[i].pc];
    switch (static_cast<VoteMode>(in.mod)) {
      case VoteMode::All:
        lanes[i].regs[in.d] = ballot == group;
        break;
      case VoteMode::Any:
        lanes[i].regs[in.d] = ballot != 0;
        break;
      case VoteMode::Uni:
        lanes[i].regs[in.d] = ballot == group || ballot == 0;
        break;
      case VoteMode::Ballot:
        lanes[i].regs[in.d] = ballot;
        break;
    }
    release(lanes[i]);
  });
}

void complete(const Instr* code, std::span<Thread> lanes, std::uint32_t group) {
  const Instr& in = code[lanes[static_cast<unsigned>(std::countr_zero(group))].pc];
  if (in.op == Op::Shfl) return complete_shfl(code, lanes, group);
  if (in.op == Op::Vote) return complete_vote(code, lanes, group);
  for_each_lane(group, [&](unsigned i) {
    if (in.op == Op::ActiveMask) lanes[i].regs[code[lanes[i].pc].d] = group;
    release(lanes[i]);
  });
}

struct WarpState {
  std::uint32_t waiting = 0;  // at a warp collective
  std::uint32_t ready = 0;
  std::uint32_t live = 0;  // not exited
};

WarpState warp_state(const Instr* code, std::span<Thread> lanes) {
  WarpState state;
  for (unsigned i = 0; i < lanes.size(); ++i) {
    const Thread& lane = lanes[i];
    if (lane.status != Thread::Status::Exited) state.live |= 1u << i;
    if (lane.status == Thread::Status::Ready) state.ready |= 1u << i;
    if (lane.status == Thread::Status::Waiting && is_warp_collective(code[lane.pc].op))
      state.waiting |= 1u << i;
  }
  return state;
}

LaunchIssue mask_hazard(std::span<Thread> lanes, unsigned first, std::uint32_t mask, unsigned named,
                        const char* why) {
  return LaunchIssue{
      kLaunchFailed,
      std::format("warp collective with member mask 0x{:08x} names lane {}, which {}", mask, named,
                  why),
      lanes[first].index, true};
}

// With the checks on, a mask must name only lanes that are there to take part.
std::expected<void, LaunchIssue> check_members(std::span<Thread> lanes, unsigned first,
                                               std::uint32_t mask, std::uint32_t live) {
  const std::uint32_t gone = mask & ~live;
  if (gone == 0) return {};
  const auto lane = static_cast<unsigned>(std::countr_zero(gone));
  return std::unexpected(
      mask_hazard(lanes, first, mask, lane, lane < lanes.size() ? "has exited" : "does not exist"));
}

}  // namespace

std::expected<bool, LaunchIssue> resolve_warp(const Instr* code, std::span<Thread> lanes,
                                              bool strict) {
  const WarpState state = warp_state(code, lanes);
  std::uint32_t pending = state.waiting;
  bool progress = false;
  std::uint32_t stuck = 0;  // lanes of a group whose other members wait elsewhere
  while (pending != 0) {
    const auto first = static_cast<unsigned>(std::countr_zero(pending));
    const Instr& in = code[lanes[first].pc];
    if (in.op == Op::ActiveMask) {
      const std::uint32_t group = same_pc(lanes, pending, lanes[first].pc);
      pending &= ~group;
      if (state.ready != 0) continue;  // running lanes may still converge here
      complete(code, lanes, group);
      progress = true;
      continue;
    }
    const std::uint32_t mask = member_mask(lanes[first], in);
    const std::uint32_t group =
        same_collective(code, lanes, pending, lanes[first].pc, mask, strict);
    pending &= ~group;
    if ((group & ~mask) != 0) {
      const auto outsider = static_cast<unsigned>(std::countr_zero(group & ~mask));
      return std::unexpected(LaunchIssue{
          kLaunchFailed, std::format("lane {} is not in its membermask 0x{:08x}", outsider, mask),
          lanes[outsider].index});
    }
    if (strict) {
      if (auto members = check_members(lanes, first, mask, state.live); !members)
        return std::unexpected(members.error());
    }
    if ((mask & state.live & ~group) != 0) {  // someone has yet to arrive
      stuck |= group;
      continue;
    }
    complete(code, lanes, group);
    progress = true;
  }
  // No lane of the warp can run, so the missing members never come.
  if (strict && !progress && state.ready == 0 && stuck != 0) {
    const auto first = static_cast<unsigned>(std::countr_zero(stuck));
    const std::uint32_t mask = member_mask(lanes[first], code[lanes[first].pc]);
    const std::uint32_t elsewhere =
        mask & state.live & ~same_pc(lanes, state.waiting, lanes[first].pc);
    return std::unexpected(mask_hazard(lanes, first, mask,
                                       static_cast<unsigned>(std::countr_zero(elsewhere)),
                                       "waits at another instruction"));
  }
  return progress;
}

std::expected<bool, LaunchIssue> resolve_barriers(const Instr* code, std::span<Thread> threads,
                                                  std::uint32_t live_threads) {
  std::array<std::uint32_t, kBarriers> arrived{};
  std::array<std::uint32_t, kBarriers> expected{};
  for (const Thread& thread : threads) {
    if (thread.status != Thread::Status::Waiting || code[thread.pc].op != Op::BarSync) continue;
    const Instr& in = code[thread.pc];
    const auto id = static_cast<std::uint32_t>(thread.regs[in.a]);
    if (id >= kBarriers) {
      return std::unexpected(
          LaunchIssue{kLaunchFailed, std::format("barrier {} does not exist", id), thread.index});
    }
    ++arrived[id];
    if (in.flags & kHasCount) expected[id] = static_cast<std::uint32_t>(thread.regs[in.b]);
  }
  bool progress = false;
  for (std::uint32_t id = 0; id < kBarriers; ++id) {
    const std::uint32_t needed = expected[id] != 0 ? expected[id] : live_threads;
    if (arrived[id] == 0 || arrived[id] < needed) continue;
    for (Thread& thread : threads) {
      const bool here = thread.status == Thread::Status::Waiting &&
                        code[thread.pc].op == Op::BarSync &&
                        static_cast<std::uint32_t>(thread.regs[code[thread.pc].a]) == id;
      if (here) release(thread);
    }
    progress = true;
  }
  return progress;
}

}  // namespace vorlan::emu::ptx
