// Puts a scenario's board configuration into a sim::Platform, so that the
// emulated machine and the host32 whole-path harness start from identical
// boards (what the devices received is read through run/Outputs.h), and
// reads the module's POST code stack record.
#ifndef STATUSSINK_SCENARIO_BOARD_H
#define STATUSSINK_SCENARIO_BOARD_H

#include <cstdint>
#include <string>
#include <vector>

#include "sim/SimPlatform.h"
#include "scenario/Scenario.h"

namespace scenario {

void ApplyPlatform(const PlatformConfig& config, sim::Platform& platform);

// The module's POST code stack record as it stands in memory (56 bytes).
struct PostCodeStack {
  uint8_t depth = 0;
  uint32_t signature = 0;
  uint32_t codes[10] = {};  // as many as PostCodeStackLevels (checked where it is read)
};
PostCodeStack DecodePostCodeStack(const std::vector<uint8_t>& hob);

}  // namespace scenario

#endif
