#include "scenario/ModuleTable.h"

#include <cstdio>

namespace scenario {
namespace {

constexpr Guid MakeGuid(const EFI_GUID& g) {
  return {static_cast<uint8_t>(g.Data1), static_cast<uint8_t>(g.Data1 >> 8), static_cast<uint8_t>(g.Data1 >> 16),
          static_cast<uint8_t>(g.Data1 >> 24), static_cast<uint8_t>(g.Data2), static_cast<uint8_t>(g.Data2 >> 8),
          static_cast<uint8_t>(g.Data3), static_cast<uint8_t>(g.Data3 >> 8), g.Data4[0], g.Data4[1], g.Data4[2],
          g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]};
}

const ModuleRow kModules[] = {
#define CALLER_MODULE(Name, D1, D2, D3, B0, B1, B2, B3, B4, B5, B6, B7, Code) \
  {#Name, MakeGuid(EFI_GUID{D1, D2, D3, {B0, B1, B2, B3, B4, B5, B6, B7}}), Code},
#include "postcode/CallerModules.inc"
#undef CALLER_MODULE
};

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

Guid ToGuid(const EFI_GUID& guid) { return MakeGuid(guid); }

std::span<const ModuleRow> Modules() { return kModules; }

const ModuleRow* FindModuleByName(std::string_view name) {
  for (const ModuleRow& row : kModules)
    if (row.name == name) return &row;
  return nullptr;
}

const ModuleRow* FindModuleByGuid(const Guid& guid) {
  for (const ModuleRow& row : kModules)
    if (row.guid == guid) return &row;
  return nullptr;
}

std::vector<std::string_view> ModulesWithBaseCode(uint8_t code) {
  std::vector<std::string_view> names;
  for (const ModuleRow& row : kModules)
    if (row.baseCode == code) names.push_back(row.name);
  return names;
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
      const int hi = HexDigit(text[at]), lo = HexDigit(text[at + 1]);
      if (hi < 0 || lo < 0) return std::nullopt;
      bigEndian[out++] = static_cast<uint8_t>(hi * 16 + lo);
    }
  }
  // The first three groups are little-endian numbers in memory.
  return Guid{bigEndian[3], bigEndian[2], bigEndian[1], bigEndian[0], bigEndian[5], bigEndian[4],
              bigEndian[7], bigEndian[6], bigEndian[8], bigEndian[9], bigEndian[10], bigEndian[11],
              bigEndian[12], bigEndian[13], bigEndian[14], bigEndian[15]};
}

std::string FormatGuid(const Guid& g) {
  char text[40];
  std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", g[3], g[2],
                g[1], g[0], g[5], g[4], g[7], g[6], g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15]);
  return text;
}

}  // namespace scenario
