// Debug output control: the CMOS control byte, its location table, and the
// fan-out of each line to the enabled outputs in their fixed order.
#include "debugtext/DebugOutput.h"

#include "debugtext/MemoryLog.h"
#include "debugtext/MmioSerial.h"
#include "platform/platform.h"

constexpr CmosLocation CmosLocationTable[CmosLocationCount] = {
    {0x50, 0x01, 0x01}, {0x60, 0x01, 0x00}, {0x61, 0x00, 0x00}, {0x62, 0x00, 0x00}, {0x63, 0x00, 0x00},
    {0x64, 0x00, 0x00}, {0x65, 0x00, 0x00}, {0x66, 0x00, 0x00}, {0x67, 0x00, 0x00}, {0x68, 0x00, 0x00},
    {0x69, 0x00, 0x00}, {0x80, 0x00, 0x00}, {0x90, 0x00, 0x00}, {0x92, 0x00, 0x00}, {0x97, 0x00, 0x00},
    {0xEF, 0x00, 0x00}, {0x32, 0x20, 0x01}, {0x48, 0x00, 0x01}, {0x49, 0x00, 0x01}, {0x4A, 0x00, 0x01},
    {0x4B, 0x00, 0x01}, {0x4C, 0x46, 0x01}, {0x4D, 0x00, 0x01}, {0x4E, 0x00, 0x01}, {0x4F, 0x80, 0x01},
};
static_assert(sizeof(CmosLocation) == 3, "a CMOS location row is three bytes");
static_assert(sizeof(CmosLocationTable) == 75, "25 rows, no terminating row");

namespace {

constexpr uint16_t CmosIndexPort = 0x70;  // bit 7 of the index (NMI mask) is left clear
constexpr uint16_t CmosDataPort = 0x71;

uint8_t ReadCmos(uint8_t Offset) {
  IoWrite8(CmosIndexPort, Offset);
  return IoRead8(CmosDataPort);
}

BOOLEAN DebugOutputEnabled(uint8_t Control) {
  return (Control & DebugControlOn) != 0 && (Control & DebugControlOff) == 0 ? TRUE : FALSE;
}

constexpr const CmosLocation* FirstRowFor(const CmosLocation* Table, uint32_t Rows, uint8_t Offset) {
  for (uint32_t row = 0; row < Rows; ++row) {
    if (Table[row].Offset == Offset) return &Table[row];
  }
  return nullptr;
}

constexpr uint8_t AttributesMatch(uint8_t Mask, uint8_t Expected, const CmosLocation* Row) {
  const uint8_t attributes = Row != nullptr ? Row->Attributes : 0;
  if ((attributes & Mask) == Mask) return Expected;
  return Expected == 0 ? 1 : 0;
}

// The first row for the control byte's offset vetoes the read when it has
// every veto attribute bit.
constexpr BOOLEAN ControlByteReadVetoed(const CmosLocation* Table, uint32_t Rows) {
  const CmosLocation* row = FirstRowFor(Table, Rows, DebugControlCmosOffset);
  return row != nullptr && AttributesMatch(CmosVetoAttributes, 0, row) == 0 ? TRUE : FALSE;
}

}  // namespace

// Test entry point (tests/host32/ModuleTestEntryPoints.h): FindCmosLocation in any table of Rows rows.
const CmosLocation* FindCmosLocationIn(const CmosLocation* Table, uint32_t Rows, uint8_t Offset) {
  return FirstRowFor(Table, Rows, Offset);
}

const CmosLocation* FindCmosLocation(uint8_t Offset) {
  return FirstRowFor(CmosLocationTable, CmosLocationCount, Offset);
}

uint8_t CheckCmosAttributes(uint8_t Mask, uint8_t Expected, const CmosLocation* Row) {
  return AttributesMatch(Mask, Expected, Row);
}

// Test entry point (tests/host32/ModuleTestEntryPoints.h): ReadDebugControlByte against any table.
uint8_t ReadDebugControlByteWith(const CmosLocation* Table, uint32_t Rows) {
  if (ControlByteReadVetoed(Table, Rows)) return DebugControlVetoed;
  return ReadCmos(DebugControlCmosOffset);
}

uint8_t ReadDebugControlByte(void) {
  // The module's own table is constant, so whether it vetoes the read is
  // settled when the module is built; the byte is still read on every call.
  constexpr BOOLEAN vetoed = ControlByteReadVetoed(CmosLocationTable, CmosLocationCount);
  if (vetoed) return DebugControlVetoed;
  return ReadCmos(DebugControlCmosOffset);
}

EFI_STATUS WriteDebugText(const char* Text, uint32_t Length) {
  const uint8_t control = ReadDebugControlByte();
  if (!DebugOutputEnabled(control)) return EFI_NOT_READY;
  // The sinks' results change nothing here.
  if ((control & DebugControlMemoryLog) != 0) static_cast<void>(WriteMemoryLog(Text, Length));
  if ((control & DebugControlMmioSerial) != 0) static_cast<void>(WriteMmioSerial(Text, Length));
  if (Text == nullptr) return EFI_SUCCESS;
  static_cast<void>(WriteLegacySerial(Text, Length));
  return EFI_SUCCESS;
}
