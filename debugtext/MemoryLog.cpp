// The memory log. The header is read once and written once per line; in
// between, the position lives in the local copy h, whose low half is always
// the window offset of the next byte. The wrap count in the high half moves
// on by the carry out of the low half, right after the byte at the window's
// last address is written.
#include "debugtext/MemoryLog.h"

#include "platform/RegisterAccess.h"
#include "platform/platform.h"

namespace {

BOOLEAN MemoryLogEnabled() { return (ReadHostBridgeDc() & MemoryLogEnableMask) != 0 ? TRUE : FALSE; }

uint32_t HeaderOffset(MemoryLogHeader Header) { return Header & MemoryLogOffsetMask; }

// Offset 0 stands for the start of the text area. Offsets 1 to 3 point into
// the header itself and can only come from a damaged header; text written
// there would be lost under the header written back at the end, so such a
// line starts at the text area too. The wrap count is kept.
MemoryLogHeader StartOfLine(MemoryLogHeader Header) {
  if (HeaderOffset(Header) < MemoryLogTextStart) return (Header & ~MemoryLogOffsetMask) | MemoryLogTextStart;
  return Header;
}

}  // namespace

uint32_t WriteMemoryLog(const char* Text, uint32_t Length) {
  if (Text == nullptr) return Length;
  if (!MemoryLogEnabled()) return Length;

  MemoryLogHeader h = StartOfLine(MmioRead32(MemoryLogHeaderAddress));
  for (uint32_t i = 0; i < Length; ++i) {
    // Low half 0: the previous byte went to the window's last address.
    if (HeaderOffset(h) == 0) h += MemoryLogTextStart;
    MmioWrite8(MemoryLogBase + HeaderOffset(h), static_cast<uint8_t>(Text[i]));
    h += 1;  // carries into the wrap count when the low half steps from 0xFFFF to 0
  }
  MmioWrite32(MemoryLogHeaderAddress, h);
  return Length;
}
