// Compiles a scenario into the report block that the QEMU boot ROM reads:
// the board's CMOS bytes and switches, and every report with its caller GUID
// and data record laid out byte for byte as the emulated machine lays them
// out (the same scenario reader builds both), at the same addresses.
#ifndef STATUSSINK_QEMU_REPORTBLOCK_H
#define STATUSSINK_QEMU_REPORTBLOCK_H

#include <cstdint>
#include <vector>

#include "scenario/Scenario.h"

namespace qemu {

// Throws scenario::ScenarioError for what the block cannot carry.
std::vector<uint8_t> CompileReportBlock(const scenario::Scenario& scenario);

}  // namespace qemu

#endif
