#include "emu/PostCodeDecode.h"

#include <fmt/format.h>

#include "postcode/PostCode.h"
#include "scenario/ModuleTable.h"

namespace emu {
namespace {

constexpr uint32_t kFlags[] = {PostCodeFlagBegin, PostCodeFlagEnd, PostCodeFlagPush};
constexpr int kBlinkWords = 4;  // the blink loop rotates its 32-bit code a byte a word

// Every code a handler translates a report into, as it writes it: the value
// table's, and each module base code with each flag.
std::vector<uint32_t> TranslatedCodes() {
  std::vector<uint32_t> codes;
  for (const ValuePostCodeRow& row : ValuePostCodeTable) codes.push_back(row.PostCode);
  std::vector<bool> seen(256);
  for (const scenario::ModuleRow& row : scenario::Modules()) {
    if (seen[row.baseCode]) continue;
    seen[row.baseCode] = true;
    for (uint32_t flag : kFlags) codes.push_back(flag | row.baseCode);
  }
  return codes;
}

// Word `word` (0 is the code itself) of the blink cycle of `code`, as port 0x80 receives it.
uint16_t BlinkWord(uint32_t code, int word) {
  const int shift = 8 * word;
  return static_cast<uint16_t>(shift == 0 ? code : code << shift | code >> (32 - shift));
}

std::string Listed(const std::vector<uint32_t>& codes) {
  const uint32_t high = codes.front() & 0xFF00;
  bool sameHigh = true;
  for (uint32_t c : codes) sameHigh = sameHigh && (c & 0xFF00) == high;
  if (codes.size() > 4 && sameHigh) return fmt::format("any of the {} codes 0x{:02X}XX it writes", codes.size(), high >> 8);
  std::string list;
  for (size_t i = 0; i < codes.size(); ++i)
    list += fmt::format("{}0x{:04X}", i == 0 ? "" : i + 1 == codes.size() ? " or " : ", ", codes[i]);
  return list;
}

}  // namespace

PostCodeMeaning DecodePostCode(uint32_t code) {
  PostCodeMeaning m;
  m.code = code;
  if (code > 0xFFFF) {
    m.lines.push_back(fmt::format("0x{:X} is wider than a 16-bit POST code", code));
    return m;
  }
  const uint8_t base = code & 0xFF;
  const uint32_t flags = code & 0xFF00;
  const auto names = scenario::ModulesWithBaseCode(base);
  std::string modules;
  for (std::string_view n : names) modules += (modules.empty() ? "" : ", ") + std::string(n);
  if (names.size() > 1) modules = fmt::format("one of {} modules: {}", names.size(), modules);

  for (const ValuePostCodeRow& row : ValuePostCodeTable)
    if (row.PostCode == code)
      m.lines.push_back(fmt::format("status code value 0x{:08X} (class 0x{:02X}, subclass 0x{:02X}, operation 0x{:04X})",
                                    row.Value, row.Value >> 24, (row.Value >> 16) & 0xFF, row.Value & 0xFFFF));
  const char* what = flags == PostCodeFlagBegin ? "begins"
                     : flags == PostCodeFlagEnd ? "ends"
                     : flags == PostCodeFlagPush ? "nested level begins"
                                                 : nullptr;
  if (what != nullptr && !names.empty())
    m.lines.push_back(fmt::format("module with base code 0x{:02X} {}: {}", base, what, modules));

  const std::vector<uint32_t> translated = TranslatedCodes();
  for (int word = 1; word < kBlinkWords; ++word) {
    std::vector<uint32_t> from;
    for (uint32_t c : translated)
      if (BlinkWord(c, word) == code) from.push_back(c);
    if (from.size() == translated.size())
      m.lines.push_back(fmt::format("word {} of every blink cycle that follows an unrecoverable error", word + 1));
    else if (!from.empty())
      m.lines.push_back(fmt::format("word {} of the blink cycle that follows an unrecoverable error reported with {}",
                                    word + 1, Listed(from)));
  }
  m.written = !m.lines.empty();
  if (m.written) return m;

  // Why nothing writes it, where that can be told.
  if (flags != 0 && what == nullptr)
    m.lines.push_back(fmt::format("bits 0x{:04X} are not flags the module sets (0x100 begins, 0x200 ends, "
                                  "0xC00 nested level)",
                                  flags));
  else if (!names.empty())
    m.lines.push_back(fmt::format("0x{:02X} is the base code of {}, written only with a flag (0x100 begins, 0x200 "
                                  "ends, 0xC00 nested level)",
                                  base, modules));
  return m;
}

}  // namespace emu
