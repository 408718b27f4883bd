// Runs a scenario on the emulated machine: builds the board, loads the
// image, calls the entry point, delivers every report, and gathers what the
// devices received and what the watcher saw.
#ifndef STATUSSINK_EMU_RUN_H
#define STATUSSINK_EMU_RUN_H

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Emulator.h"
#include "PlatformSetup.h"

namespace emu {

struct DeliveredReport {
  size_t index = 0;  // delivery order
  const tools::Report* report = nullptr;
  std::vector<CallResult> calls;  // one per registered handler, in registration order
};

struct HandlerStats {
  uint32_t address = 0;
  uint64_t calls = 0;
  uint64_t instructions = 0;
  uint64_t maxInstructions = 0;
  uint32_t maxStackBytes = 0;
};

struct RunResult {
  const tools::Scenario* scenario = nullptr;
  std::string imagePath;
  std::string imageSource, imageFormat;  // "relocated .efi" / "firmware volume in place"; "PE32" / "TE"
  std::vector<std::string> dispatch;     // how the volume's PEIM was found and allowed to run
  uint32_t imageFileSize = 0, imageBase = 0, imageSize = 0, entryPoint = 0, relocations = 0;
  CallResult entry;
  std::vector<uint32_t> handlers;
  std::vector<DeliveredReport> reports;
  tools::DeviceOutputs outputs;
  std::vector<uint16_t> postcodes;  // every word written to port 0x80 (a halted call: one per run)
  uint64_t postcodeWrites = 0;      // every write counted
  std::optional<Halt> halt;
  std::vector<Fault> faults;
  ServiceCalls services;
  bool imageIntact = true;
  std::vector<std::pair<uint32_t, tools::PostCodeStack>> stackHobs;  // HOBs the module created
  std::vector<HandlerStats> handlerStats;
  uint64_t instructions = 0;  // entry and every handler call
  uint32_t maxStackBytes = 0;
  uint64_t ioAccesses = 0, mmioAccesses = 0;
  std::vector<uint8_t> memoryLogWindow;  // the 64 KiB at 0x70000 after the run
  std::vector<sim::Access> accesses;  // the bus log, when asked for
  bool accessLogTruncated = false;
};

struct RunOptions {
  bool keepAccessLog = false;
  // Called every `progressEvery` reports with (delivered, total).
  std::function<void(size_t, size_t)> progress;
  size_t progressEvery = 1000;
};

RunResult RunScenario(const FlashImage& image, const tools::Scenario& scenario, const RunOptions& options = {});
RunResult RunScenario(const PeImage& image, const tools::Scenario& scenario, const RunOptions& options = {});

}  // namespace emu

#endif
