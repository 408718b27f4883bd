#include "scenario/ModuleTable.h"

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

}  // namespace scenario
