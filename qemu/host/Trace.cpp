#include "qemu/host/Trace.h"

#include "hostlib/Text.h"
#include "qemu/host/QemuRun.h"

namespace qemu {

std::optional<uint16_t> PostCodeTrace::Byte(uint32_t offset, uint8_t value) {
  if (offset == 0) {
    std::optional<uint16_t> earlier = Flush();
    low_ = value;
    return earlier;
  }
  if (!low_) return std::nullopt;  // a lone write to port 0x81 is not a POST code
  const uint16_t word = static_cast<uint16_t>(*low_ | (value << 8));
  low_.reset();
  return word;
}

void PostCodeTrace::Drop() { low_.reset(); }

std::optional<uint16_t> PostCodeTrace::Flush() {
  if (!low_) return std::nullopt;
  const uint16_t word = *low_;
  low_.reset();
  return word;
}

// A field of the report block's text: hexadecimal digits, as the boot ROM writes them.
uint32_t SummaryHex(const std::string& text) {
  const hostlib::ParsedNumber n = hostlib::ParseNumber(text, true);
  if (!n || n.value > 0xFFFFFFFFu) throw QemuError("the boot ROM's report has '" + text + "' for a 32-bit number");
  return static_cast<uint32_t>(n.value);
}

}  // namespace qemu
