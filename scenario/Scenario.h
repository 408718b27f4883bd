// Scenario files: a JSON description of the board (CMOS, host bridge
// register, which serial devices answer and how, the memory log's first
// header, failing PEI services) and of the status-code reports to deliver.
// Read by sinksim (the emulated machine) and by the host32 whole-path
// harness, so that both run exactly the same reports with the same data
// records byte for byte.
#ifndef STATUSSINK_SCENARIO_SCENARIO_H
#define STATUSSINK_SCENARIO_SCENARIO_H

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "scenario/ModuleTable.h"
#include "sim/BoardClock.h"
#include "sim/LegacyUart.h"
#include "sim/MmioUart.h"
#include "sim/PeiBehaviour.h"

namespace scenario {

// A bad scenario: the message names the file, the report and the field.
class ScenarioError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A report's data record, laid out from its header at offset 0. Strings,
// GUIDs and byte blocks that the record points at follow the record in the
// same block; `fixups` lists the 32-bit slots that must receive the address
// of such an object once the block's own address is known.
struct DataRecord {
  struct Fixup {
    uint32_t at;      // offset of the pointer slot
    uint32_t target;  // offset of the object it points at
  };
  std::vector<uint8_t> bytes;
  std::vector<Fixup> fixups;
  std::string kind;  // "specific", "debug", "string", "assert" or "raw"

  // The block with every pointer slot filled in for a block placed at `address`.
  std::vector<uint8_t> Placed(uint32_t address) const;
};

struct Report {
  uint32_t type = 0;
  uint32_t value = 0;
  uint32_t instance = 0;
  std::optional<Guid> caller;
  std::optional<DataRecord> data;
  // Pointers delivered as they are instead of to a placed object: a caller ID
  // or data record anywhere in the address space, claimed memory or not.
  // Each excludes its placed counterpart (`caller`, `data`).
  std::optional<uint32_t> callerAddress;
  std::optional<uint32_t> dataAddress;
  size_t source = 0;    // index of the report in the file
  uint64_t repeat = 1;  // deliveries of this report in a row (kept once, never copied)
  std::string note;
};

// The device models' own settings.
using LegacySerial = sim::LegacyUart::Mode;
using MmioStatus = sim::MmioUart::Status;

struct PlatformConfig {
  std::map<uint8_t, uint8_t> cmos;  // offset -> byte; the rest is 0
  uint32_t hostBridgeDc = 0;
  uint32_t pciAddressRegister = 0;  // what 0xCF8 holds before the module runs
  LegacySerial legacySerial = LegacySerial::Present;
  unsigned legacyDrainPace = 0;  // line status reads per byte drained; 0 drains at once
  bool mmioSerialPresent = false;
  bool mmioConfigVisible = true;  // the controller's configuration function answers (else the fixed address is used)
  uint32_t mmioSerialBase = 0xFEA10000u;
  unsigned mmioStride = 4;
  std::optional<uint32_t> strideRegister;  // sideband 0x90/0x618; by default 4 for a 1-byte stride, else 0
  MmioStatus mmioStatus = MmioStatus::AlwaysReady;
  uint64_t mmioReadyReads = 0;
  bool sidebandBridgeHidden = true;
  // Device faults that the scenario files do not name (the fault matrix sets them):
  bool configSpaceAllOnes = false;    // every configuration read, window and ports 0xCF8/0xCFC, gives all ones
  bool sidebandStuckHidden = false;   // the bridge's hide control ignores writes and the sideband window floats
  uint32_t boardRamBase = 0;          // RAM the board decodes there, holding these bytes
  std::vector<uint8_t> boardRam;
  uint32_t memoryLogHeader = 0;
  bool interruptsEnabled = true;
  sim::PeiSwitches pei;  // failing PEI services, what a new HOB holds
  // The board time model (field "timing"): none runs the board untimed.
  std::optional<sim::TimingSettings> timing;

  bool operator==(const PlatformConfig&) const = default;
};

// Bounds on a handler call in the emulated machine.
struct Limits {
  uint64_t instructionsPerCall = 50'000'000;
  // Port 0x80 writes after which a call that has not returned is stopped (as
  // the blink loop where an unrecoverable error is handled): by default the
  // least a scenario may ask for, one full cycle of four words of 983,040
  // writes each plus the write that starts the next cycle, so that a call is
  // never taken for a blink before its cycle could be seen.
  uint64_t blinkWrites = kMinBlinkWrites;

  // The most a scenario may ask for, so that every run ends: a billion
  // instructions is about a minute of emulation for one call, and eight
  // blink cycles are far more than the one needed to recognise the loop.
  static constexpr uint64_t kMaxInstructionsPerCall = 1'000'000'000;
  static constexpr uint64_t kMinBlinkWrites = 4ull * 0xF0000 + 1;
  static constexpr uint64_t kMaxBlinkWrites = 8 * 4ull * 0xF0000 + 1;

  bool operator==(const Limits&) const = default;
};

struct Scenario {
  std::string path;
  std::string name;
  std::string description;
  PlatformConfig platform;
  Limits limits;
  std::vector<Report> reports;  // as the file lists them; each is delivered `repeat` times in a row

  // Reports delivered in all, repeats counted.
  uint64_t DeliveryCount() const;
  // Calls each(delivery index, report) for every delivery in order while it returns true.
  template <typename Each>
  void ForEachDelivery(const Each& each) const {
    uint64_t index = 0;
    for (const Report& r : reports)
      for (uint64_t k = 0; k < r.repeat; ++k)
        if (!each(index++, r)) return;
  }
};

// An error code of unrecovered severity: the one report whose POST code
// handler blinks for ever instead of returning.
bool IsUnrecoverableError(uint32_t type);

// Deliveries one scenario may ask for, repeats counted.
constexpr uint64_t kMaxDeliveries = 10'000'000;
// The largest scenario file read, and the deepest nesting of arrays and
// objects in it (a scenario needs six levels).
constexpr uint64_t kMaxScenarioFileBytes = 16u << 20;
constexpr int kMaxJsonDepth = 64;

// Where a report's data record is placed for the handlers. The error line
// prints the record's address, so both harnesses use the same one when they can.
constexpr uint32_t kReportDataAddress = 0xFEF12010u;

Scenario LoadScenario(const std::string& path);

// Turns the board time model on for a scenario, with the default settings
// unless the scenario gives its own (sinksim's --timing).
void EnableTiming(Scenario& scenario);

// The bounds of the time model's settings, as the scenario reader checks them.
struct TimingBounds {
  static constexpr uint64_t kMinClockHz = 1'000'000, kMaxClockHz = 100'000'000'000;
  static constexpr uint64_t kMaxInstructionsPerCycle = 64;
  static constexpr uint64_t kMaxAccessNs = 1'000'000;
  static constexpr uint64_t kMinBaud = 50, kMaxBaud = 100'000'000;
  static constexpr uint64_t kMaxFifo = 4096;
};
Scenario ParseScenario(std::string_view text, const std::string& path);

}  // namespace scenario

#endif
