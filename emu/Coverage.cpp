#include "emu/Coverage.h"

#include <algorithm>
#include <charconv>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>

#include <fmt/format.h>

#include "fv/InputFile.h"

namespace emu {
namespace {

// A block map lists every block of an image of at most 16 MiB in a few dozen bytes each.
constexpr fv::InputKind kBlockMapFile{"block map", 64u << 20};

uint32_t Hex(std::string_view text, const std::string& where) {
  uint32_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size())
    throw std::runtime_error(where + ": '" + std::string(text) + "' is not a hexadecimal number");
  return value;
}

uint32_t Decimal(std::string_view text, const std::string& where) {
  uint32_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 10);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size())
    throw std::runtime_error(where + ": '" + std::string(text) + "' is not a number");
  return value;
}

std::string LinesText(const BlockMap& map, const BlockMap::Block& block) {
  std::string text;
  for (const BlockMap::Line& l : block.lines) {
    const std::string& file = map.files[l.file];
    const std::string base = file.substr(file.rfind('/') + 1);
    text += (text.empty() ? "" : ", ") + base + ":" + std::to_string(l.line);
  }
  return text.empty() ? "(no source line)" : text;
}

}  // namespace

std::string BlockMapPathFor(const std::string& imageOrVolume) {
  const auto slash = imageOrVolume.rfind('/');
  const auto dot = imageOrVolume.rfind('.');
  const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  return (hasExtension ? imageOrVolume.substr(0, dot) : imageOrVolume) + ".blocks";
}

BlockMap ReadBlockMap(const std::string& path) {
  const std::vector<uint8_t> bytes = fv::ReadInputFile(path, kBlockMapFile);
  std::istringstream in(std::string(bytes.begin(), bytes.end()));
  BlockMap map;
  map.path = path;
  bool haveImage = false;
  std::string line;
  for (size_t number = 1; std::getline(in, line); ++number) {
    const std::string where = path + ":" + std::to_string(number);
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string kind;
    fields >> kind;
    std::vector<std::string> f;
    for (std::string word; fields >> word;) f.push_back(word);
    if (kind == "image" && f.size() == 4) {
      map.sizeOfImage = Hex(f[0], where), map.entryRva = Hex(f[1], where);
      map.codeStart = Hex(f[2], where), map.codeEnd = Hex(f[3], where);
      if (map.codeStart >= map.codeEnd || map.codeEnd > map.sizeOfImage)
        throw std::runtime_error(where + ": the code does not lie inside the image");
      haveImage = true;
    } else if (kind == "file" && f.size() >= 2) {
      if (Decimal(f[0], where) != map.files.size()) throw std::runtime_error(where + ": files out of order");
      map.files.push_back(line.substr(line.find(f[1], line.find(f[0]) + f[0].size())));
    } else if (kind == "function" && f.size() == 3 && haveImage) {
      BlockMap::Function fn{Hex(f[0], where), Hex(f[1], where), f[2]};
      const uint32_t after = map.functions.empty() ? map.codeStart : map.functions.back().end;
      if (fn.start != after || fn.end <= fn.start || fn.end > map.codeEnd)
        throw std::runtime_error(where + ": function " + fn.name + " does not follow the one before it inside the code");
      map.functions.push_back(std::move(fn));
    } else if (kind == "block" && f.size() == 3 && !map.functions.empty()) {
      BlockMap::Block b{Hex(f[0], where), Hex(f[1], where), 0, {}};
      const uint32_t after = map.blocks.empty() ? map.codeStart : map.blocks.back().end;
      if (b.start != after || b.end <= b.start) throw std::runtime_error(where + ": the blocks do not tile the code");
      while (b.function < map.functions.size() && map.functions[b.function].end <= b.start) ++b.function;
      if (b.function == map.functions.size() || b.end > map.functions[b.function].end)
        throw std::runtime_error(where + ": the block runs over the end of its function");
      if (f[2] != "-") {
        std::istringstream list(f[2]);
        for (std::string item; std::getline(list, item, ',');) {
          const auto colon = item.find(':');
          if (colon == std::string::npos) throw std::runtime_error(where + ": '" + item + "' is not FILE:LINE");
          BlockMap::Line l{Decimal(item.substr(0, colon), where), Decimal(item.substr(colon + 1), where)};
          if (l.file >= map.files.size()) throw std::runtime_error(where + ": no file " + std::to_string(l.file));
          b.lines.push_back(l);
        }
      }
      map.blocks.push_back(std::move(b));
    } else {
      throw std::runtime_error(where + ": not a line of a block map");
    }
  }
  if (!haveImage || map.blocks.empty() || map.blocks.back().end != map.codeEnd)
    throw std::runtime_error(path + ": the block map does not cover the image's code");
  return map;
}

