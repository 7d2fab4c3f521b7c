// The events created in one primary context. Work runs to completion when it
// is issued, so an event is complete as soon as it is recorded; what is kept
// is whether the handle is live, which is where misuse shows.
#pragma once

#include <set>

#include "handles.hpp"

namespace vorlan::emu {

class EventRegistry {
 public:
  void add(HandleId event) { events_.insert(event); }
  bool remove(HandleId event) { return events_.erase(event) != 0; }
  bool contains(HandleId event) const { return events_.contains(event); }
  std::size_t size() const { return events_.size(); }

 private:
  std::set<HandleId> events_;
};

}  // namespace vorlan::emu
