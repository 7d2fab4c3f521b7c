// compile_ptx: parse a module, decode each entry, and keep the results as an
// immutable Program that launches share.
#include <cstdio>
#include <memory>

#include "ptx/decoder.hpp"
#include "ptx/kernel_image.hpp"
#include "ptx/parser.hpp"
#include "ptx/verbose.hpp"

namespace vorlan::emu {
namespace {

class ProgramImage final : public Program {
 public:
  const Kernel* find_kernel(std::string_view name) const override {
    for (const auto& kernel : kernels_) {
      if (kernel->name() == name) return kernel.get();
    }
    return nullptr;
  }
  std::vector<std::unique_ptr<ptx::KernelImage>> kernels_;
};

std::string_view line_text(std::string_view text, int line) {
  for (int i = 1; i < line; ++i) {
    const auto next = text.find('\n');
    if (next == std::string_view::npos) return {};
    text.remove_prefix(next + 1);
  }
  return text.substr(0, text.find('\n'));
}

std::unexpected<PtxError> refuse(PtxError error, std::string_view text) {
  if (ptx::verbose()) {
    const std::string_view source = line_text(text, error.line);
    std::fprintf(stderr, "vorlan emu: PTX refused, line %d: %s\nvorlan emu:   %.*s\n", error.line,
                 error.reason.c_str(), static_cast<int>(source.size()), source.data());
  }
  return std::unexpected(std::move(error));
}

}  // namespace

std::expected<std::shared_ptr<const Program>, PtxError> compile_ptx(std::string_view text) {
  auto module = ptx::parse_module(text);
  if (!module) return refuse(module.error(), text);
  auto program = std::make_shared<ProgramImage>();
  for (const auto& entry : module->entries) {
    auto kernel = std::make_unique<ptx::KernelImage>();
    ptx::Decoder decoder(entry, module->shared, *kernel);
    if (auto decoded = decoder.run(); !decoded) return refuse(decoded.error(), text);
    program->kernels_.push_back(std::move(kernel));
  }
  return program;
}

}  // namespace vorlan::emu
