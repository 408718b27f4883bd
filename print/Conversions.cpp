// Digit strings, and the GUID, time and status texts of the format engine.
// The texts are written straight into the engine's scratch area with the
// digit table and ValueToDigits: no conversion calls the engine again, which
// keeps the stack of a handler call shallow.
#include "print/PrintInternal.h"

extern const char DigitTable[16] = {'0', '1', '2', '3', '4', '5', '6', '7',
                                    '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'};

namespace {

// Status values with a named row: 0 to 5, and errors 1 to 33.
constexpr uint32_t StatusErrorBit = 0x80000000u;
constexpr uint32_t LastNamedWarning = 5;
constexpr uint32_t LastNamedError = 33;
constexpr uint32_t FirstErrorRow = 5;  // row of error n is FirstErrorRow + n
static_assert(FirstErrorRow + LastNamedError + 1 == StatusTextRows, "every named error has a row");

// The GUID's bytes in the order their digits are printed: the u32 and the
// two u16 fields most significant byte first, then the eight single bytes.
// A dash follows the bytes printed 4th, 6th, 8th and 10th.
constexpr uint8_t GuidByteOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
constexpr uint32_t GuidDashAfter = (1u << 3) | (1u << 5) | (1u << 7) | (1u << 9);
constexpr uint32_t GuidTextLength = 36;
static_assert(GuidTextLength + 1 <= FormatScratchSize, "a GUID text and its NUL fit in Scratch");

// Where TimeText and StatusText convert a number before copying its digits
// to the text: behind the longest text they write (a time of 22 characters)
// and its NUL; a NUL and at most 8 digits.
constexpr uint32_t DigitsPlace = 24;
static_assert(DigitsPlace + 9 <= FormatScratchSize, "the digits fit behind the text");

// Writes the digits of Value in Base, at least MinDigits of them (zeros in
// front), at Place; returns the place after the last one.
char* PutDigits(char* Place, char* Scratch, uint32_t Value, uint32_t Base, uint32_t MinDigits) {
  char* digits = Scratch + DigitsPlace;
  char* top = ValueToDigits(digits, Base, Value);
  for (uint32_t count = static_cast<uint32_t>(top - digits); count < MinDigits; count++) {
    *Place++ = '0';
  }
  while (*top != 0) {
    *Place++ = *top--;
  }
  *Place = 0;
  return Place;
}

// The fields of a time text in order: the byte of the record that holds the
// field (the year is the u16 at 0), its least number of digits and the
// characters that follow it.
struct TimeField {
  uint8_t Offset;
  uint8_t MinDigits;
  char After[3];
};
constexpr TimeField TimeFields[5] = {{2, 2, "/"}, {3, 2, "/"}, {0, 4, "  "}, {4, 2, ":"}, {5, 2, ""}};

}  // namespace

char* ValueToDigits(char* Scratch, uint32_t Base, uint64_t Value) {
  // The value is handled as two 32-bit halves: a 64-bit division would make
  // the compiler call a run-time helper that the image does not have.
  if (Base != 16) {
    Base = 10;
  }
  uint32_t high = static_cast<uint32_t>(Value >> 32);
  uint32_t low = static_cast<uint32_t>(Value);
  char* place = Scratch;
  *place = 0;
  // While the high half is not 0: long division of high:low by the base in
  // three steps of at most 32 bits each (high, then the upper and the lower
  // 16 bits of low, each with the remainder of the step before in front).
  // A remainder is below the base, so every step fits and every partial
  // quotient of the two 16-bit steps fits in 16 bits.
  while (high != 0) {
    uint32_t remainder = high % Base;
    high /= Base;
    uint32_t upper = (remainder << 16) | (low >> 16);
    remainder = upper % Base;
    uint32_t lower = (remainder << 16) | (low & 0xFFFF);
    *++place = DigitTable[lower % Base];
    low = ((upper / Base) << 16) | (lower / Base);
  }
  do {
    *++place = DigitTable[low % Base];
    low /= Base;
  } while (low != 0);
  return place;
}

const char* GuidText(char* Scratch, const uint8_t* Guid) {
  if (Guid == nullptr) {
    return "<null guid>";
  }
  // EFI_GUID: a u32, two u16 and eight single bytes, little-endian, read
  // byte by byte so that it may sit at any address.
  char* place = Scratch;
  for (uint32_t index = 0; index < 16; index++) {
    uint32_t value = Guid[GuidByteOrder[index]];
    place[0] = DigitTable[value >> 4];
    place[1] = DigitTable[value & 0xF];
    place += 2;
    if (((GuidDashAfter >> index) & 1) != 0) {
      *place++ = '-';
    }
  }
  *place = 0;
  return Scratch;
}

const char* TimeText(char* Scratch, const uint8_t* Time) {
  if (Time == nullptr) {
    return "<null time>";
  }
  // The UEFI time record: year u16 at 0, then month, day, hour and minute
  // bytes; nothing past the minute is read. "MM/DD/YYYY  HH:MM", where each
  // width is a minimum (a day of 100 prints three digits).
  char* place = Scratch;
  for (const TimeField& field : TimeFields) {
    uint32_t value = Time[field.Offset];
    if (field.Offset == 0) {
      value |= static_cast<uint32_t>(Time[1]) << 8;
    }
    place = PutDigits(place, Scratch, value, 10, field.MinDigits);
    for (const char* after = field.After; *after != 0; after++) {
      *place++ = *after;
    }
  }
  *place = 0;
  return Scratch;
}

const char* StatusText(char* Scratch, uint32_t Status) {
  if ((Status & StatusErrorBit) != 0) {
    uint32_t error = Status & ~StatusErrorBit;
    if (error >= 1 && error <= LastNamedError) {
      return StatusTextOfRow(FirstErrorRow + error);
    }
  } else if (Status <= LastNamedWarning) {
    return StatusTextOfRow(Status);
  }
  // Eight upper-case hexadecimal digits.
  PutDigits(Scratch, Scratch, Status, 16, 8);
  return Scratch;
}
