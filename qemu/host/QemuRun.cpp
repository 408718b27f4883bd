#include "qemu/host/QemuRun.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "fv/InputFile.h"
#include "fv/Layout.h"
#include "fv/ModuleFile.h"
#include "fv/Placement.h"
#include "qemu/host/QemuProcess.h"
#include "qemu/host/ReportBlock.h"
#include "qemu/host/Summary.h"
#include "qemu/rom/RomFormat.h"
#include "run/Outputs.h"

namespace qemu {
namespace {

namespace fs = std::filesystem;

// QEMU takes a ROM of whole blocks of this size.
constexpr uint32_t kRomBlockBytes = 0x10000;

std::vector<uint8_t> ReadFile(const fs::path& path, const char* what) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw QemuError(std::string("cannot read the ") + what + " " + path.string());
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const fs::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw QemuError("cannot write " + path.string());
}

}  // namespace

std::optional<std::string> NotRepresentable(const scenario::PlatformConfig& platform) {
  if (platform.legacySerial == scenario::LegacySerial::Stuck)
    return "its legacy serial port is stuck (QEMU's 16550 always takes bytes)";
  if (platform.legacySerial == scenario::LegacySerial::Absent)
    return "its legacy serial port is absent (QEMU's PC always has its 16550 at 0x3F8)";
  if (platform.configSpaceAllOnes)
    return "every configuration read answers all ones (QEMU's host bridge answers at 0xCF8/0xCFC)";
  if (!platform.boardRam.empty()) return "it holds bytes in RAM at " + run::Hex32(platform.boardRamBase) +
                                         " that the boot ROM does not place";
  return std::nullopt;
}

std::optional<std::string> NotRepresentable(const scenario::Scenario& scenario) {
  if (std::optional<std::string> why = NotRepresentable(scenario.platform)) return why;
  try {
    CompileReportBlock(scenario);
  } catch (const scenario::ScenarioError& e) {
    return e.what();
  }
  return std::nullopt;
}

std::vector<uint8_t> BuildRom(const std::vector<uint8_t>& volume, const std::vector<uint8_t>& reportBlock,
                              const std::vector<uint8_t>& stub, uint32_t volumeBase) {
  // QEMU takes a ROM of whole 64 KiB blocks: it starts at the block that
  // holds the volume's first byte, erased flash before the volume.
  const uint32_t romBase = volumeBase & ~(kRomBlockBytes - 1);
  const uint64_t romSize = 0x100000000ull - romBase;
  const uint64_t volumeAt = volumeBase - romBase;
  uint32_t signature = 0, length = 0;
  if (volume.size() >= 48) {
    std::memcpy(&signature, volume.data() + fv::volume::kSignatureOffset, 4);
    std::memcpy(&length, volume.data() + fv::volume::kLengthOffset, 4);
  }
  if (signature != fv::volume::kSignature) throw QemuError("the firmware volume has no volume header");
  if (stub.size() > QemuRom::StubSize) throw QemuError("the boot ROM's code is larger than its 16 KiB");
  if (romSize < QemuRom::StubSize + sizeof(QemuRom::RomDirectory))
    throw QemuError("the volume base leaves no room for the boot ROM's code below 4 GiB");
  const uint64_t stubAt = romSize - QemuRom::StubSize;
  const uint64_t room = stubAt - sizeof(QemuRom::RomDirectory);
  const uint64_t volumeEnd = volumeAt + std::max<uint64_t>(length, volume.size());
  if (volumeEnd > room) throw QemuError("the firmware volume reaches the boot ROM's code at the top of the ROM");
  const uint64_t blockAt = (volumeEnd + QemuRom::ReportBlockAlignment - 1) & ~uint64_t{QemuRom::ReportBlockAlignment - 1};
  if (blockAt + reportBlock.size() > room)
    throw QemuError("the scenario's reports take " + std::to_string(reportBlock.size()) +
                    " bytes; the ROM has room for " + std::to_string(room > blockAt ? room - blockAt : 0) +
                    " after the firmware volume");
  std::vector<uint8_t> rom(romSize, 0xFF);
  std::copy(volume.begin(), volume.end(), rom.begin() + static_cast<std::ptrdiff_t>(volumeAt));
  std::copy(reportBlock.begin(), reportBlock.end(), rom.begin() + static_cast<std::ptrdiff_t>(blockAt));
  std::copy(stub.begin(), stub.end(), rom.begin() + static_cast<std::ptrdiff_t>(stubAt));
  QemuRom::RomDirectory directory{QemuRom::RomDirectorySignature, volumeBase,
                                  static_cast<uint32_t>(romBase + blockAt), 0, {}};
  std::copy(fv::kModuleFileName.begin(), fv::kModuleFileName.end(), directory.ModuleName);
  std::memcpy(rom.data() + room, &directory, sizeof directory);
  return rom;
}

