#include "driver/result.hpp"

#include <algorithm>
#include <array>
#include <utility>

#include "driver/loader.hpp"
#include "driver/utf8.hpp"

namespace vorlan::driver {
namespace {

struct NamedCode {
  CUresult code;
  std::string_view name;
};

// The published CUresult enumeration of the driver API this module targets,
// sorted by code.
constexpr auto kNames = std::to_array<NamedCode>({
    {0, "CUDA_SUCCESS"},
    {1, "CUDA_ERROR_INVALID_VALUE"},
    {2, "CUDA_ERROR_OUT_OF_MEMORY"},
    {3, "CUDA_ERROR_NOT_INITIALIZED"},
    {4, "CUDA_ERROR_DEINITIALIZED"},
    {5, "CUDA_ERROR_PROFILER_DISABLED"},
    {6, "CUDA_ERROR_PROFILER_NOT_INITIALIZED"},
    {7, "CUDA_ERROR_PROFILER_ALREADY_STARTED"},
    {8, "CUDA_ERROR_PROFILER_ALREADY_STOPPED"},
    {34, "CUDA_ERROR_STUB_LIBRARY"},
    {46, "CUDA_ERROR_DEVICE_UNAVAILABLE"},
    {100, "CUDA_ERROR_NO_DEVICE"},
    {101, "CUDA_ERROR_INVALID_DEVICE"},
    {102, "CUDA_ERROR_DEVICE_NOT_LICENSED"},
    {200, "CUDA_ERROR_INVALID_IMAGE"},
    {201, "CUDA_ERROR_INVALID_CONTEXT"},
    {202, "CUDA_ERROR_CONTEXT_ALREADY_CURRENT"},
    {205, "CUDA_ERROR_MAP_FAILED"},
    {206, "CUDA_ERROR_UNMAP_FAILED"},
    {207, "CUDA_ERROR_ARRAY_IS_MAPPED"},
    {208, "CUDA_ERROR_ALREADY_MAPPED"},
    {209, "CUDA_ERROR_NO_BINARY_FOR_GPU"},
    {210, "CUDA_ERROR_ALREADY_ACQUIRED"},
    {211, "CUDA_ERROR_NOT_MAPPED"},
    {212, "CUDA_ERROR_NOT_MAPPED_AS_ARRAY"},
    {213, "CUDA_ERROR_NOT_MAPPED_AS_POINTER"},
    {214, "CUDA_ERROR_ECC_UNCORRECTABLE"},
    {215, "CUDA_ERROR_UNSUPPORTED_LIMIT"},
    {216, "CUDA_ERROR_CONTEXT_ALREADY_IN_USE"},
    {217, "CUDA_ERROR_PEER_ACCESS_UNSUPPORTED"},
    {218, "CUDA_ERROR_INVALID_PTX"},
    {219, "CUDA_ERROR_INVALID_GRAPHICS_CONTEXT"},
    {220, "CUDA_ERROR_NVLINK_UNCORRECTABLE"},
    {221, "CUDA_ERROR_JIT_COMPILER_NOT_FOUND"},
    {222, "CUDA_ERROR_UNSUPPORTED_PTX_VERSION"},
    {223, "CUDA_ERROR_JIT_COMPILATION_DISABLED"},
    {224, "CUDA_ERROR_UNSUPPORTED_EXEC_AFFINITY"},
    {225, "CUDA_ERROR_UNSUPPORTED_DEVSIDE_SYNC"},
    {300, "CUDA_ERROR_INVALID_SOURCE"},
    {301, "CUDA_ERROR_FILE_NOT_FOUND"},
    {302, "CUDA_ERROR_SHARED_OBJECT_SYMBOL_NOT_FOUND"},
    {303, "CUDA_ERROR_SHARED_OBJECT_INIT_FAILED"},
    {304, "CUDA_ERROR_OPERATING_SYSTEM"},
    {400, "CUDA_ERROR_INVALID_HANDLE"},
    {401, "CUDA_ERROR_ILLEGAL_STATE"},
    {402, "CUDA_ERROR_LOSSY_QUERY"},
    {500, "CUDA_ERROR_NOT_FOUND"},
    {600, "CUDA_ERROR_NOT_READY"},
    {700, "CUDA_ERROR_ILLEGAL_ADDRESS"},
    {701, "CUDA_ERROR_LAUNCH_OUT_OF_RESOURCES"},
    {702, "CUDA_ERROR_LAUNCH_TIMEOUT"},
    {703, "CUDA_ERROR_LAUNCH_INCOMPATIBLE_TEXTURING"},
    {704, "CUDA_ERROR_PEER_ACCESS_ALREADY_ENABLED"},
    {705, "CUDA_ERROR_PEER_ACCESS_NOT_ENABLED"},
    {708, "CUDA_ERROR_PRIMARY_CONTEXT_ACTIVE"},
    {709, "CUDA_ERROR_CONTEXT_IS_DESTROYED"},
    {710, "CUDA_ERROR_ASSERT"},
    {711, "CUDA_ERROR_TOO_MANY_PEERS"},
    {712, "CUDA_ERROR_HOST_MEMORY_ALREADY_REGISTERED"},
    {713, "CUDA_ERROR_HOST_MEMORY_NOT_REGISTERED"},
    {714, "CUDA_ERROR_HARDWARE_STACK_ERROR"},
    {715, "CUDA_ERROR_ILLEGAL_INSTRUCTION"},
    {716, "CUDA_ERROR_MISALIGNED_ADDRESS"},
    {717, "CUDA_ERROR_INVALID_ADDRESS_SPACE"},
    {718, "CUDA_ERROR_INVALID_PC"},
    {719, "CUDA_ERROR_LAUNCH_FAILED"},
    {720, "CUDA_ERROR_COOPERATIVE_LAUNCH_TOO_LARGE"},
    {800, "CUDA_ERROR_NOT_PERMITTED"},
    {801, "CUDA_ERROR_NOT_SUPPORTED"},
    {802, "CUDA_ERROR_SYSTEM_NOT_READY"},
    {803, "CUDA_ERROR_SYSTEM_DRIVER_MISMATCH"},
    {804, "CUDA_ERROR_COMPAT_NOT_SUPPORTED_ON_DEVICE"},
    {805, "CUDA_ERROR_MPS_CONNECTION_FAILED"},
    {806, "CUDA_ERROR_MPS_RPC_FAILURE"},
    {807, "CUDA_ERROR_MPS_SERVER_NOT_READY"},
    {808, "CUDA_ERROR_MPS_MAX_CLIENTS_REACHED"},
    {809, "CUDA_ERROR_MPS_MAX_CONNECTIONS_REACHED"},
    {810, "CUDA_ERROR_MPS_CLIENT_TERMINATED"},
    {811, "CUDA_ERROR_CDP_NOT_SUPPORTED"},
    {812, "CUDA_ERROR_CDP_VERSION_MISMATCH"},
    {900, "CUDA_ERROR_STREAM_CAPTURE_UNSUPPORTED"},
    {901, "CUDA_ERROR_STREAM_CAPTURE_INVALIDATED"},
    {902, "CUDA_ERROR_STREAM_CAPTURE_MERGE"},
    {903, "CUDA_ERROR_STREAM_CAPTURE_UNMATCHED"},
    {904, "CUDA_ERROR_STREAM_CAPTURE_UNJOINED"},
    {905, "CUDA_ERROR_STREAM_CAPTURE_ISOLATION"},
    {906, "CUDA_ERROR_STREAM_CAPTURE_IMPLICIT"},
    {907, "CUDA_ERROR_CAPTURED_EVENT"},
    {908, "CUDA_ERROR_STREAM_CAPTURE_WRONG_THREAD"},
    {909, "CUDA_ERROR_TIMEOUT"},
    {910, "CUDA_ERROR_GRAPH_EXEC_UPDATE_FAILURE"},
    {911, "CUDA_ERROR_EXTERNAL_DEVICE"},
    {912, "CUDA_ERROR_INVALID_CLUSTER_SIZE"},
    {913, "CUDA_ERROR_FUNCTION_NOT_LOADED"},
    {914, "CUDA_ERROR_INVALID_RESOURCE_TYPE"},
    {915, "CUDA_ERROR_INVALID_RESOURCE_CONFIGURATION"},
    {999, "CUDA_ERROR_UNKNOWN"},
});
static_assert(kNames.size() == 97);
static_assert(std::ranges::is_sorted(kNames, {}, &NamedCode::code));

constexpr std::string_view kTextUnavailable = "<Failure when calling cuGetErrorString()>";

void append_escaped_char(std::string& out, unsigned char c) {
  switch (c) {
    case '"':
      out += "\\\"";
      break;
    case '\\':
      out += "\\\\";
      break;
    case '\n':
      out += "\\n";
      break;
    case '\r':
      out += "\\r";
      break;
    case '\t':
      out += "\\t";
      break;
    case '\0':
      out += "\\0";
      break;
    default:
      if (c < 0x20 || c == 0x7F) {
        out += std::format("\\u{{{:x}}}", c);
      } else {
        out += static_cast<char>(c);
      }
  }
}

}  // namespace

std::string_view result_name(CUresult code) {
  auto found = std::ranges::lower_bound(kNames, code, {}, &NamedCode::code);
  if (found == kNames.end() || found->code != code) return "CUDA_ERROR_UNKNOWN";
  return found->name;
}

std::optional<std::string_view> result_text(CUresult code) {
  const char* text = nullptr;
  if (driver_api().cuGetErrorString(code, &text) != cuda::CUDA_SUCCESS || text == nullptr) {
    return std::nullopt;
  }
  return std::string_view(text);
}

std::string quoted(std::string_view text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const Utf8Piece piece = utf8_piece(text, i);
    if (!piece.well_formed) {
      for (char byte : text.substr(i, piece.length)) {
        out += std::format("\\x{:02x}", static_cast<unsigned char>(byte));
      }
    } else if (piece.length == 1) {
      append_escaped_char(out, static_cast<unsigned char>(text[i]));
    } else {
      out.append(text.substr(i, piece.length));
    }
    i += piece.length;
  }
  out += '"';
  return out;
}

// Written as a Rust value's debug form, which callers match on: the shape of
// this text must not change.
std::string to_string(DriverError error) {
  const auto text = result_text(error.code());
  return std::format("DriverError({}, {})", result_name(error.code()),
                     quoted(text.value_or(kTextUnavailable)));
}

}  // namespace vorlan::driver
