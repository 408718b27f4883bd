#include "emu/Symbols.h"

#include <fmt/format.h>

#include <charconv>
#include <filesystem>
#include <optional>
#include <sstream>
#include <stdexcept>

#include "fv/InputFile.h"
#include "fv/Layout.h"

namespace emu {

std::map<uint32_t, std::string> ReadMapSymbols(const std::string& mapPath, std::vector<std::string>* warnings) {
  std::map<uint32_t, std::string> symbols;
  auto warn = [&](const std::string& text) {
    if (warnings != nullptr) warnings->push_back(mapPath + ": " + text);
  };
  std::error_code error;
  if (!std::filesystem::exists(mapPath, error)) return symbols;  // a bare image need not have a map
  std::string text;
  try {
    const std::vector<uint8_t> bytes = fv::ReadInputFile(mapPath, {"linker map", fv::kMaxMapFileBytes});
    text.assign(bytes.begin(), bytes.end());
  } catch (const fv::FvError& e) {
    if (warnings != nullptr) warnings->push_back(std::string(e.what()) + "; no symbol names");
    return symbols;
  }
  auto hex = [](std::string_view text, uint64_t& value) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    return ec == std::errc() && end == text.data() + text.size() && !text.empty();
  };
  std::istringstream in(text);
  std::string line;
  std::optional<uint64_t> preferred;
  size_t unread = 0;
  while (std::getline(in, line)) {
    if (auto at = line.find("Preferred load address is "); at != std::string::npos) {
      uint64_t base = 0;
      std::string_view rest = std::string_view(line).substr(at + 26);
      rest = rest.substr(0, rest.find_first_of(" \r\t"));
      if (!hex(rest, base) || base > UINT32_MAX) {
        warn("the preferred load address cannot be read; no symbol names");
        return {};
      }
      preferred = base;
      continue;
    }
    // " 0001:0000002c       _ModuleEntry      000000000040022c     start_ModuleEntry.cpp.obj"
    std::istringstream fields(line);
    std::string section, name, rvaBase;
    if (!(fields >> section >> name >> rvaBase) || section.size() != 13 || section[4] != ':') continue;
    if (rvaBase.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) continue;  // a section line
    uint64_t address = 0;
    if (!preferred || !hex(rvaBase, address) || address < *preferred || address - *preferred > UINT32_MAX) {
      ++unread;
      continue;
    }
    if (name[0] == '?') name = name.substr(1, name.find('@') - 1);  // C++ name: the identifier before '@'
    else if (name[0] == '_') name = name.substr(1);
    symbols[static_cast<uint32_t>(address - *preferred)] = name;
  }
  if (unread != 0) warn(std::to_string(unread) + " symbol lines cannot be read and are left out");
  return symbols;
}

std::vector<run::CountRange> ReadCountRanges(const std::string& path) {
  const std::vector<uint8_t> bytes = fv::ReadInputFile(path, {"count range list", fv::kMaxRangeFileBytes});
  std::istringstream in(std::string(bytes.begin(), bytes.end()));
  std::vector<run::CountRange> ranges;
  std::string line;
  for (size_t number = 1; std::getline(in, line); ++number) {
    std::istringstream fields(line);
    std::string start, end;
    if (!(fields >> start) || start[0] == '#') continue;
    auto offset = [&](std::string text, const char* what) {
      if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text = text.substr(2);
      uint32_t value = 0;
      const auto [stop, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
      if (text.empty() || ec != std::errc() || stop != text.data() + text.size())
        throw std::invalid_argument(fmt::format("{}:{}: the {} offset is not a 32-bit hexadecimal number", path, number, what));
      return value;
    };
    if (!(fields >> end)) throw std::invalid_argument(fmt::format("{}:{}: expected START END [NAME]", path, number));
    run::CountRange r{offset(start, "start"), offset(end, "end"), ""};
    std::getline(fields >> std::ws, r.name);
    ranges.push_back(std::move(r));
  }
  return ranges;
}

}  // namespace emu

