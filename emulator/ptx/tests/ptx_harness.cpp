#include "ptx_harness.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <set>

namespace vorlan::emu::testing {
namespace {

namespace fs = std::filesystem;

std::string find_ptxas() {
  const char* path = std::getenv("PATH");
  if (path == nullptr) return {};
  std::string_view dirs(path);
  while (!dirs.empty()) {
    const auto colon = dirs.find(':');
    const fs::path candidate = fs::path(std::string(dirs.substr(0, colon))) / "ptxas";
    if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
    if (colon == std::string_view::npos) break;
    dirs.remove_prefix(colon + 1);
  }
  return {};
}

struct CommandResult {
  int status;
  std::string output;
};

CommandResult run_command(const std::string& command) {
  CommandResult result{-1, {}};
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  std::array<char, 512> buffer{};
  while (std::fgets(buffer.data(), static_cast<int>(buffer.size()), pipe) != nullptr)
    result.output += buffer.data();
  const int status = ::pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

// ptxas's exit status for `ptx`, or nullopt when ptxas is not installed.
std::optional<CommandResult> assemble(std::string_view ptx) {
  static const std::string ptxas = find_ptxas();
  static std::mutex mutex;
  if (ptxas.empty()) return std::nullopt;
  const std::lock_guard lock(mutex);
  const fs::path file =
      fs::temp_directory_path() / ("vorlan_ptx_" + std::to_string(::getpid()) + ".ptx");
  std::ofstream(file) << ptx;
  CommandResult result =
      run_command(ptxas + " -arch=sm_75 " + file.string() + " -o /dev/null 2>&1");
  fs::remove(file);
  return result;
}

}  // namespace

std::uint64_t HostMemory::allocate(std::size_t bytes) {
  const std::uint64_t address = next_;
  Allocation allocation{std::make_unique<std::byte[]>(bytes == 0 ? 1 : bytes), {}};
  allocation.span = MemorySpan{address, bytes, allocation.bytes.get()};
  allocations_.emplace(address, std::move(allocation));
  next_ += (bytes + 0xFFFF) / 0x10000 * 0x10000 + 0x10000;  // 64 KiB of unmapped space after each
  return address;
}

const MemorySpan* HostMemory::find(std::uint64_t address) const {
  auto it = allocations_.upper_bound(address);
  if (it == allocations_.begin()) return nullptr;
  --it;
  const MemorySpan& span = it->second.span;
  return address - span.base < span.size ? &span : nullptr;
}

std::byte* HostMemory::host(std::uint64_t address) const {
  const MemorySpan* span = find(address);
  if (span == nullptr) throw std::out_of_range("no test allocation at this address");
  return span->host + (address - span->base);
}

std::vector<void*> Args::pointers() {
  std::vector<void*> pointers;
  for (auto& slot : storage_) pointers.push_back(slot.data());
  return pointers;
}

void expect_ptxas_accepts(std::string_view ptx) {
  static std::mutex mutex;
  static std::set<std::string, std::less<>> accepted;
  {
    const std::lock_guard lock(mutex);
    if (accepted.contains(ptx)) return;
  }
  const auto result = assemble(ptx);
  if (!result) return;
  ASSERT_EQ(result->status, 0) << "ptxas refused the snippet:\n" << result->output << "\n" << ptx;
  const std::lock_guard lock(mutex);
  accepted.emplace(ptx);
}

void expect_ptxas_refuses(std::string_view ptx) {
  const auto result = assemble(ptx);
  if (!result) return;
  EXPECT_NE(result->status, 0) << "ptxas accepted a snippet meant to be invalid:\n" << ptx;
}

std::shared_ptr<const Program> compile_valid(std::string_view ptx) {
  expect_ptxas_accepts(ptx);
  auto program = compile_ptx(ptx);
  if (!program) {
    ADD_FAILURE() << "engine refused line " << program.error().line << ": "
                  << program.error().reason << "\n"
                  << ptx;
    return nullptr;
  }
  return *program;
}

CUresult refusal_code(std::string_view ptx) {
  auto program = compile_ptx(ptx);
  return program ? kSuccess : program.error().code;
}

CUresult launch(const Program& program, std::string_view kernel_name, HostMemory& memory, Args args,
                const Config& config) {
  const Kernel* kernel = program.find_kernel(kernel_name);
  if (kernel == nullptr) {
    ADD_FAILURE() << "no kernel " << kernel_name;
    return vorlan::cuda::CUDA_ERROR_NOT_FOUND;
  }
  auto pointers = args.pointers();
  const auto params = pack_params(*kernel, pointers.data());
  const LaunchRequest request{.kernel = kernel,
                              .grid = config.grid,
                              .block = config.block,
                              .dynamic_shared_bytes = config.dynamic_shared,
                              .params = params,
                              .instruction_budget = config.budget,
                              .schedule_seed = config.seed,
                              .trace = config.trace,
                              .check = config.check};
  return execute(request, memory);
}

std::string module(std::string_view entry) {
  return ".version 8.5\n.target sm_75\n.address_size 64\n\n" + std::string(entry);
}

}  // namespace vorlan::emu::testing
