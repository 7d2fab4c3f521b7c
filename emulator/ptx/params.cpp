// Lays the driver's kernelParams out as the kernel's .param declarations say:
// each value at its declared offset, with its declared size.
#include <cstring>

#include "ptx/kernel_runner.hpp"

namespace vorlan::emu {

std::vector<std::byte> pack_params(const Kernel& kernel, void** kernel_params) {
  std::vector<std::byte> image(kernel.param_space_bytes());
  if (kernel_params == nullptr) return image;
  const auto layouts = kernel.params();
  for (std::size_t i = 0; i < layouts.size(); ++i) {
    if (kernel_params[i] == nullptr) continue;
    std::memcpy(image.data() + layouts[i].offset, kernel_params[i], layouts[i].size);
  }
  return image;
}

}  // namespace vorlan::emu
