// Device memory: allocation, release, copies between host and device, fills.
#include <cstring>
#include <format>
#include <limits>
#include <string_view>

#include "entry_guard.hpp"
#include "entry_points.hpp"

using namespace vorlan::emu;

namespace {

CUresult allocate(Driver& driver, LiveContext context, CUdeviceptr* dptr, std::size_t bytes,
                  std::string_view entry) {
  if (CUresult sticky = context.state.error()) return sticky;
  if (dptr == nullptr) return CUDA_ERROR_INVALID_VALUE;
  if (bytes == 0) return driver.refuse(CUDA_ERROR_INVALID_VALUE, std::format("{}: 0 bytes", entry));
  AllocationTable& memory = context.state.memory();
  auto base = memory.allocate(bytes);
  if (!base) {
    return driver.refuse(base.error(),
                         std::format("{}: {} bytes do not fit, {} of {} bytes in use", entry, bytes,
                                     memory.used_bytes(), memory.capacity()));
  }
  *dptr = *base;
  return CUDA_SUCCESS;
}

CUresult release(Driver& driver, CUdeviceptr dptr, std::string_view entry, bool stream_ordered) {
  auto owner = driver.owner_of_address(dptr);
  if (!owner) {
    return driver.refuse(
        CUDA_ERROR_INVALID_VALUE,
        std::format("{}: {:#x} is not the start of a live allocation", entry, dptr));
  }
  if (stream_ordered && !owner->device.memory_pools()) return CUDA_ERROR_NOT_SUPPORTED;
  if (CUresult sticky = owner->state.error()) return sticky;
  owner->state.memory().release(dptr);
  return CUDA_SUCCESS;
}

// The host bytes of [address, address + bytes) in the context's memory, or a
// refusal when the range does not lie inside one live allocation.
std::expected<std::span<std::byte>, CUresult> device_range(Driver& driver, LiveContext context,
                                                           CUdeviceptr address, std::size_t bytes,
                                                           std::string_view entry) {
  auto range = context.state.memory().host_range(address, bytes);
  if (range.empty()) {
    return std::unexpected(driver.refuse(
        CUDA_ERROR_INVALID_VALUE,
        std::format("{}: [{:#x}, +{}) is not inside one live allocation", entry, address, bytes)));
  }
  return range;
}

// Copies wait for the work issued before them, so they are where a kernel's
// fault shows.
template <class Copy>
CUresult copy(Entry entry, CUstream stream, const void* host, std::size_t bytes, Copy&& body) {
  return run_in_context(entry, [&](Driver& driver, LiveContext context) {
    if (!is_null_stream(stream)) return CUDA_ERROR_INVALID_HANDLE;
    if (CUresult sticky = context.state.synchronize()) return sticky;
    if (bytes == 0) return CUDA_SUCCESS;
    if (host == nullptr) return CUDA_ERROR_INVALID_VALUE;
    return body(driver, context);
  });
}

// Fills are issued on the stream like copies and take their place in its
// order, so they too are where an earlier kernel's fault shows. A count whose
// byte length would wrap is more than any allocation holds.
template <class Word>
CUresult fill(Entry entry, CUdeviceptr address, Word value, std::size_t count, CUstream stream) {
  return run_in_context(entry, [&](Driver& driver, LiveContext context) {
    const std::string_view name = kEntryNames[index_of(entry)];
    if (!is_null_stream(stream)) return CUDA_ERROR_INVALID_HANDLE;
    if (CUresult sticky = context.state.synchronize()) return sticky;
    if (address % sizeof(Word) != 0) {
      return driver.refuse(
          CUDA_ERROR_INVALID_VALUE,
          std::format("{}: {:#x} is not aligned to {} bytes", name, address, sizeof(Word)));
    }
    if (count == 0) return CUDA_SUCCESS;
    if (count > std::numeric_limits<std::size_t>::max() / sizeof(Word)) {
      return driver.refuse(CUDA_ERROR_INVALID_VALUE,
                           std::format("{}: {} elements is more than memory holds", name, count));
    }
    const std::size_t bytes = count * sizeof(Word);
    auto dst = device_range(driver, context, address, bytes, name);
    if (!dst) return dst.error();
    if constexpr (sizeof(Word) == 1) {
      std::memset(dst->data(), value, bytes);
    } else {
      for (std::size_t i = 0; i < count; ++i) {
        std::memcpy(dst->data() + i * sizeof(Word), &value, sizeof(Word));
      }
    }
    context.state.memory().mark_written(address, bytes);
    return CUDA_SUCCESS;
  });
}

}  // namespace

