#include "emu/PostCodeDecode.h"

#include <fmt/format.h>

#include "scenario/ModuleTable.h"
#include "postcode/PostCode.h"

namespace emu {

PostCodeMeaning DecodePostCode(uint32_t code) {
  PostCodeMeaning m;
  m.code = static_cast<uint16_t>(code);
  if (code > 0xFFFF) {
    m.lines.push_back(fmt::format("0x{:X} is wider than a 16-bit POST code", code));
    return m;
  }
  const uint8_t base = code & 0xFF;
  const uint32_t flags = code & 0xFF00;
  for (const ValuePostCodeRow& row : ValuePostCodeTable)
    if (row.PostCode == code)
      m.lines.push_back(fmt::format("status code value 0x{:08X} (class 0x{:02X}, subclass 0x{:02X}, operation 0x{:04X})",
                                    row.Value, row.Value >> 24, (row.Value >> 16) & 0xFF, row.Value & 0xFFFF));
  const char* what = flags == PostCodeFlagBegin ? "begins"
                     : flags == PostCodeFlagEnd ? "ends"
                     : flags == PostCodeFlagPush ? "nested level begins"
                     : flags == 0 ? "reports progress"
                                  : nullptr;
  const auto names = scenario::ModulesWithBaseCode(base);
  if (what == nullptr) {
    m.lines.push_back(fmt::format("bits 0x{:04X} are not flags the module sets (0x100 begins, 0x200 ends, "
                                  "0xC00 nested level)",
                                  flags));
  } else if (!names.empty()) {
    std::string list;
    for (std::string_view n : names) list += (list.empty() ? "" : ", ") + std::string(n);
    m.lines.push_back(fmt::format("module with base code 0x{:02X} {}: {}{}", base, what,
                                  names.size() > 1 ? fmt::format("one of {} modules: ", names.size()) : "", list));
  }
  return m;
}

}  // namespace emu
