// The board's outputs that a person reads after a run, listed once. The
// JSON writer, the text view, the fault matrix, the QEMU runner and the
// cross-checks all walk this table, so an output device is named here and
// nowhere else on the host: its member in DeviceOutputs, its row in
// kOutputs (Outputs.cpp).
#ifndef STATUSSINK_RUN_OUTPUTS_H
#define STATUSSINK_RUN_OUTPUTS_H

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "scenario/Scenario.h"
#include "sim/SimPlatform.h"

namespace run {

// What the board's devices received in a run.
struct DeviceOutputs {
  std::string serial;      // legacy port 0x3F8
  std::string mmioSerial;  // memory-mapped controller
  uint32_t memoryLogHeader = 0;
  std::string memoryLogText;  // oldest byte first
};

// How an output is laid out: the text a serial line sent, in order, or a
// ring in memory that holds the newest text and a header (the memory log;
// DeviceOutputs::memoryLogHeader is its header). Views show the lines
// first, then the port 0x80 words, then the rings.
enum class OutputKind { Line, Ring };

// How QEMU's PC gives an output.
enum class QemuSource {
  None,      // QEMU's PC has no such part: the output stays empty there
  CharFile,  // a character device that QEMU writes to a file: qemuOption FILE
  ReadBack,  // memory that the boot ROM reads back after the last report
};

struct Output {
  const char* key;    // its name in the run's JSON document
  const char* title;  // its heading in the text view
  const char* what;   // what a legend calls it: "the legacy port"
  char letter;        // its column in the fault matrix (lower case: part of the text)
  OutputKind kind;
  std::string DeviceOutputs::*text;  // where a run keeps what it received
  // What the board's device model received: the emulated board and the
  // host32 harness read their sim::Platform through this.
  std::string (*readBoard)(const sim::Platform& platform);
  // How many bytes the board's device has received so far: the difference
  // over a call is what the call sent to this output. A ring counts every
  // byte stored into it, also those a wrap overwrote since.
  uint64_t (*boardBytes)(const sim::Platform& platform);
  // The device on the board's bus, as the bus names the one that claimed an
  // access: the board clock charges the time spent on it to this output.
  const void* (*device)(const sim::Platform& platform);
  // A serial line's transmitter on the board clock (null for a ring).
  const sim::TimedTransmitter* (*line)(const sim::Platform& platform);
  QemuSource qemu;
  const char* qemuOption;  // CharFile: the option that sends the device to a file ("-serial")
  const char* qemuFile;    // CharFile: the file's name in the QEMU runner's scratch directory
  // Why QEMU's part cannot stand for the board's device on this board
  // (empty: it can, or there is no rule); the cross-check leaves the output
  // out with this reason.
  std::string (*qemuDiffers)(const scenario::PlatformConfig& board);
};

inline constexpr size_t kOutputCount = 3;
extern const std::array<Output, kOutputCount> kOutputs;

// Everything the board's devices received, read through kOutputs.
DeviceOutputs ReadOutputs(const sim::Platform& platform);

// Each output's byte count so far (Output::boardBytes), in the table's order.
using OutputBytes = std::array<uint64_t, kOutputCount>;
OutputBytes BoardBytes(const sim::Platform& platform);
// What each output received between two counts.
OutputBytes BytesSince(const OutputBytes& before, const OutputBytes& after);

// The outputs' devices in the table's order, for the board clock's accounts
// (sim::BoardClock::ChargeApart): account i is kOutputs[i], the one after them the module.
std::vector<const void*> OutputDevices(const sim::Platform& platform);

// The table as a JSON document (sinksim outputs --json): what programs
// outside the build (the host32 cross-check) compare.
std::string OutputsJson();

}  // namespace run

#endif
