// The host's one way to write and read hexadecimal, numbers, GUIDs and UCS-2
// text. Every host tool and library uses these, so a number is read and a
// GUID is shown the same way everywhere.
#ifndef STATUSSINK_HOSTLIB_TEXT_H
#define STATUSSINK_HOSTLIB_TEXT_H

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hostlib {

using Guid = std::array<uint8_t, 16>;  // memory order: u32, u16, u16 little endian, then 8 bytes

// "0x1F": sizes, offsets and values in messages.
std::string Hex(uint64_t value);
// "0x0000001F": at least eight digits, as addresses and 32-bit words are shown.
std::string Hex32(uint64_t value);

// The value of one hexadecimal digit (either case), or -1.
int HexDigit(char c);
// Two hexadecimal digits as a byte, or nullopt.
std::optional<uint8_t> HexByte(char high, char low);

// A number as every input writes one: decimal digits, or one "0x" (or "0X")
// and hexadecimal digits; when plainIsHex, digits without the prefix are
// hexadecimal too. No sign, no spaces, no other prefix, and no leading zero
// on a decimal number (C would read "010" as octal 8: rather refused than
// guessed).
enum class NumberProblem { None, Empty, NotDigits, LeadingZero, TooLarge };
struct ParsedNumber {
  uint64_t value = 0;
  NumberProblem problem = NumberProblem::None;
  explicit operator bool() const { return problem == NumberProblem::None; }
};
ParsedNumber ParseNumber(std::string_view text, bool plainIsHex = false);
// What is wrong with a number, for a message: "has a sign", "is too large", ...
std::string_view Describe(NumberProblem problem);

// "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" (either case) to memory order; nullopt if malformed.
std::optional<Guid> ParseGuid(std::string_view text);
// Upper case, registry form.
std::string GuidText(const Guid& guid);

// 8-bit text as UCS-2 (each byte one character, little endian) with its
// 2-byte terminator.
std::vector<uint8_t> Ucs2(std::string_view text);

}  // namespace hostlib

#endif
