// The boot ROM's summary of a QEMU run (the second serial port), read into
// the run's shape together with the trace's port 0x80 words.
#ifndef STATUSSINK_QEMU_SUMMARY_H
#define STATUSSINK_QEMU_SUMMARY_H

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "qemu/host/QemuRun.h"
#include "qemu/host/Trace.h"
#include "sim/MemoryLogRam.h"

namespace qemu {

struct Summary {
  std::vector<std::vector<std::string>> lines;  // fields of each line
  bool complete = false;
};

// Whole lines only: a run stopped at the time limit may end inside one.
Summary ReadSummary(const std::filesystem::path& path);

// What the summary says, beyond what goes straight into the run.
struct SummaryReading {
  std::map<std::pair<int, int>, uint32_t> statuses;  // (report, handler) -> status
  int delivered = 0;                                 // reports whose delivery started
  std::optional<std::pair<int, int>> lastCall;       // the last call that started
  uint32_t logHeader = 0;
  std::vector<uint8_t> logArea = std::vector<uint8_t>(sim::MemoryLogRam::kSize - sim::MemoryLogRam::kTextStart, 0);
};

// Puts what the summary says into the run and QEMU's facts; answers the rest.
SummaryReading ApplySummary(const Summary& summary, const scenario::Scenario& scenario, QemuRunResult& result);

// Every report whose first call started, with each handler's result and the
// POST codes it wrote; the call that never returned ends the boot.
void AssembleReports(const SummaryReading& reading, const TraceReader& trace, const scenario::Scenario& scenario,
                     QemuRunResult& result);

}  // namespace qemu

#endif
