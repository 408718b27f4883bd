// Runs a scenario on QEMU's PC machine: builds the boot ROM (the firmware
// volume as flashed, the scenario's report block, the boot ROM's own code),
// starts qemu-system-i386 with a time limit, and reads back what QEMU's own
// devices saw: the legacy serial port's bytes, every port 0x80 write from the
// trace of memory-region writes, and the foundation's summary from the second
// serial port. A call that does not return is stopped where the emulated
// machine stops it (limits.blink_writes) or at the time limit, with a
// non-maskable interrupt after which the boot ROM reads the board's state
// back. The result has the emulated machine's shape, so that the same views
// print it and the two machines can be compared field by field.
#ifndef STATUSSINK_QEMU_QEMURUN_H
#define STATUSSINK_QEMU_QEMURUN_H

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "qemu/host/Trace.h"
#include "run/RunResult.h"
#include "scenario/Scenario.h"

namespace qemu {

class QemuError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A signal that ends a process (SIGINT, SIGTERM, SIGHUP, SIGQUIT) arrived
// while QEMU ran: QEMU has been ended and the scratch directory removed. The
// caller ends as the signal would have ended it, once it has unwound.
class QemuInterrupted : public QemuError {
 public:
  QemuInterrupted(int signal, const std::string& what) : QemuError(what), signal_(signal) {}
  int Signal() const { return signal_; }

 private:
  int signal_;
};

struct QemuOptions {
  std::string qemu = "qemu-system-i386";
  std::string volume;  // the firmware volume, as flashed at its base
  std::string stub;    // the boot ROM's own code (top of the ROM)
  uint32_t volumeBase = 0xFFFE0000u;
  double timeLimitSeconds = 5.0;  // finite and above 0
  // When set, a call is stopped as a blink loop after this many port 0x80
  // writes instead of the scenario's limits.blink_writes: a shorter look at
  // a blink loop, which QEMU's trace takes a while to show whole.
  std::optional<uint64_t> blinkWrites;
  std::string keepDirectory;  // when set, the ROM, trace and serial files are kept there
};

// What only QEMU tells.
struct QemuFacts {
  double seconds = 0;                    // wall time of the QEMU process
  int exitCode = -1;                     // QEMU's exit status (isa-debug-exit: value * 2 + 1); -1 when stopped
  bool timedOut = false;                 // stopped by the time limit
  bool blinkLimit = false;               // stopped once a call wrote port 0x80 limits.blink_writes times
  bool stateReadBack = false;            // stopped in a call, the board's state read back then (HOB, log, services)
  bool complete = false;                 // the summary ended normally
  std::optional<uint32_t> hostBridgeDc;  // register 0xDC as QEMU's host bridge kept the scenario's value
  struct Probe {
    uint32_t address = 0, width = 0, value = 0;
  };
  std::vector<Probe> probes;  // what the board answered where the chipset's devices would be
  struct Peim {
    uint32_t file = 0;  // its file header
    std::string name;   // its file name GUID
    bool holds = false; // its dependency expression holds with the PPIs installed
  };
  std::vector<Peim> peims;    // every PEIM the boot ROM found, in volume order
  uint32_t moduleFile = 0;    // the PEIM's file header in the volume
  uint32_t imageSection = 0;  // its image as the section holds it (a TE image starts with its TE header)
  std::string imageFormat;    // PE32 or TE
  uint64_t traceLines = 0;
  std::vector<std::string> problems;  // ERROR lines of the foundation, unparsed lines
};

struct QemuRunResult {
  run::RunResult run;  // fields QEMU cannot measure (instructions, stack) stay 0
  QemuFacts facts;
};

// Why QEMU's PC cannot stand for the scenario's board, or nothing when it can:
// its legacy port is QEMU's own 16550, always there and never stuck, and its
// host bridge answers configuration reads. (What it has no part for at all,
// such as the chipset's memory-mapped serial controller, leaves the board
// representable: the module's other outputs do not depend on it, and the
// cross-check leaves out only what does.)
std::optional<std::string> NotRepresentable(const scenario::PlatformConfig& platform);
// The same for a whole scenario: also a report whose pointer is given as an
// address (the boot ROM places every record in its report area), or reports
// that the boot ROM cannot hold. RunOnQemu refuses all of these.
std::optional<std::string> NotRepresentable(const scenario::Scenario& scenario);

// The ROM image for QEMU's -bios: from the 64 KiB block that holds the
// volume's first byte to 4 GiB: the volume, the report block after it, the
// boot ROM's directory (naming the module's file) and code at its top.
std::vector<uint8_t> BuildRom(const std::vector<uint8_t>& volume, const std::vector<uint8_t>& reportBlock,
                              const std::vector<uint8_t>& stub, uint32_t volumeBase);

// Runs the scenario on QEMU. Throws QemuError (or scenario::ScenarioError)
// before anything is built for what it cannot run, QemuInterrupted when an
// ending signal arrived.
QemuRunResult RunOnQemu(const scenario::Scenario& scenario, const QemuOptions& options);

}  // namespace qemu

#endif
