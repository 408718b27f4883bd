#include "emu/LogDump.h"

#include <fmt/format.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "fv/InputFile.h"
#include "scenario/Latin1.h"
#include "sim/MemoryLogRam.h"
#include "emu/PeImage.h"
#include "run/TextView.h"

namespace emu {
namespace {

constexpr uint32_t kTextArea = sim::MemoryLogRam::kSize - sim::MemoryLogRam::kTextStart;  // 65,532 bytes

}  // namespace

LogDump DecodeLogWindow(std::span<const uint8_t> window) {
  if (window.size() != sim::MemoryLogRam::kSize)
    throw std::invalid_argument("the memory log window is " + std::to_string(sim::MemoryLogRam::kSize) + " bytes, not " +
                                std::to_string(window.size()));
  // The window read back through the same model the emulated machine writes.
  sim::MemoryLogRam ram;
  for (uint32_t i = 0; i < window.size(); ++i) ram.SetByte(sim::MemoryLogRam::kBase + i, window[i]);
  LogDump log;
  log.header = ram.Header();
  log.offset = ram.Offset();
  log.wraps = ram.WrapCount();
  if (log.offset >= 1 && log.offset < sim::MemoryLogRam::kTextStart) {
    log.corrupt = true;
    log.warnings.push_back(fmt::format(
        "corrupt header 0x{:08X}: next-write offset {} lies inside the header itself (it is never below 4); "
        "the text is read as if it were 4",
        log.header, log.offset));
  }
  if (log.offset == 0 && log.wraps == 0) {
    log.warnings.push_back("header 0: nothing has been written to the log");
    return log;
  }
  // Offset 0 after a wrap: the last line ended at the window's last byte, the next goes to offset 4.
  const uint32_t position = log.offset < sim::MemoryLogRam::kTextStart ? sim::MemoryLogRam::kTextStart : log.offset;
  log.written = uint64_t{log.wraps} * kTextArea + (position - sim::MemoryLogRam::kTextStart);
  log.lost = log.written > kTextArea ? log.written - kTextArea : 0;
  log.text = ram.LogText();
  const size_t nul = std::count(log.text.begin(), log.text.end(), '\0');
  if (nul != 0)
    log.warnings.push_back(fmt::format(
        "{} NUL bytes in the text: the module never writes them, so the window was overwritten or never fully "
        "written{}",
        nul, log.wraps != 0 ? " (is the wrap count right?)" : ""));
  return log;
}

LogDump ReadLogDump(const std::string& path, uint64_t offset) {
  // A dump of physical memory may be of any size: only the window is read.
  const uint64_t size = fv::CheckInputFile(path, {"memory dump", UINT64_MAX});
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ImageError(path + ": cannot open the dump");
  if (offset > size || size - offset < sim::MemoryLogRam::kSize)
    throw ImageError(fmt::format("{}: {} bytes; the 64 KiB window at offset 0x{:X} does not fit", path, size, offset));
  std::vector<uint8_t> window(sim::MemoryLogRam::kSize);
  in.seekg(static_cast<std::streamoff>(offset));
  in.read(reinterpret_cast<char*>(window.data()), static_cast<std::streamsize>(window.size()));
  if (!in) throw ImageError(path + ": cannot read the window");
  return DecodeLogWindow(window);
}

std::string LogDumpText(const LogDump& log) {
  std::string out = fmt::format("memory log: header 0x{:08X}, next offset 0x{:04X}, wrap count {}\n", log.header,
                                log.offset, log.wraps);
  out += fmt::format("{} bytes written, {} kept, {} lost to wrapping{}\n", log.written, log.text.size(), log.lost,
                     log.wraps != 0 ? " (at least: the wrap count itself may have wrapped)" : "");
  for (const std::string& w : log.warnings) out += "warning: " + w + "\n";
  // NUL bytes are never text: a window that was never fully written holds them.
  std::string text;
  std::copy_if(log.text.begin(), log.text.end(), std::back_inserter(text), [](char c) { return c != '\0'; });
  out += fmt::format("--- text, oldest first{}\n",
                     text.size() != log.text.size() ? fmt::format(" ({} NUL bytes left out)", log.text.size() - text.size())
                                                    : "");
  out += text.empty() ? "(empty)\n" : run::PrintableText(text);
  return out;
}

nlohmann::ordered_json LogDumpJson(const LogDump& log) {
  nlohmann::ordered_json j;
  j["header"] = log.header;
  j["offset"] = log.offset;
  j["wrap_count"] = log.wraps;
  j["bytes_written"] = log.written;
  j["bytes_kept"] = log.text.size();
  j["bytes_lost"] = log.lost;
  j["corrupt"] = log.corrupt;
  j["warnings"] = log.warnings;
  std::string text;
  std::copy_if(log.text.begin(), log.text.end(), std::back_inserter(text), [](char c) { return c != '\0'; });
  j["nul_bytes"] = log.text.size() - text.size();
  j["text"] = scenario::Latin1ToUtf8(text);  // NUL bytes left out
  return j;
}

}  // namespace emu
