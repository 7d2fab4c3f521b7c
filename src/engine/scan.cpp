#include "engine/scan.hpp"

#include <array>
#include <string_view>

#include "driver/fault.hpp"
#include "engine/kernel_steps.hpp"
#include "engine/kernels.hpp"
#include "engine/try.hpp"

namespace vorlan::engine {
namespace {

ModuleSlot slot;

constexpr std::array<std::string_view, 3> kKernelNames = {"scan_tile_totals_kernel",
                                                          "scan_carry_kernel", "scan_tiles_kernel"};
enum Kernel { kTileTotals, kCarry, kTiles };

}  // namespace

GpuResult<> exclusive_scan_step(const driver::SharedStream& stream,
                                const driver::DeviceBuffer<std::uint32_t>& values,
                                driver::DeviceBuffer<std::uint32_t>& sums, std::uint32_t n) {
  fault_unless(values.length() >= n, "assertion failed: values.len() >= n");
  fault_unless(sums.length() > n, "assertion failed: sums.len() > n");
  VORLAN_TRY(const KernelSet kernels, kernels_step(slot, *stream, kernels::scan_ptx, kKernelNames));
  // One tile per block's width; their totals, then their offsets.
  const std::uint32_t num_tiles = blocks_for(n);
  VORLAN_TRY(auto tile_totals, lift(driver::allocate<std::uint32_t>(stream, num_tiles)));

  driver::KernelLaunch totals(*stream, kernels[kTileTotals]);
  totals.read(values).scalar(n).write(tile_totals);
  VORLAN_CHECK(launch_step(totals, grid_blocks(n), "scan tile-total kernel failed"));

  // Always launched, even for no tiles: it writes the total, 0 for n = 0.
  driver::KernelLaunch carry(*stream, kernels[kCarry]);
  carry.write(tile_totals).scalar(num_tiles).write(sums).scalar(n);
  VORLAN_CHECK(launch_step(carry, 1, "scan carry kernel failed"));

  driver::KernelLaunch tiles(*stream, kernels[kTiles]);
  tiles.read(values).scalar(n).read(tile_totals).write(sums);
  VORLAN_CHECK(launch_step(tiles, grid_blocks(n), "scan tile kernel failed"));
  return {};
}

}  // namespace vorlan::engine
