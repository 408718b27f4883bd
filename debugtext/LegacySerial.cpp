// The legacy serial port: a 16550-compatible UART at I/O 0x3F8, set up by the
// platform before this module runs and never programmed here.
#include "debugtext/DebugOutput.h"
#include "platform/platform.h"

namespace {

constexpr uint16_t LegacySerialBase = 0x3F8;
constexpr uint16_t TransmitHoldingRegister = LegacySerialBase + 0;  // write one byte
constexpr uint16_t LineStatusRegister = LegacySerialBase + 5;
constexpr uint8_t LineStatusThrEmpty = 0x20;  // bit 5: transmit holding register (FIFO) empty
// Bytes written per empty transmit holding register: one transmit FIFO's worth.
constexpr uint32_t TransmitFifoDepth = 16;

BOOLEAN CanTransmit() { return (IoRead8(LineStatusRegister) & LineStatusThrEmpty) != 0 ? TRUE : FALSE; }

void TransmitByte(char Byte) { IoWrite8(TransmitHoldingRegister, static_cast<uint8_t>(Byte)); }

// Polls the line status register without delay until the transmit FIFO is
// empty; FALSE when LegacySerialWaitLimit reads did not see it empty.
BOOLEAN WaitForTransmitterEmpty() {
  for (uint32_t readsLeft = LegacySerialWaitLimit; readsLeft != 0; --readsLeft) {
    if (CanTransmit()) return TRUE;
  }
  return FALSE;
}

}  // namespace

uint32_t WriteLegacySerial(const char* Text, uint32_t Length) {
  uint32_t written = 0;
  for (; written < Length; ++written) {
    // Each burst of up to TransmitFifoDepth bytes starts with a wait. A port
    // that never empties: drop the rest; the next line waits afresh.
    if (written % TransmitFifoDepth == 0 && !WaitForTransmitterEmpty()) break;
    TransmitByte(Text[written]);
  }
  return written;
}
