// The platform's PEI modules as host tools see them: name, GUID and base POST
// code, taken from the same rows that the image's CallerPostCodeTable is
// built from, so names never drift from what the module looks up.
#ifndef STATUSSINK_SCENARIO_MODULETABLE_H
#define STATUSSINK_SCENARIO_MODULETABLE_H

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "hostlib/Text.h"
#include "include/PiTypes.h"

namespace scenario {

using Guid = hostlib::Guid;

struct ModuleRow {
  std::string_view name;
  Guid guid;
  uint8_t baseCode;
};

// A GUID of the module's headers (include/PiTypes.h) in memory order.
Guid ToGuid(const EFI_GUID& guid);

std::span<const ModuleRow> Modules();
const ModuleRow* FindModuleByName(std::string_view name);
const ModuleRow* FindModuleByGuid(const Guid& guid);
std::vector<std::string_view> ModulesWithBaseCode(uint8_t code);

}  // namespace scenario

#endif
