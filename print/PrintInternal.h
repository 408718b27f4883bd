// Conversions of the format engine that build their own text, and the
// switch that keeps every call on the engine's general path. Each conversion
// returns the 8-bit text to lay out, which is either a constant text or
// Scratch, FormatScratchSize bytes on the engine's stack, written directly
// with the digit table (no conversion calls the engine).
#ifndef STATUSSINK_PRINT_INTERNAL_H
#define STATUSSINK_PRINT_INTERNAL_H

#include <stdint.h>

#include "print/Print.h"

// A caller bit that turns the short way off: line breaks and every
// directive then go one field at a time through the general steps, and plain
// characters through their general copy loop.
// The output is the same either way; the fuzzer runs every input both ways
// and compares.
constexpr uint32_t GeneralPathOnly = 0x8000;

// %g: the GUID at Guid as 8-4-4-4-12 upper-case hexadecimal digits, or
// "<null guid>" for a null pointer.
const char* GuidText(char* Scratch, const uint8_t* Guid);

// %t: month/day/year  hour:minute of the time record at Time, or
// "<null time>" for a null pointer.
const char* TimeText(char* Scratch, const uint8_t* Time);

// %r: the name of Status (StatusTextOfRow), or its eight hexadecimal
// digits when it has no name.
const char* StatusText(char* Scratch, uint32_t Status);

// What each conversion letter takes from the argument list. The general
// steps' dispatch (GeneralField, FormatEngine.cpp) switches on these letters;
// a host32 test holds it to this table for every character, and the format
// fuzzer builds its argument slots from it. A letter not listed takes no
// argument and prints itself.
enum ConversionArgument : uint8_t {
  ArgumentNumber,  // one slot, two (low half first) with "l" or "L"
  ArgumentWord,    // one slot, whatever the options
  ArgumentText8,   // one slot: the address of an 8-bit text up to its NUL, or 0
  ArgumentText16,  // one slot: the address of a 16-bit text up to its NUL, or 0
  ArgumentGuid,    // one slot: the address of 16 bytes, or 0
  ArgumentTime,    // one slot: the address of a time record (its first 6 bytes are read), or 0
};
struct ConversionRow {
  uint8_t Letter;
  ConversionArgument Argument;
};
constexpr ConversionRow ConversionTable[] = {
    {'d', ArgumentNumber}, {'u', ArgumentNumber}, {'x', ArgumentNumber}, {'X', ArgumentNumber},
    {'p', ArgumentWord},   {'c', ArgumentWord},   {'r', ArgumentWord},   {'a', ArgumentText8},
    {'s', ArgumentText16}, {'S', ArgumentText16}, {'g', ArgumentGuid},   {'t', ArgumentTime},
};
constexpr uint32_t ConversionCount = sizeof(ConversionTable) / sizeof(ConversionTable[0]);

// The row of Letter, or nullptr when the letter takes no argument.
constexpr const ConversionRow* FindConversion(uint32_t Letter) {
  for (uint32_t row = 0; row < ConversionCount; ++row) {
    if (ConversionTable[row].Letter == Letter) {
      return &ConversionTable[row];
    }
  }
  return nullptr;
}

#endif  // STATUSSINK_PRINT_INTERNAL_H
