#include "hostlib/Text.h"

#include <charconv>
#include <cstdio>

namespace hostlib {

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

std::string Hex32(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%08llX", static_cast<unsigned long long>(value));
  return text;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<uint8_t> HexByte(char high, char low) {
  const int h = HexDigit(high), l = HexDigit(low);
  if (h < 0 || l < 0) return std::nullopt;
  return static_cast<uint8_t>(h << 4 | l);
}

ParsedNumber ParseNumber(std::string_view text, bool plainIsHex) {
  const bool prefixed = text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const std::string_view digits = prefixed ? text.substr(2) : text;
  const bool hex = prefixed || plainIsHex;
  if (digits.empty()) return {0, prefixed ? NumberProblem::NotDigits : NumberProblem::Empty};
  // from_chars takes a '-' for signed types only and never a '+', a space or
  // a prefix, but a hexadecimal digit must still be checked for: it stops
  // at the first character it cannot read, and the whole text must be read.
  for (char c : digits)
    if (hex ? HexDigit(c) < 0 : !(c >= '0' && c <= '9')) return {0, NumberProblem::NotDigits};
  if (!hex && digits.size() > 1 && digits[0] == '0') return {0, NumberProblem::LeadingZero};
  ParsedNumber parsed;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), parsed.value, hex ? 16 : 10);
  if (error == std::errc::result_out_of_range) return {0, NumberProblem::TooLarge};
  if (error != std::errc() || end != digits.data() + digits.size()) return {0, NumberProblem::NotDigits};
  return parsed;
}

std::string_view Describe(NumberProblem problem) {
  switch (problem) {
    case NumberProblem::None: return "is a number";
    case NumberProblem::Empty: return "is empty";
    case NumberProblem::NotDigits: return "is not a number (decimal, or hexadecimal after one 0x)";
    case NumberProblem::LeadingZero: return "has a leading zero (octal is not read: write it in decimal or after 0x)";
    case NumberProblem::TooLarge: return "is too large";
  }
  return "is not a number";
}

std::optional<Guid> ParseGuid(std::string_view text) {
  // Field lengths of the registry form, in hex digits.
  static constexpr int kGroups[] = {8, 4, 4, 4, 12};
  if (text.size() != 36) return std::nullopt;
  std::array<uint8_t, 16> bigEndian{};
  size_t at = 0;
  int out = 0;
  for (int g = 0; g < 5; ++g) {
    if (g > 0) {
      if (text[at] != '-') return std::nullopt;
      ++at;
    }
    for (int k = 0; k < kGroups[g]; k += 2, at += 2) {
      const std::optional<uint8_t> byte = HexByte(text[at], text[at + 1]);
      if (!byte) return std::nullopt;
      bigEndian[out++] = *byte;
    }
  }
  // The first three groups are little-endian numbers in memory.
  return Guid{bigEndian[3], bigEndian[2], bigEndian[1], bigEndian[0], bigEndian[5], bigEndian[4],
              bigEndian[7], bigEndian[6], bigEndian[8], bigEndian[9], bigEndian[10], bigEndian[11],
              bigEndian[12], bigEndian[13], bigEndian[14], bigEndian[15]};
}

std::string GuidText(const Guid& g) {
  char text[40];
  std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", g[3], g[2],
                g[1], g[0], g[5], g[4], g[7], g[6], g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15]);
  return text;
}

std::vector<uint8_t> Ucs2(std::string_view text) {
  std::vector<uint8_t> out;
  out.reserve(2 * text.size() + 2);
  for (unsigned char c : text) {
    out.push_back(c);
    out.push_back(0);
  }
  out.push_back(0);
  out.push_back(0);
  return out;
}

}  // namespace hostlib
