#include "call_control.hpp"

#include <algorithm>

namespace vorlan::emu {

std::optional<CUresult> CallControl::on_call(Entry entry) {
  std::uint64_t call = ++counts_[index_of(entry)];
  auto fires = [&](const Injection& injection) {
    return injection.entry == entry && injection.at_call == call;
  };
  auto found = std::ranges::find_if(injections_, fires);
  if (found == injections_.end()) return std::nullopt;
  CUresult result = found->result;
  // A second failure aimed at the same call can never fire; drop it with this one.
  std::erase_if(injections_, [&](const Injection& injection) {
    return injection.entry == entry && injection.at_call <= call;
  });
  return result;
}

void CallControl::fail_call(Entry entry, unsigned nth, CUresult result) {
  injections_.push_back({entry, counts_[index_of(entry)] + nth, result});
}

void CallControl::reset() {
  counts_.fill(0);
  injections_.clear();
}

}  // namespace vorlan::emu
