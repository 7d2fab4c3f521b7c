#include "driver/memory.hpp"

#include <new>
#include <utility>

#include "driver/loader.hpp"

namespace vorlan::driver {
namespace {

// Gives device memory back, failures deferred. Stream-ordered with memory
// pools; otherwise the stream is drained first (unless the context already has
// a failure to report), since a plain free does not wait for work still using
// the memory.
void free_device_memory(const DeviceStream& stream, CUdeviceptr address) noexcept {
  DeviceContext& context = stream.context();
  const DriverApi& api = driver_api();
  if (context.pooled_alloc()) {
    context.defer(api.cuMemFreeAsync(address, stream.handle()));
    return;
  }
  if (CUresult pending = context.take_deferred()) {
    context.defer(pending);
  } else {
    context.bind_for_teardown();
    context.defer(api.cuStreamSynchronize(stream.handle()));
  }
  context.defer(api.cuMemFree_v2(address));
}

}  // namespace

DeviceStream::~DeviceStream() {
  // The null stream is never destroyed; binding here only keeps a failure of
  // the context visible to its next operation.
  context_->bind_for_teardown();
}

DriverResult<> synchronize(const DeviceStream& stream) {
  if (auto r = stream.context().bind_current(); !r) return r;
  return check(driver_api().cuStreamSynchronize(stream.handle()));
}

DeviceEvent::DeviceEvent(SharedContext context, CUevent handle)
    : context_(std::move(context)), handle_(handle) {}

DeviceEvent::DeviceEvent(DeviceEvent&& other) noexcept
    : context_(std::move(other.context_)), handle_(std::exchange(other.handle_, nullptr)) {}

DriverResult<DeviceEvent> DeviceEvent::create(const SharedContext& context) {
  if (auto r = context->bind_current(); !r) return std::unexpected(r.error());
  CUevent handle = nullptr;
  if (auto r = check(driver_api().cuEventCreate(&handle, cuda::CU_EVENT_DISABLE_TIMING)); !r) {
    return std::unexpected(r.error());
  }
  return DeviceEvent(context, handle);
}

DeviceEvent::~DeviceEvent() {
  if (!context_) return;  // moved from
  context_->bind_for_teardown();
  context_->defer(driver_api().cuEventDestroy_v2(handle_));
}

DriverResult<> record(const DeviceEvent& event, const DeviceStream& stream) {
  if (auto r = stream.context().bind_current(); !r) return r;
  return check(driver_api().cuEventRecord(event.handle(), stream.handle()));
}

DriverResult<> wait(const DeviceStream& stream, const DeviceEvent& event) {
  if (auto r = stream.context().bind_current(); !r) return r;
  return check(driver_api().cuStreamWaitEvent(stream.handle(), event.handle(), 0));
}

RawBuffer::RawBuffer(SharedStream stream, CUdeviceptr address, std::unique_ptr<Events> events)
    : stream_(std::move(stream)), address_(address), events_(std::move(events)) {}

RawBuffer::RawBuffer(RawBuffer&& other) noexcept
    : stream_(std::move(other.stream_)),
      address_(std::exchange(other.address_, 0)),
      events_(std::move(other.events_)) {}

RawBuffer& RawBuffer::operator=(RawBuffer&& other) noexcept {
  if (this != &other) {
    release();
    stream_ = std::move(other.stream_);
    address_ = std::exchange(other.address_, 0);
    events_ = std::move(other.events_);
  }
  return *this;
}

RawBuffer::~RawBuffer() { release(); }

DriverResult<RawBuffer> RawBuffer::allocate(const SharedStream& stream, std::uint64_t bytes) {
  if (bytes == 0) return RawBuffer(stream, 0, nullptr);
  DeviceContext& context = stream->context();
  if (auto r = context.bind_current(); !r) return std::unexpected(r.error());
  const DriverApi& api = driver_api();
  CUdeviceptr address = 0;
  const CUresult allocated = context.pooled_alloc()
                                 ? api.cuMemAllocAsync(&address, bytes, stream->handle())
                                 : api.cuMemAlloc_v2(&address, bytes);
  if (auto r = check(allocated); !r) return std::unexpected(r.error());
  // Without its events the memory would have no owner: give it back.
  auto read = DeviceEvent::create(stream->shared_context());
  if (!read) {
    free_device_memory(*stream, address);
    return std::unexpected(read.error());
  }
  auto write = DeviceEvent::create(stream->shared_context());
  if (!write) {
    free_device_memory(*stream, address);
    return std::unexpected(write.error());
  }
  // Out of host memory the events go with the unwinding; the memory would
  // have no owner.
  std::unique_ptr<Events> events;
  try {
    events = std::make_unique<Events>(Events{std::move(*read), std::move(*write)});
  } catch (const std::bad_alloc&) {
    free_device_memory(*stream, address);
    throw;
  }
  return RawBuffer(stream, address, std::move(events));
}

DriverResult<> RawBuffer::copy_from_host(const DeviceStream& stream, const void* source,
                                         std::uint64_t bytes) {
  if (bytes == 0) return {};
  if (auto r = stream.context().bind_current(); !r) return r;
  const auto copied =
      check(driver_api().cuMemcpyHtoDAsync_v2(address_, source, bytes, stream.handle()));
  if (auto r = record(events_->write, stream); !r) stream.context().defer(r.error().code());
  return copied;
}

DriverResult<> RawBuffer::copy_to_host(const DeviceStream& stream, void* destination,
                                       std::uint64_t bytes, std::uint64_t offset) const {
  if (bytes == 0) return {};
  if (auto r = stream.context().bind_current(); !r) return r;
  // Into pageable host memory the driver returns only once the copy is done,
  // so the caller may read the destination at once.
  const auto copied = check(
      driver_api().cuMemcpyDtoHAsync_v2(destination, address_ + offset, bytes, stream.handle()));
  if (auto r = record(events_->read, stream); !r) stream.context().defer(r.error().code());
  return copied;
}

DriverResult<> RawBuffer::fill_bytes(const DeviceStream& stream, std::uint8_t value,
                                     std::uint64_t count) {
  if (count == 0) return {};
  if (auto r = stream.context().bind_current(); !r) return r;
  const auto filled = check(driver_api().cuMemsetD8Async(address_, value, count, stream.handle()));
  if (auto r = record(events_->write, stream); !r) stream.context().defer(r.error().code());
  return filled;
}

DriverResult<> RawBuffer::fill_words(const DeviceStream& stream, std::uint32_t value,
                                     std::uint64_t count) {
  if (count == 0) return {};
  if (auto r = stream.context().bind_current(); !r) return r;
  const auto filled = check(driver_api().cuMemsetD32Async(address_, value, count, stream.handle()));
  if (auto r = record(events_->write, stream); !r) stream.context().defer(r.error().code());
  return filled;
}

void RawBuffer::release() noexcept {
  if (!events_) {
    stream_.reset();
    return;
  }
  for (const DeviceEvent* event : {&events_->read, &events_->write}) {
    if (auto r = wait(*stream_, *event); !r) stream_->context().defer(r.error().code());
  }
  free_device_memory(*stream_, address_);
  // The read event goes first, then the write event (members alone would go
  // in reverse order).
  {
    const DeviceEvent read = std::move(events_->read);
  }
  events_.reset();
  address_ = 0;
  stream_.reset();
}

}  // namespace vorlan::driver
