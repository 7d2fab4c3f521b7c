// Diagnostics on standard error, switched on by VORLAN_EMU_VERBOSE (set,
// non-empty and not "0").
#pragma once

namespace vorlan::emu::ptx {

bool verbose();

}  // namespace vorlan::emu::ptx