extern "C" {

CUresult cuMemsetD8Async(CUdeviceptr dstDevice, unsigned char uc, std::size_t N, CUstream hStream) {
  return fill(Entry::cuMemsetD8Async, dstDevice, uc, N, hStream);
}

CUresult cuMemsetD32Async(CUdeviceptr dstDevice, unsigned int ui, std::size_t N, CUstream hStream) {
  return fill(Entry::cuMemsetD32Async, dstDevice, ui, N, hStream);
}

CUresult cuMemAlloc_v2(CUdeviceptr* dptr, std::size_t bytesize) {
  return run_in_context(Entry::cuMemAlloc_v2, [&](Driver& driver, LiveContext context) {
    return allocate(driver, context, dptr, bytesize, "cuMemAlloc_v2");
  });
}

CUresult cuMemAllocAsync(CUdeviceptr* dptr, std::size_t bytesize, CUstream hStream) {
  return run_in_context(Entry::cuMemAllocAsync, [&](Driver& driver, LiveContext context) {
    if (!is_null_stream(hStream)) return CUDA_ERROR_INVALID_HANDLE;
    if (!context.device.memory_pools()) {
      return driver.refuse(CUDA_ERROR_NOT_SUPPORTED,
                           "cuMemAllocAsync: the device reports no memory-pool support");
    }
    return allocate(driver, context, dptr, bytesize, "cuMemAllocAsync");
  });
}

CUresult cuMemFree_v2(CUdeviceptr dptr) {
  return run_initialized(Entry::cuMemFree_v2, [&](Driver& driver) {
    return release(driver, dptr, "cuMemFree_v2", false);
  });
}

CUresult cuMemFreeAsync(CUdeviceptr dptr, CUstream hStream) {
  return run_initialized(Entry::cuMemFreeAsync, [&](Driver& driver) {
    if (!is_null_stream(hStream)) return CUDA_ERROR_INVALID_HANDLE;
    return release(driver, dptr, "cuMemFreeAsync", true);
  });
}

CUresult cuMemcpyHtoDAsync_v2(CUdeviceptr dstDevice, const void* srcHost, std::size_t ByteCount,
                              CUstream hStream) {
  return copy(Entry::cuMemcpyHtoDAsync_v2, hStream, srcHost, ByteCount,
              [&](Driver& driver, LiveContext context) {
                auto dst =
                    device_range(driver, context, dstDevice, ByteCount, "cuMemcpyHtoDAsync_v2");
                if (!dst) return dst.error();
                std::memcpy(dst->data(), srcHost, ByteCount);
                context.state.memory().mark_written(dstDevice, ByteCount);
                return CUDA_SUCCESS;
              });
}

CUresult cuMemcpyDtoHAsync_v2(void* dstHost, CUdeviceptr srcDevice, std::size_t ByteCount,
                              CUstream hStream) {
  return copy(Entry::cuMemcpyDtoHAsync_v2, hStream, dstHost, ByteCount,
              [&](Driver& driver, LiveContext context) {
                auto src =
                    device_range(driver, context, srcDevice, ByteCount, "cuMemcpyDtoHAsync_v2");
                if (!src) return src.error();
                std::memcpy(dstHost, src->data(), ByteCount);
                return CUDA_SUCCESS;
              });
}

CUresult cuMemGetInfo_v2(std::size_t* free, std::size_t* total) {
  return run_in_context(Entry::cuMemGetInfo_v2, [&](Driver&, LiveContext context) {
    if (CUresult sticky = context.state.error()) return sticky;
    if (free == nullptr || total == nullptr) return CUDA_ERROR_INVALID_VALUE;
    const AllocationTable& memory = context.state.memory();
    *free = memory.capacity() - memory.used_bytes();
    *total = memory.capacity();
    return CUDA_SUCCESS;
  });
}

}  // extern "C"
