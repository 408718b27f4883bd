// QEMU's PC against the emulated machine, field by field. A scenario runs on
// QEMU and on sinksim, both with the scenario's own board, and every field of
// the run that both machines observe must be the same. Where QEMU's PC has
// no part for something on the board (the chipset's memory-mapped serial
// controller, the sideband bridge, a legacy port that drains slowly, a bus
// that floats to all ones) only the fields that depend on it are left out,
// each with its reason; the board itself is never changed to suit QEMU.
#ifndef STATUSSINK_QEMU_CROSSCHECK_H
#define STATUSSINK_QEMU_CROSSCHECK_H

#include <cstdint>
#include <string>
#include <vector>

#include "qemu/host/QemuRun.h"
#include "run/RunResult.h"

namespace qemu {

// The emulated machine's run of a scenario on its own board, and the memory
// reads that nothing on the board answered outside the chipset's device
// windows (which QEMU's PC lacks, and which the module's text never shows).
// A board's bus floats to all ones there; QEMU's PC has RAM there or reads
// 0, so text that shows such a read cannot be the same on both. The
// emulated machine's side is run by RunForCrossCheck (CrossCheckRun.h).
struct SinksimSide {
  run::RunResult run;
  uint64_t unansweredReads = 0;
  uint32_t firstUnansweredRead = 0;
};

// One field of the run, named as the run's JSON document names it.
struct FieldCheck {
  std::string field;
  std::string leftOut;     // why it is not compared; empty when it is
  std::string difference;  // compared and not the same: how
};

// Every field, compared or left out. A stopped call that QEMU was let run
// for fewer port 0x80 writes than sinksim (QemuOptions::blinkWrites) is
// compared as far as QEMU got: its words so far must be the first of
// sinksim's.
std::vector<FieldCheck> CrossCheck(const scenario::Scenario& scenario, const QemuRunResult& onQemu,
                                   const SinksimSide& onSinksim);

}  // namespace qemu

#endif
