// Device memory and its ordering. All work of a device goes to one stream, the
// context's null stream, so copies, fills and kernels run in issue order. Each
// buffer carries two events marking its last read and last write by a copy or
// a fill; its release is ordered after them.
//
// A buffer of zero elements holds no device memory and makes no driver call at
// all: drivers refuse 0-byte allocations, and a graph without edges is still a
// graph.
#pragma once

#include <bit>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <vector>

#include "driver/context.hpp"
#include "driver/fault.hpp"

namespace vorlan::driver {

class DeviceStream {
 public:
  explicit DeviceStream(SharedContext context) : context_(std::move(context)) {}
  DeviceStream(const DeviceStream&) = delete;
  DeviceStream& operator=(const DeviceStream&) = delete;
  ~DeviceStream();

  DeviceContext& context() const { return *context_; }
  const SharedContext& shared_context() const { return context_; }
  CUstream handle() const { return nullptr; }  // always the null stream

 private:
  SharedContext context_;
};

using SharedStream = std::shared_ptr<DeviceStream>;

// Returns once all work issued to the stream has finished.
DriverResult<> synchronize(const DeviceStream& stream);

class DeviceEvent {
 public:
  static DriverResult<DeviceEvent> create(const SharedContext& context);
  DeviceEvent(DeviceEvent&& other) noexcept;
  DeviceEvent& operator=(DeviceEvent&&) = delete;
  ~DeviceEvent();

  CUevent handle() const { return handle_; }

 private:
  DeviceEvent(SharedContext context, CUevent handle);
  SharedContext context_;
  CUevent handle_;
};

DriverResult<> record(const DeviceEvent& event, const DeviceStream& stream);
DriverResult<> wait(const DeviceStream& stream, const DeviceEvent& event);

// Untyped device memory with one owner; DeviceBuffer<T> gives it a type.
class RawBuffer {
 public:
  static DriverResult<RawBuffer> allocate(const SharedStream& stream, std::uint64_t bytes);
  RawBuffer(RawBuffer&& other) noexcept;
  RawBuffer& operator=(RawBuffer&& other) noexcept;
  ~RawBuffer();

  DriverResult<> copy_from_host(const DeviceStream& stream, const void* source,
                                std::uint64_t bytes);
  // Copies `bytes` from `offset` bytes into the buffer.
  DriverResult<> copy_to_host(const DeviceStream& stream, void* destination, std::uint64_t bytes,
                              std::uint64_t offset = 0) const;
  // Sets `count` bytes, or `count` 4-byte words, from the start to `value`,
  // in the stream's order like a copy.
  DriverResult<> fill_bytes(const DeviceStream& stream, std::uint8_t value, std::uint64_t count);
  DriverResult<> fill_words(const DeviceStream& stream, std::uint32_t value, std::uint64_t count);
  // The address, where a launch's parameter array can point at it.
  const CUdeviceptr* address() const { return &address_; }
  // The access events' driver handles (null for an empty buffer).
  CUevent read_event() const { return events_ ? events_->read.handle() : nullptr; }
  CUevent write_event() const { return events_ ? events_->write.handle() : nullptr; }

 private:
  struct Events {
    DeviceEvent read;
    DeviceEvent write;
  };
  RawBuffer(SharedStream stream, CUdeviceptr address, std::unique_ptr<Events> events);
  void release() noexcept;

  SharedStream stream_;
  CUdeviceptr address_ = 0;
  std::unique_ptr<Events> events_;  // absent for an empty buffer
};

template <class T>
class DeviceBuffer {
 public:
  DeviceBuffer(RawBuffer raw, std::uint64_t length) : raw_(std::move(raw)), length_(length) {}
  std::uint64_t length() const { return length_; }
  RawBuffer& raw() { return raw_; }
  const RawBuffer& raw() const { return raw_; }

 private:
  RawBuffer raw_;
  std::uint64_t length_;
};

// A buffer of n elements with undefined content.
template <class T>
DriverResult<DeviceBuffer<T>> allocate(const SharedStream& stream, std::uint64_t n) {
  // A byte count that wraps around 64 bits is more than any device holds.
  if (n > std::numeric_limits<std::uint64_t>::max() / sizeof(T)) {
    return std::unexpected(DriverError(cuda::CUDA_ERROR_OUT_OF_MEMORY));
  }
  auto raw = RawBuffer::allocate(stream, n * sizeof(T));
  if (!raw) return std::unexpected(raw.error());
  return DeviceBuffer<T>(std::move(*raw), n);
}

// Writes `host` over the first host.size() elements of `destination`, which
// must be at least that long (anything else is a fault).
template <class T>
DriverResult<> copy_to_device(const DeviceStream& stream, std::span<const T> host,
                              DeviceBuffer<T>& destination) {
  fault_unless(destination.length() >= host.size(), "assertion failed: dst.len() >= src.len()");
  return destination.raw().copy_from_host(stream, host.data(), host.size() * sizeof(T));
}

// Sets every element of `destination` to `value` on the device. Elements of
// 1 and 4 bytes fill directly; an 8-byte value fills as words when its two
// halves are the same word (0 and all-ones, the values counters start from),
// and anything else is a fault.
template <class T>
DriverResult<> fill(const DeviceStream& stream, DeviceBuffer<T>& destination, T value) {
  static_assert(sizeof(T) == 1 || sizeof(T) == 4 || sizeof(T) == 8);
  if constexpr (sizeof(T) == 1) {
    return destination.raw().fill_bytes(stream, std::bit_cast<std::uint8_t>(value),
                                        destination.length());
  } else if constexpr (sizeof(T) == 4) {
    return destination.raw().fill_words(stream, std::bit_cast<std::uint32_t>(value),
                                        destination.length());
  } else {
    const auto bits = std::bit_cast<std::uint64_t>(value);
    const auto low = static_cast<std::uint32_t>(bits);
    fault_unless(low == static_cast<std::uint32_t>(bits >> 32),
                 "assertion failed: an 8-byte fill repeats one 4-byte word");
    return destination.raw().fill_words(stream, low, destination.length() * 2);
  }
}

// A new buffer holding a copy of `host`.
template <class T>
DriverResult<DeviceBuffer<T>> upload(const SharedStream& stream, std::span<const T> host) {
  auto buffer = allocate<T>(stream, host.size());
  if (!buffer) return buffer;
  if (auto r = copy_to_device(*stream, host, *buffer); !r) return std::unexpected(r.error());
  return buffer;
}

// All elements of `source`; complete when it returns.
template <class T>
DriverResult<std::vector<T>> download(const DeviceStream& stream, const DeviceBuffer<T>& source) {
  std::vector<T> host(source.length());
  if (auto r = source.raw().copy_to_host(stream, host.data(), host.size() * sizeof(T)); !r) {
    return std::unexpected(r.error());
  }
  return host;
}

// Element `index` of `source`, which must hold it; complete when it returns.
// A total at the end of a device-made array is all the host needs of it.
template <class T>
DriverResult<T> download_element(const DeviceStream& stream, const DeviceBuffer<T>& source,
                                 std::uint64_t index) {
  fault_unless(index < source.length(), "assertion failed: index < src.len()");
  T value{};
  if (auto r = source.raw().copy_to_host(stream, &value, sizeof(T), index * sizeof(T)); !r) {
    return std::unexpected(r.error());
  }
  return value;
}

}  // namespace vorlan::driver
