// The engine's edge cases as one table, shared by the exact-output tests and
// the truncation test. Every row is a call of FormatToBuffer with a packed
// argument list; the expected text is written with 8-bit characters, and for
// 16-bit output each becomes a 2-byte character with a zero high byte.
#ifndef STATUSSINK_FORMAT_CASES_H
#define STATUSSINK_FORMAT_CASES_H

#include <cstdint>
#include <string>
#include <vector>

#include "print/Print.h"

struct FormatCase {
  std::string Format;           // 8-bit; widened to 16 bits with FormatWide
  std::vector<uint32_t> Slots;  // the packed argument list
  std::string Expected;         // output before the NUL, as 8-bit characters
  uint32_t Count;               // the engine's result
  uint32_t Flags = 0;
  uint32_t BufferSize = 64;     // in characters
  bool NullBuffer = false;
  bool NarrowOnly = false;      // 16-bit output would differ from the widened text
};

// A pointer argument as its 32-bit slot.
inline uint32_t Slot(const void* Pointer) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(Pointer));
}

// A 64-bit argument as its two slots, low half first.
inline std::vector<uint32_t> Slots64(uint64_t Value) {
  return {static_cast<uint32_t>(Value), static_cast<uint32_t>(Value >> 32)};
}

// A row whose result is the length of its output.
inline FormatCase Row(std::string Format, std::vector<uint32_t> Slots, std::string Expected) {
  uint32_t Count = static_cast<uint32_t>(Expected.size());
  return FormatCase{std::move(Format), std::move(Slots), std::move(Expected), Count};
}

// Rows about the main loop, line breaks, text conversions and the buffer.
const std::vector<FormatCase>& EngineCases();

// Rows about numbers, GUIDs, times and status values.
const std::vector<FormatCase>& ConversionCases();

// Runs one row into a buffer of Row.BufferSize characters (or a null buffer)
// with ExtraFlags | Row.Flags, guarded on both sides; returns the result and
// puts the bytes written before the NUL into Text. Fails the current test if
// a byte past the buffer changes, if a call that must write nothing (rejected
// or count-only) writes anything, or if the NUL is missing.
uint32_t RunCase(const FormatCase& Row, uint32_t ExtraFlags, uint32_t BufferSize, std::string* Text,
                 bool UseVariableList = false);

// The expected bytes of a row's output at the given output width.
std::string ExpectedBytes(const FormatCase& Row, bool Wide);

#endif  // STATUSSINK_FORMAT_CASES_H
