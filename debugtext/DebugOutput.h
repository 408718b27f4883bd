// The one door through which debug text leaves the module: WriteDebugText
// reads the debug control byte from CMOS and sends each line to the enabled
// outputs (memory log, memory-mapped serial controller, legacy serial port).
#ifndef STATUSSINK_DEBUG_OUTPUT_H
#define STATUSSINK_DEBUG_OUTPUT_H

#include <stdint.h>

#include "include/PiTypes.h"

// DebugControlByte: CMOS offset 0x5C.
constexpr uint8_t DebugControlCmosOffset = 0x5C;
constexpr uint8_t DebugControlOn = 0x80;          // bit 7: must be set for any output
constexpr uint8_t DebugControlOff = 0x40;         // bit 6: no output, whatever bit 7 says
constexpr uint8_t DebugControlMmioSerial = 0x10;  // bit 4: also the memory-mapped serial controller
constexpr uint8_t DebugControlMemoryLog = 0x01;   // bit 0: also the memory log
// What ReadDebugControlByte answers when the location table vetoes the read.
constexpr uint8_t DebugControlVetoed = 0xFF;

// One row of the CMOS location table.
struct CmosLocation {
  uint8_t Offset;        // CMOS offset the row describes
  uint8_t PlatformData;  // carried for the platform; no decision here looks at it
  uint8_t Attributes;    // attribute bits
};

constexpr uint32_t CmosLocationCount = 25;
extern const CmosLocation CmosLocationTable[CmosLocationCount];

// Attribute bits that, all three set in the row for the control byte's
// offset, veto reading it.
constexpr uint8_t CmosVetoAttributes = 0x0B;

// Sends Length bytes of Text (NUL bytes included) to the enabled outputs.
// EFI_NOT_READY when the control byte turns output off, otherwise
// EFI_SUCCESS whatever the outputs did.
EFI_STATUS WriteDebugText(const char* Text, uint32_t Length);

// The control byte, or 0xFF when CmosLocationTable vetoes the read.
uint8_t ReadDebugControlByte(void);

// The first row of CmosLocationTable for Offset, or null.
const CmosLocation* FindCmosLocation(uint8_t Offset);

// Expected when every bit of Mask is set in the row's attributes, otherwise
// the opposite truth value (1 for an Expected of 0, 0 for any other).
uint8_t CheckCmosAttributes(uint8_t Mask, uint8_t Expected, const CmosLocation* Row);

// The legacy serial port at I/O 0x3F8.
// Line status reads one wait for an empty transmit holding register may take
// before the rest of the line is dropped. At 9600 baud a character is 10 bits,
// so a full 16-byte FIFO empties in about 16.7 ms; one port read takes about
// 1 us, so a working port shows the empty bit within some 17,000 reads.
// 100,000 reads (about 0.1 s) leave a six-fold margin and still cover ports
// whose reads are faster, while a port that never empties costs about a tenth
// of a second per line instead of the whole boot.
constexpr uint32_t LegacySerialWaitLimit = 100000;

// Sends Length bytes of Text to the legacy port in bursts of up to 16, one
// wait for an empty transmit holding register before each burst. When a wait
// reaches LegacySerialWaitLimit the rest of the text is dropped. Returns the
// count of bytes written.
uint32_t WriteLegacySerial(const char* Text, uint32_t Length);

#endif  // STATUSSINK_DEBUG_OUTPUT_H
