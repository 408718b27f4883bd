#include "run/Outputs.h"

#include <nlohmann/json.hpp>

namespace run {
namespace {

std::string LegacySerialText(const sim::Platform& p) { return p.legacyUart.Text(); }
std::string MmioSerialText(const sim::Platform& p) { return p.mmioUart.Text(); }
std::string MemoryLogText(const sim::Platform& p) { return p.memoryLog.LogText(); }
uint64_t LegacySerialBytes(const sim::Platform& p) { return p.legacyUart.Text().size(); }
uint64_t MmioSerialBytes(const sim::Platform& p) { return p.mmioUart.Text().size(); }
uint64_t MemoryLogBytes(const sim::Platform& p) { return p.memoryLog.TextBytesStored(); }
const void* LegacySerialDevice(const sim::Platform& p) { return static_cast<const sim::IoDevice*>(&p.legacyUart); }
const void* MmioSerialDevice(const sim::Platform& p) { return static_cast<const sim::MemDevice*>(&p.mmioUart); }
const void* MemoryLogDevice(const sim::Platform& p) { return static_cast<const sim::MemDevice*>(&p.memoryLog); }
const sim::TimedTransmitter* LegacySerialLine(const sim::Platform& p) { return &p.legacyUart.Line(); }
const sim::TimedTransmitter* MmioSerialLine(const sim::Platform& p) { return &p.mmioUart.Line(); }

// QEMU's 16550 takes every byte at once.
std::string LegacyOnQemu(const scenario::PlatformConfig& board) {
  if (board.legacyDrainPace == 0) return "";
  return "the board's legacy port drains a byte per " + std::to_string(board.legacyDrainPace) +
         " status reads; QEMU's at once";
}

// QEMU's PC has no memory-mapped serial controller: the output is compared
// only where the board's controller sends nothing either.
std::string MmioOnQemu(const scenario::PlatformConfig& board) {
  const bool silent = !board.mmioSerialPresent || board.mmioStatus == scenario::MmioStatus::NeverReady ||
                      (board.mmioStatus == scenario::MmioStatus::ReadyForFirst && board.mmioReadyReads == 0);
  if (silent) return "";
  return "QEMU's PC has no memory-mapped serial controller (nor the sideband bridge that tells its stride); "
         "the board's takes text";
}

}  // namespace

const std::array<Output, kOutputCount> kOutputs = {{
    {"serial", "Serial console (I/O 0x3F8)", "the legacy port", 'L', OutputKind::Line, &DeviceOutputs::serial,
     LegacySerialText, LegacySerialBytes, LegacySerialDevice, LegacySerialLine, QemuSource::CharFile, "-serial", "com1.txt", LegacyOnQemu},
    {"mmio_serial", "Memory-mapped serial controller", "the memory-mapped controller", 'M', OutputKind::Line,
     &DeviceOutputs::mmioSerial, MmioSerialText, MmioSerialBytes, MmioSerialDevice, MmioSerialLine, QemuSource::None, nullptr, nullptr, MmioOnQemu},
    {"memory_log", "Memory log (0x70000)", "the memory log", 'G', OutputKind::Ring, &DeviceOutputs::memoryLogText,
     MemoryLogText, MemoryLogBytes, MemoryLogDevice, nullptr, QemuSource::ReadBack, nullptr, nullptr, nullptr},
}};

DeviceOutputs ReadOutputs(const sim::Platform& platform) {
  DeviceOutputs out;
  for (const Output& o : kOutputs) out.*o.text = o.readBoard(platform);
  out.memoryLogHeader = platform.memoryLog.Header();
  return out;
}

OutputBytes BoardBytes(const sim::Platform& platform) {
  OutputBytes bytes{};
  for (size_t i = 0; i < kOutputCount; ++i) bytes[i] = kOutputs[i].boardBytes(platform);
  return bytes;
}

OutputBytes BytesSince(const OutputBytes& before, const OutputBytes& after) {
  OutputBytes bytes{};
  for (size_t i = 0; i < kOutputCount; ++i) bytes[i] = after[i] - before[i];
  return bytes;
}

std::vector<const void*> OutputDevices(const sim::Platform& platform) {
  std::vector<const void*> devices;
  for (const Output& o : kOutputs) devices.push_back(o.device(platform));
  return devices;
}

std::string OutputsJson() {
  using Json = nlohmann::ordered_json;
  Json rows = Json::array();
  for (const Output& o : kOutputs)
    rows.push_back({{"key", o.key},
                    {"title", o.title},
                    {"letter", std::string(1, o.letter)},
                    {"kind", o.kind == OutputKind::Line ? "line" : "ring"},
                    {"qemu", o.qemu == QemuSource::None       ? "none"
                             : o.qemu == QemuSource::CharFile ? "file"
                                                              : "read back"}});
  return Json{{"outputs", rows}}.dump(2);
}

}  // namespace run
