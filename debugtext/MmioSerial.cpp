// The memory-mapped serial controller: base address, presence tests and
// register stride are worked out afresh for every line.
#include "debugtext/MmioSerial.h"

#include "include/PiTypes.h"
#include "platform/RegisterAccess.h"
#include "platform/platform.h"

namespace {

// Register offsets with the 4-byte stride; with the 1-byte stride each is
// shifted right by 2.
constexpr uint32_t TransmitRegister = 0x00;     // register 0, write one byte
constexpr uint32_t InterruptIdRegister = 0x08;  // register 2, read before each status read
constexpr uint32_t StatusRegister = 0x7C;       // register 31
constexpr uint8_t StatusTransmitNotFull = 0x02;  // bit 1: the transmit FIFO takes another byte

constexpr uint32_t NoController = 0xFFFFFFFFu;
// A base below 0x100 cannot be a register page.
constexpr uint32_t BaseAddressMask = 0xFFFFFF00u;
// The presence byte, read at base + 0x7C before the stride is known, reads
// all ones when nothing answers there.
constexpr uint8_t NothingAnswers = 0xFF;

// The sideband register that tells the stride: 4 means 1-byte stride.
constexpr uint8_t StridePortId = 0x90;
constexpr uint16_t StrideOffset = 0x618;
constexpr uint32_t OneByteStrideValue = 4;
constexpr uint32_t OneByteStrideShift = 2;
constexpr uint32_t FourByteStrideShift = 0;

BOOLEAN ControllerAnswers(uint32_t Base) {
  if (Base == NoController) return FALSE;
  if ((Base & BaseAddressMask) == 0) return FALSE;
  return MmioRead8(Base + StatusRegister) != NothingAnswers ? TRUE : FALSE;
}

uint32_t RegisterShift() {
  uint32_t value = 0;
  // A refused read leaves value at 0: the 4-byte stride.
  static_cast<void>(ReadSidebandRegister(StridePortId, StrideOffset, &value));
  return value == OneByteStrideValue ? OneByteStrideShift : FourByteStrideShift;
}

// One poll: the interrupt identification register is read before every
// status read, its value unused.
BOOLEAN CanTransmit(uint32_t Base, uint32_t Shift) {
  static_cast<void>(MmioRead8(Base + (InterruptIdRegister >> Shift)));
  return (MmioRead8(Base + (StatusRegister >> Shift)) & StatusTransmitNotFull) != 0 ? TRUE : FALSE;
}

void TransmitByte(uint32_t Base, char Byte) { MmioWrite8(Base + TransmitRegister, static_cast<uint8_t>(Byte)); }

}  // namespace

uint32_t WriteMmioSerial(const char* Text, uint32_t Length) {
  const uint32_t base = GetSerialDeviceBar(DebugUartIndex, 0);
  if (!ControllerAnswers(base) || Text == nullptr) return 0;
  const uint32_t shift = RegisterShift();

  // At most one byte per pass. The pass that writes a byte still counts, so
  // the first byte may wait up to 200 passes and each later one up to 199.
  uint32_t remaining = Length;
  uint32_t polls = 0;
  while (remaining != 0 && polls < MmioSerialPollLimit) {
    if (CanTransmit(base, shift)) {
      TransmitByte(base, *Text++);
      --remaining;
      polls = 0;
    }
    ++polls;
  }
  return Length;
}
