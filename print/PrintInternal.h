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

#endif  // STATUSSINK_PRINT_INTERNAL_H
