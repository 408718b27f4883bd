// Reading the memory log after the fact: a dump of the 64 KiB window (or of
// a larger stretch of physical memory holding it), decoded as a board's log
// is read after a hang: the text oldest first, the wrap count, the bytes
// lost to wrapping, and warnings for a header that cannot be right.
#ifndef STATUSSINK_EMU_LOGDUMP_H
#define STATUSSINK_EMU_LOGDUMP_H

#include <cstdint>
#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <vector>

namespace emu {

struct LogDump {
  uint32_t header = 0;
  uint16_t offset = 0;  // of the next byte to write
  uint16_t wraps = 0;
  uint64_t written = 0;  // bytes ever written, as far as the header tells (the wrap count itself may have wrapped)
  uint64_t lost = 0;     // of those, overwritten by wrapping
  std::string text;      // oldest byte first
  bool corrupt = false;
  std::vector<std::string> warnings;
};

// `window` is the 64 KiB window, header first.
LogDump DecodeLogWindow(std::span<const uint8_t> window);
// Reads FILE and decodes the window that starts `offset` bytes into it.
LogDump ReadLogDump(const std::string& path, uint64_t offset);

std::string LogDumpText(const LogDump& log);
nlohmann::ordered_json LogDumpJson(const LogDump& log);

}  // namespace emu

#endif