void CoveredBytes::Add(const std::vector<std::pair<uint32_t, uint32_t>>& blocks) {
  for (const auto& [start, size] : blocks) {
    if (start >= ran_.size()) continue;
    const uint32_t end = static_cast<uint32_t>(std::min<uint64_t>(uint64_t{start} + size, ran_.size()));
    std::fill(ran_.begin() + start, ran_.begin() + end, uint8_t{1});
  }
}

CoverageReport Summarize(const BlockMap& map, const CoveredBytes& covered) {
  CoverageReport report;
  for (const BlockMap::Function& f : map.functions) report.functions.push_back({f.name, f.start, f.end, 0, 0});
  for (size_t i = 0; i < map.blocks.size(); ++i) {
    const BlockMap::Block& b = map.blocks[i];
    FunctionCoverage& fn = report.functions[b.function];
    ++fn.blocks, ++report.blocks;
    if (covered.Ran(b.start))
      ++fn.reached, ++report.reached;
    else
      report.missed.push_back(i);
  }
  return report;
}

std::string CoverageText(const BlockMap& map, const CoverageReport& report) {
  const auto percent = [](size_t part, size_t whole) { return whole == 0 ? 0.0 : 100.0 * part / whole; };
  size_t width = 5;
  for (const FunctionCoverage& f : report.functions) width = std::max(width, f.name.size());
  std::string out = fmt::format("{:<{}}  {:>13}  {:>7}  {:>7}\n", "function", width, "range", "blocks", "reached");
  for (const FunctionCoverage& f : report.functions)
    out += fmt::format("{:<{}}  {:>#6x}..{:<#6x}  {:>3}/{:<3}  {:>6.1f}%\n", f.name, width, f.start, f.end, f.reached,
                       f.blocks, percent(f.reached, f.blocks));
  out += fmt::format("{:<{}}  {:>13}  {:>3}/{:<3}  {:>6.1f}%\n", "total", width, "", report.reached, report.blocks,
                     percent(report.reached, report.blocks));
  if (!report.missed.empty()) {
    out += fmt::format("\nblocks no run reached ({}):\n", report.missed.size());
    for (const size_t i : report.missed) {
      const BlockMap::Block& b = map.blocks[i];
      out += fmt::format("  {:<{}}  {:#06x}..{:#06x}  {}\n", map.functions[b.function].name, width, b.start, b.end,
                         LinesText(map, b));
    }
  }
  return out;
}

void WriteLcov(std::ostream& out, const BlockMap& map, const CoveredBytes& covered, const std::string& testName) {
  struct FileLines {
    std::map<uint32_t, bool> lines;  // line: hit
    std::vector<std::pair<size_t, bool>> functions;  // function index, hit
  };
  std::map<uint32_t, FileLines> files;
  std::vector<bool> functionSeen(map.functions.size(), false);
  std::vector<uint32_t> firstLine(map.functions.size(), 0);  // the first line of the function's first block
  for (const BlockMap::Block& b : map.blocks) {
    const bool hit = covered.Ran(b.start);
    for (const BlockMap::Line& l : b.lines) {
      bool& lineHit = files[l.file].lines[l.line];
      lineHit = lineHit || hit;
    }
    // A function belongs to the file of its first block's first line.
    if (!functionSeen[b.function] && !b.lines.empty() && map.functions[b.function].start == b.start) {
      functionSeen[b.function] = true;
      firstLine[b.function] = b.lines.front().line;
      files[b.lines.front().file].functions.emplace_back(b.function, hit);
    }
  }
  for (const auto& [file, f] : files) {
    out << "TN:" << testName << "\nSF:" << map.files[file] << "\n";
    size_t functionsHit = 0;
    for (const auto& [index, hit] : f.functions)
      out << "FN:" << firstLine[index] << "," << map.functions[index].name << "\n";
    for (const auto& [index, hit] : f.functions) {
      out << "FNDA:" << (hit ? 1 : 0) << "," << map.functions[index].name << "\n";
      functionsHit += hit ? 1 : 0;
    }
    out << "FNF:" << f.functions.size() << "\nFNH:" << functionsHit << "\n";
    size_t linesHit = 0;
    for (const auto& [line, hit] : f.lines) {
      out << "DA:" << line << "," << (hit ? 1 : 0) << "\n";
      linesHit += hit ? 1 : 0;
    }
    out << "LF:" << f.lines.size() << "\nLH:" << linesHit << "\nend_of_record\n";
  }
}

}  // namespace emu
