// Puts a scenario's board configuration into a sim::Platform, and reads back
// what the devices received. Used by the emulated machine and by the host32
// whole-path harness alike, so both boards start identical.
#ifndef STATUSSINK_SCENARIO_BOARD_H
#define STATUSSINK_SCENARIO_BOARD_H

#include <cstdint>
#include <string>
#include <vector>

#include "sim/SimPlatform.h"
#include "scenario/Scenario.h"

namespace scenario {

void ApplyPlatform(const PlatformConfig& config, sim::Platform& platform);

// What a person reads off the board after a run.
struct DeviceOutputs {
  std::string serial;      // legacy port 0x3F8
  std::string mmioSerial;  // memory-mapped controller
  uint32_t memoryLogHeader = 0;
  std::string memoryLogText;  // oldest byte first
};
DeviceOutputs ReadOutputs(const sim::Platform& platform);

// The module's POST code stack record as it stands in memory (56 bytes).
struct PostCodeStack {
  uint8_t depth = 0;
  uint32_t signature = 0;
  uint32_t codes[10] = {};  // as many as PostCodeStackLevels (checked where it is read)
};
PostCodeStack DecodePostCodeStack(const std::vector<uint8_t>& hob);

}  // namespace scenario

#endif
