// QEMU's trace of memory-region writes, followed as it streams in: the
// port 0x80 words of each call, and the call in progress as the boot ROM
// announces it on the second serial port.
#ifndef STATUSSINK_QEMU_TRACE_H
#define STATUSSINK_QEMU_TRACE_H

#include <charconv>
#include <cstdint>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

namespace qemu {

// Port 0x80 as QEMU traces it: each write is listed as byte writes to the
// region "ioport80", a 16-bit write as offset 0 then offset 1.
class PostCodeTrace {
 public:
  // Feeds one byte write at `offset` of ioport80; answers a completed word, if any.
  std::optional<uint16_t> Byte(uint32_t offset, uint8_t value);
  // A pending single byte at offset 0 that no offset-1 byte followed: an 8-bit write.
  std::optional<uint16_t> Flush();
  // Forgets a pending byte: the trace was cut before its write was complete.
  void Drop();

 private:
  std::optional<uint8_t> low_;
};

// The boot ROM's summary port (the second serial port).
constexpr uint16_t kSummaryPort = 0x2F8;

// A hexadecimal field of the summary; throws std::invalid_argument or std::out_of_range.
uint32_t SummaryHex(const std::string& text);

// Follows the trace as it streams in: port 0x80 words, attributed to the
// call in progress, which the foundation announces on the second serial port
// ("C <report> <handler>") right before each call.
class TraceReader {
 public:
  struct CallKey {
    int report = -1;  // -1: the entry point (before the first report)
    int handler = 0;
    bool operator<(const CallKey& o) const { return std::tie(report, handler) < std::tie(o.report, o.handler); }
  };

  // A call that writes port 0x80 this many times is stopped there as a blink
  // loop, as the emulated machine stops it: later words are not taken.
  explicit TraceReader(uint64_t blinkWrites) : blinkWrites_(blinkWrites) {}

  void Feed(const char* data, size_t size) {
    std::string_view rest(data, size);
    for (size_t end; (end = rest.find('\n')) != std::string_view::npos; rest.remove_prefix(end + 1)) {
      if (partial_.empty()) {
        Line(rest.substr(0, end));
      } else {
        partial_.append(rest.substr(0, end));
        Line(partial_);
        partial_.clear();
      }
    }
    partial_.append(rest);
  }
  // After QEMU was stopped, the trace may end inside a line or between the
  // two bytes of a 16-bit write: neither is a whole write, both are dropped.
  void Finish(bool cut) {
    if (!cut && !partial_.empty()) Line(partial_);
    partial_.clear();
    if (cut) {
      postcodes_.Drop();
    } else if (auto w = postcodes_.Flush()) {
      Word(*w);
    }
  }

  uint64_t lines = 0;
  uint64_t writes = 0;
  bool blinkLimit = false;  // a call reached the blink loop's limit of port 0x80 writes
  std::map<CallKey, std::vector<std::pair<uint16_t, uint64_t>>> runs;  // per call, in order
  std::vector<CallKey> order;                                          // calls in the order they wrote

 private:
  // "memory_region_ops_write cpu 0 mr 0x... addr 0x80 value 0x34 size 1 name 'ioport80'"
  // A hexadecimal number right after `key` in the line, if the line has one.
  static std::optional<uint32_t> HexAfter(std::string_view line, std::string_view key) {
    const size_t at = line.find(key);
    if (at == std::string_view::npos) return std::nullopt;
    uint32_t value = 0;
    const char* first = line.data() + at + key.size();
    const auto [end, error] = std::from_chars(first, line.data() + line.size(), value, 16);
    if (error != std::errc() || end == first) return std::nullopt;
    return value;
  }

  void Line(std::string_view line) {
    ++lines;
    const bool port80 = line.ends_with("'ioport80'");
    const bool serial = !port80 && line.ends_with("'serial'");
    if (!port80 && !serial) return;
    const std::optional<uint32_t> a = HexAfter(line, " addr 0x"), value = HexAfter(line, " value 0x");
    if (!a || !value) return;
    const uint32_t address = *a, v = *value;
    if (port80) {
      // The address is listed either as the port or as the offset in the region.
      if (auto w = postcodes_.Byte(address & 1, static_cast<uint8_t>(v))) Word(*w);
    } else if (address == kSummaryPort) {
      if (auto w = postcodes_.Flush()) Word(*w);
      if (v == '\n') {
        SummaryLine(summary_);
        summary_.clear();
      } else {
        summary_ += static_cast<char>(v);
      }
    }
  }

  void SummaryLine(const std::string& text) {
    if (text.size() < 2 || text[0] != 'C' || text[1] != ' ') return;
    std::istringstream fields(text.substr(2));
    std::string report, handler;
    fields >> report >> handler;
    current_ = {static_cast<int>(SummaryHex(report)), static_cast<int>(SummaryHex(handler))};
    callWrites_ = 0;
  }

  void Word(uint16_t word) {
    if (blinkLimit) return;
    ++writes;
    blinkLimit = ++callWrites_ == blinkWrites_;
    auto [it, fresh] = runs.try_emplace(current_);
    if (fresh) order.push_back(current_);
    auto& r = it->second;
    if (!r.empty() && r.back().first == word)
      ++r.back().second;
    else
      r.emplace_back(word, 1);
  }

  std::string partial_, summary_;
  PostCodeTrace postcodes_;
  CallKey current_;
  uint64_t blinkWrites_ = 0, callWrites_ = 0;
};

}  // namespace qemu

#endif
