// The memory log's RAM window, physical 0x70000 to 0x7FFFF: a 4-byte header
// (bits 0-15 the offset of the next byte to write, 0 meaning 4; bits 16-31
// the wrap count) and a 65,532-byte circular text area. Plain RAM to the bus;
// tests and tools read it back and decode the log in order.
#ifndef STATUSSINK_SIM_MEMORYLOGRAM_H
#define STATUSSINK_SIM_MEMORYLOGRAM_H

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "sim/Machine.h"

namespace sim {

class MemoryLogRam : public MemDevice {
 public:
  static constexpr uint32_t kBase = 0x70000;
  static constexpr uint32_t kSize = 0x10000;
  static constexpr uint32_t kTextStart = 4;

  bool ClaimsAddress(uint32_t address) const override { return address - kBase < kSize; }
  uint32_t MemRead(uint32_t address, unsigned width) override;
  void MemWrite(uint32_t address, unsigned width, uint32_t value) override;
  bool IsRam() const override { return true; }

  uint32_t Header() const;
  void SetHeader(uint32_t header);
  uint16_t Offset() const { return static_cast<uint16_t>(Header()); }
  uint16_t WrapCount() const { return static_cast<uint16_t>(Header() >> 16); }
  uint8_t Byte(uint32_t address) const { return bytes_[(address - kBase) % kSize]; }
  void SetByte(uint32_t address, uint8_t value) { bytes_[(address - kBase) % kSize] = value; }
  void Fill(uint8_t value) { bytes_.fill(value); }
  std::span<const uint8_t> Bytes() const { return bytes_; }

  // The log's text, oldest byte first, as the header describes it: while the
  // wrap count is 0, the bytes from 0x70004 up to the offset; after a wrap,
  // the whole text area starting at the offset. An offset of 0 to 3 counts as 4.
  std::string LogText() const;
  // Bytes written into the text area since the board was made (the header
  // not included): every byte stored counts, also one a wrap overwrote later.
  uint64_t TextBytesStored() const { return textBytesStored_; }

 private:
  std::array<uint8_t, kSize> bytes_{};
  uint64_t textBytesStored_ = 0;
};

}  // namespace sim

#endif
