// The module's formatted-print engine and its entry points.
//
// FormatToBuffer reads a NUL-terminated format of 8-bit or 16-bit characters,
// takes its arguments from 4-byte slots (a variable argument list or a packed
// list of the same layout: 64-bit numbers in two slots, low half first,
// pointers as 32-bit addresses) and writes 8-bit or 16-bit characters into
// the caller's buffer, always ending with a NUL; or it only counts them.
// Sizes and counts are in characters of the buffer's width, never in bytes.
//
// Directives: %[options][conversion]
//   options      " " "+" "-" "," "0" width "." precision "*" "l" "L"
//   conversions  a (8-bit string), s S (16-bit string), c (character),
//                d u x X p (numbers, hexadecimal always upper case),
//                g (GUID), t (time), r (status value);
//                any other character prints itself ("%%" prints "%").
// A "\n", "\n\r" or "\r\n" in the format prints CR LF; a lone "\r" prints CR.
#ifndef STATUSSINK_PRINT_H
#define STATUSSINK_PRINT_H

#include <stdint.h>

// The caller's flags and the state of the directive being processed share one
// word. Of the caller's bits only OutputWide, FormatWide and CountOnly count;
// the others are set by the directive's options and conversion.
enum FormatFlags : uint32_t {
  LeftAlign = 0x0001,       // "-": fill after the field instead of before it
  SignPlus = 0x0002,        // "+": non-negative numbers get a "+"
  SignBlank = 0x0004,       // " ": non-negative numbers get a " " ("+" wins)
  GroupThousands = 0x0008,  // ",": "," between groups of three decimal digits
  Value64 = 0x0010,         // "l", "L": the numeric argument takes two slots
  ZeroFill = 0x0020,        // "0" before any "."; implied by X and p
  OutputWide = 0x0040,      // caller: output characters are 2 bytes
  Base16 = 0x0080,          // x, X, p
  FormatWide = 0x0100,      // caller: format characters are 2 bytes
  WidthSet = 0x0200,        // a width was given
  TextWide = 0x0400,        // the text to emit has 2-byte characters
  PrecisionSet = 0x0800,    // "." was given
  DigitsReversed = 0x1000,  // the text is a digit string, least significant first
  CountOnly = 0x2000,       // caller: count the characters, write nothing
  NoSign = 0x4000,          // u: the value is unsigned
};

// Largest buffer size and format length (in characters) that the engine takes.
constexpr uint32_t FormatMaxCharacters = 1000000;

// Bytes of the engine's scratch area: a GUID, time or status text of at most
// 37 characters and its NUL, or a NUL and up to 20 reversed decimal digits.
constexpr uint32_t FormatScratchSize = 38;

// The engine. Returns the characters written before the NUL, or with
// CountOnly the characters the format produces; 0 for a rejected call
// (null format, null buffer, bufferSize 0 or over FormatMaxCharacters,
// format longer than FormatMaxCharacters), which writes nothing at all.
// Arguments come from PackedArgs when it is not null, else from ArgList.
// A string argument is read no further than its field can show: up to the
// precision, up to a right-justified width (to size the fill), and otherwise
// up to its NUL or the end of the buffer; never past FormatMaxCharacters
// characters, so a string longer than that counts as that many (this matters
// only with CountOnly, or with a width or precision above the limit).
uint32_t FormatToBuffer(void* Buffer, uint32_t BufferSize, uint32_t Flags, const void* Format,
                        const uint32_t* ArgList, const uint32_t* PackedArgs);

// 8-bit format into an 8-bit buffer, variable arguments.
uint32_t FormatAscii(char* Buffer, uint32_t BufferSize, const char* Format, ...);

// Like FormatAscii with the caller's flags.
uint32_t FormatWithFlags(void* Buffer, uint32_t BufferSize, uint32_t Flags, const void* Format, ...);

// Writes up to Count copies of Character (its low byte only when CharWidth
// is 1) from Position on, stopping at Limit; returns the position after the
// last character written. A Count of 0 or less writes nothing.
uint8_t* FillCharacters(uint8_t* Position, const uint8_t* Limit, int32_t Count, uint16_t Character,
                        uint32_t CharWidth);

// Characters before the NUL: 0 for a null pointer, FormatMaxCharacters + 1
// for a string longer than FormatMaxCharacters.
uint32_t BoundedAsciiLength(const char* String);
uint32_t BoundedWideLength(const uint16_t* String);

// Writes a NUL at Scratch[0], then the digits of Value in Base (16, or else
// 10) from Scratch[1] on, least significant first, at least one digit.
// Returns the place of the most significant digit; the digit count is the
// returned pointer minus Scratch.
char* ValueToDigits(char* Scratch, uint32_t Base, uint64_t Value);

// Digit characters by value; hexadecimal digits are upper case.
extern const char DigitTable[16];

// Names of the status values: rows 0 to 5 for 0 to 5 (success and warnings),
// rows 6 to 38 for the errors 0x80000001 to 0x80000021. StatusTextOfRow
// gives the name in a row below StatusTextRows.
constexpr uint32_t StatusTextRows = 39;
const char* StatusTextOfRow(uint32_t Row);

#endif  // STATUSSINK_PRINT_H
