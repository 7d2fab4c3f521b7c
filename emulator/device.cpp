#include "device.hpp"

namespace vorlan::emu {

Device::Device(int ordinal, std::uint64_t memory_bytes, bool memory_pools)
    : ordinal_(ordinal),
      memory_bytes_(memory_bytes),
      memory_pools_(memory_pools),
      addresses_(ordinal) {}

HandleId Device::context_handle() const {
  return tag_handle(HandleKind::context, static_cast<std::uint64_t>(ordinal_) + 1);
}

void Device::retain() {
  if (retains_++ == 0) context_ = std::make_unique<ContextState>(addresses_, memory_bytes_);
}

bool Device::release() {
  if (retains_ == 0) return false;
  if (--retains_ == 0) context_.reset();
  return true;
}

}  // namespace vorlan::emu
