// Digit strings, and the GUID, time and status texts of the format engine.
#include "PrintInternal.h"

extern const char DigitTable[16] = {'0', '1', '2', '3', '4', '5', '6', '7',
                                    '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'};

// Status values with a row in StatusTextTable: 0 to 5, and errors 1 to 33.
constexpr uint32_t StatusErrorBit = 0x80000000u;
constexpr uint32_t LastNamedWarning = 5;
constexpr uint32_t LastNamedError = 33;
constexpr uint32_t FirstErrorRow = 5;  // row of error n is FirstErrorRow + n
static_assert(FirstErrorRow + LastNamedError + 1 == StatusTextRows, "every named error has a row");

char* ValueToDigits(char* Scratch, uint32_t Base, uint64_t Value) {
  // The value is handled as two 32-bit halves: a 64-bit division would make
  // the compiler call a run-time helper that the image does not have.
  uint32_t High = (uint32_t)(Value >> 32);
  uint32_t Low = (uint32_t)Value;
  char* Place = Scratch;
  *Place = 0;
  if (Base == 16) {
    for (; High != 0; High >>= 4) {
      *++Place = DigitTable[Low & 0xF];
      Low = (Low >> 4) | (High << 28);
    }
    do {
      *++Place = DigitTable[Low & 0xF];
      Low >>= 4;
    } while (Low != 0);
    return Place;
  }
  // Base 10 while the high half is not 0: long division of High:Low by 10 in
  // three steps of at most 32 bits each (High, then the upper and the lower
  // 16 bits of Low, each with the remainder of the step before in front).
  // A remainder is below 10, so every step fits and every partial quotient
  // of the two 16-bit steps fits in 16 bits.
  while (High != 0) {
    uint32_t Remainder = High % 10;
    High /= 10;
    uint32_t Upper = (Remainder << 16) | (Low >> 16);
    Remainder = Upper % 10;
    uint32_t Lower = (Remainder << 16) | (Low & 0xFFFF);
    *++Place = DigitTable[Lower % 10];
    Low = ((Upper / 10) << 16) | (Lower / 10);
  }
  do {
    *++Place = DigitTable[Low % 10];
    Low /= 10;
  } while (Low != 0);
  return Place;
}

// Little-endian fields of a record that may sit at any address.
static uint32_t ReadU16(const uint8_t* Field) {
  return (uint32_t)Field[0] | ((uint32_t)Field[1] << 8);
}

static uint32_t ReadU32(const uint8_t* Field) {
  return ReadU16(Field) | (ReadU16(Field + 2) << 16);
}

const char* GuidText(char* Scratch, const uint8_t* Guid) {
  if (Guid == nullptr) {
    return "<null guid>";
  }
  // EFI_GUID: a u32, two u16 and eight single bytes.
  FormatWithFlags(Scratch, FormatScratchSize, 0, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                  ReadU32(Guid), ReadU16(Guid + 4), ReadU16(Guid + 6), (uint32_t)Guid[8],
                  (uint32_t)Guid[9], (uint32_t)Guid[10], (uint32_t)Guid[11], (uint32_t)Guid[12],
                  (uint32_t)Guid[13], (uint32_t)Guid[14], (uint32_t)Guid[15]);
  return Scratch;
}

const char* TimeText(char* Scratch, const uint8_t* Time) {
  if (Time == nullptr) {
    return "<null time>";
  }
  // The UEFI time record: year u16 at 0, then month, day, hour and minute
  // bytes; nothing past the minute is read. The widths are minimums.
  FormatWithFlags(Scratch, FormatScratchSize, 0, "%02d/%02d/%04d  %02d:%02d", (uint32_t)Time[2],
                  (uint32_t)Time[3], ReadU16(Time), (uint32_t)Time[4], (uint32_t)Time[5]);
  return Scratch;
}

const char* StatusText(char* Scratch, uint32_t Status) {
  if ((Status & StatusErrorBit) != 0) {
    uint32_t Error = Status & ~StatusErrorBit;
    if (Error >= 1 && Error <= LastNamedError) {
      return StatusTextTable[FirstErrorRow + Error];
    }
  } else if (Status <= LastNamedWarning) {
    return StatusTextTable[Status];
  }
  FormatWithFlags(Scratch, FormatScratchSize, 0, "%08X", Status);
  return Scratch;
}