QemuRunResult RunOnQemu(const scenario::Scenario& scenario, const QemuOptions& options) {
  // Everything that can be refused is refused before anything is built or started.
  if (!std::isfinite(options.timeLimitSeconds) || options.timeLimitSeconds <= 0)
    throw QemuError("the time limit must be a number of seconds above 0, not " +
                    fmt::format("{}", options.timeLimitSeconds));
  if (options.blinkWrites && *options.blinkWrites == 0) throw QemuError("a call cannot be stopped after 0 port 0x80 writes");
  if (const std::optional<std::string> why = NotRepresentable(scenario.platform))
    throw QemuError(scenario.path + ": QEMU's PC cannot stand for this board: " + *why);
  const std::vector<uint8_t> block = CompileReportBlock(scenario);
  const std::vector<uint8_t> volume =
      fv::ReadInputFile(options.volume, {"firmware volume", fv::kMaxVolumeFileBytes});
  // Where both machines can run a volume, asked before any ROM is built.
  fv::CheckVolumePlacement(options.volumeBase, volume.size());
  const std::vector<uint8_t> stub = fv::ReadInputFile(options.stub, {"boot ROM", fv::kMaxBootRomFileBytes});
  const std::vector<uint8_t> rom = BuildRom(volume, block, stub, options.volumeBase);

  // From here on an ending signal ends QEMU and removes the scratch
  // directory (both are undone as QemuInterrupted unwinds this scope).
  const EndingSignals signals;
  WorkDirectory work(options.keepDirectory);
  const fs::path romPath = work.Path() / "rom.bin", summaryPath = work.Path() / "com2.txt",
                 fifo = work.Path() / "trace.fifo";
  WriteFile(romPath, rom);
  fs::remove(fifo);
  std::vector<std::string> args = {options.qemu, "-M",      "pc",    "-nodefaults",    "-display",
                                   "none",       "-no-reboot", "-bios", romPath.string()};
  // The outputs QEMU's own devices write to files, in the table's order
  // (the legacy port's -serial first: COM1), then the boot ROM's summary
  // port (COM2).
  for (const run::Output& o : run::kOutputs)
    if (o.qemu == run::QemuSource::CharFile) args.insert(args.end(), {o.qemuOption, "file:" + (work.Path() / o.qemuFile).string()});
  args.insert(args.end(), {"-serial", "file:" + summaryPath.string(), "-monitor", "stdio", "-device",
                           "isa-debug-exit,iobase=0xf4,iosize=0x04", "-trace",
                           "memory_region_ops_write,file=" + fifo.string()});
  TraceReader trace(options.blinkWrites.value_or(scenario.limits.blinkWrites));
  const ProcessOutcome outcome = RunQemu(args, fifo, options.timeLimitSeconds, trace);
  EndingSignals::Check();  // one that came as QEMU ended: the run is not reported

  QemuRunResult result;
  QemuFacts& facts = result.facts;
  facts.seconds = outcome.seconds;
  facts.exitCode = outcome.exitCode;
  facts.timedOut = outcome.timedOut;
  facts.blinkLimit = outcome.blinkLimit;
  facts.traceLines = trace.lines;
  run::RunResult& run = result.run;
  run.machine = "qemu";
  run.scenario = &scenario;
  run.imagePath = options.volume;
  run.imageFileSize = static_cast<uint32_t>(volume.size());
  for (const run::Output& o : run::kOutputs) {
    if (o.qemu != run::QemuSource::CharFile) continue;
    const fs::path file = work.Path() / o.qemuFile;
    const std::vector<uint8_t> bytes = fs::exists(file) ? ReadFile(file, o.key) : std::vector<uint8_t>{};
    run.outputs.*o.text = std::string(bytes.begin(), bytes.end());
  }
  run.postcodeWrites = trace.writes;

  const SummaryReading reading = ApplySummary(ReadSummary(summaryPath), scenario, result);
  AssembleReports(reading, trace, scenario, result);
  if (!facts.imageFormat.empty()) {
    run.imageSource = "firmware volume in place";
    run.imageFormat = facts.imageFormat;
    run.dispatch = {
        fmt::format("QEMU boot ROM: volume at 0x{:08X}, header and file checksums good", options.volumeBase)};
    for (const QemuFacts::Peim& p : facts.peims)
      run.dispatch.push_back(fmt::format("PEIM {} at 0x{:08X}: dependency expression {}", p.name, p.file,
                                         p.file == facts.moduleFile ? "holds: dispatched"
                                         : p.holds                  ? "holds: not run here"
                                                                    : "does not hold: not run here"));
    run.dispatch.push_back(fmt::format("{} image section at 0x{:08X}, rebased by the packer to 0x{:08X}, entry 0x{:08X}",
                                       facts.imageFormat, facts.imageSection, run.imageBase, run.entryPoint));
  }
  return result;
}

}  // namespace qemu
