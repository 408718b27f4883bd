#include "emu/Render.h"

#include <fmt/format.h>

#include <charconv>
#include <filesystem>
#include <sstream>

#include "fv/InputFile.h"
#include "postcode/PostCode.h"

namespace emu {
namespace {

using Json = nlohmann::ordered_json;

using scenario::HandlerName;
using scenario::Hex32;
using scenario::SymbolAt;

// Text as a terminal may safely be sent it: printable ASCII, CR, LF and TAB
// as they are, any other byte as \xNN, so a board's garbage never reaches
// the terminal as a control sequence.
std::string Printable(const std::string& text) {
  std::string out;
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '\r' || c == '\n' || c == '\t' || (c >= 0x20 && c < 0x7F))
      out += ch;
    else
      out += fmt::format("\\x{:02X}", c);
  }
  if (!out.empty() && out.back() != '\n' && out.back() != '\r') out += '\n';
  return out;
}

// The module GUID a report names: the data record's first word points at it,
// or, without data, the caller GUID.
std::optional<scenario::Guid> ReportModule(const scenario::Report& r) {
  if (r.data) {
    for (const auto& f : r.data->fixups)
      if (f.at == sizeof(EFI_STATUS_CODE_DATA) && r.data->kind == "specific" && f.target + 16 <= r.data->bytes.size()) {
        scenario::Guid g;
        std::copy_n(r.data->bytes.begin() + f.target, 16, g.begin());
        return g;
      }
    return std::nullopt;
  }
  return r.caller;
}

// A code of the module's table of fixed codes (PEI core checkpoints).
bool IsFixedCode(uint8_t code) {
  for (const ValuePostCodeRow& row : ValuePostCodeTable)
    if (row.PostCode == code) return true;
  return false;
}

class PostCodeNamer {
 public:
  std::string Describe(uint16_t code, const scenario::Report& r) {
    const uint8_t base = code & 0xFF;
    const uint16_t flags = code & 0xF00;
    std::string what = flags == PostCodeFlagBegin  ? "begins"
                       : flags == PostCodeFlagEnd  ? "ends"
                       : flags == PostCodeFlagPush ? "nested level"
                                                   : "";
    std::string name;
    if (auto g = ReportModule(r)) {
      if (const scenario::ModuleRow* row = scenario::FindModuleByGuid(*g); row != nullptr && row->baseCode == base)
        name = std::string(row->name);
    }
    if (name.empty()) {
      if (auto it = seen_.find(code); it != seen_.end()) return it->second + " (shown again)";
      if (flags == 0 && IsFixedCode(base)) return fmt::format("PEI core checkpoint (value {})", Hex32(r.value));
      const auto names = scenario::ModulesWithBaseCode(base);
      if (names.empty()) return "";
      name = names.size() == 1 ? std::string(names[0]) : fmt::format("one of {} modules with base 0x{:02X}", names.size(), base);
    }
    std::string text = what.empty() ? name : name + " " + what;
    seen_[code] = text;
    return text;
  }

 private:
  std::map<uint16_t, std::string> seen_;
};

// A row standing for alike deliveries of a repeated report says how many.
std::string Repeated(const DeliveredReport& d) {
  return d.repeat == 1 ? "" : fmt::format("  (x{}: reports {} to {} alike)", d.repeat, d.index, d.index + d.repeat - 1);
}

std::string TypeName(uint32_t type) {
  switch (type & EFI_STATUS_CODE_TYPE_MASK) {
    case EFI_PROGRESS_CODE: return "progress";
    case EFI_ERROR_CODE:
      return (type & EFI_STATUS_CODE_SEVERITY_MASK) == EFI_ERROR_UNRECOVERED ? "error (unrecovered)" : "error";
    case EFI_DEBUG_CODE: return "debug";
    default: return "type " + Hex32(type);
  }
}

}  // namespace

std::string PrintableText(const std::string& text) { return Printable(text); }

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

std::vector<scenario::CountRange> ReadCountRanges(const std::string& path) {
  const std::vector<uint8_t> bytes = fv::ReadInputFile(path, {"count range list", fv::kMaxRangeFileBytes});
  std::istringstream in(std::string(bytes.begin(), bytes.end()));
  std::vector<scenario::CountRange> ranges;
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
    scenario::CountRange r{offset(start, "start"), offset(end, "end"), ""};
    std::getline(fields >> std::ws, r.name);
    ranges.push_back(std::move(r));
  }
  return ranges;
}

std::string ToText(const RunResult& run, const RenderContext& ctx) {
  std::string out;
  const scenario::Scenario& s = *run.scenario;
  auto heading = [&](const std::string& title) { out += "\n== " + title + " ==\n"; };
  // Long tables: the first and last rows, with a marker for what is left out.
  auto rows = [&](size_t count, const std::function<void(size_t)>& row) {
    const size_t half = ctx.maxRows / 2;
    for (size_t i = 0; i < count; ++i) {
      if (count > ctx.maxRows && i == half) {
        out += fmt::format("  ... {} rows not shown ...\n", count - 2 * half);
        i = count - half;
      }
      row(i);
    }
  };

  if (run.dispatch.empty()) {
    out += fmt::format("StatusSinkPei.efi: {} ({} bytes), placed at {} ({} relocations applied), entry {}\n",
                       run.imagePath, run.imageFileSize, Hex32(run.imageBase), run.relocations,
                       Hex32(run.entryPoint));
  } else {
    out += fmt::format("StatusSinkPei.fv: {} ({} bytes), run in place ({} image, RVA 0 at {}, entry {}, "
                       "nothing relocated)\n",
                       run.imagePath, run.imageFileSize, run.imageFormat, Hex32(run.imageBase), Hex32(run.entryPoint));
    for (const std::string& step : run.dispatch) out += "  " + step + "\n";
  }
  out += fmt::format("Scenario: {}{}{} ({} reports)\n", s.name.empty() ? s.path : s.name,
                     s.description.empty() ? "" : " - ", s.description, s.DeliveryCount());
  out += fmt::format("Entry returned {}; handlers registered: ",
                     run.entry.status ? Hex32(*run.entry.status) : "nothing (" + run.entry.stopped + ")");
  for (size_t h = 0; h < run.handlers.size(); ++h) out += (h ? ", " : "") + HandlerName(ctx, run, h);
  out += run.handlers.empty() ? "none\n" : "\n";

  heading("Serial console (I/O 0x3F8)");
  out += run.outputs.serial.empty() ? "(nothing)\n" : Printable(run.outputs.serial);
  heading("Memory-mapped serial controller");
  out += run.outputs.mmioSerial.empty() ? "(nothing)\n" : Printable(run.outputs.mmioSerial);

  heading("POST codes (port 0x80)");
  {
    struct Row {
      const DeliveredReport* delivered;
      uint16_t code;
      std::string meaning;
    };
    std::vector<Row> table;
    PostCodeNamer namer;
    for (const DeliveredReport& d : run.reports)
      for (const CallResult& c : d.calls)
        for (uint16_t code : c.postcodes) table.push_back({&d, code, namer.Describe(code, *d.report)});
    if (table.empty()) out += "(nothing)\n";
    rows(table.size(), [&](size_t i) {
      out += fmt::format("  report {:>4}  {:04X}  {}{}\n", table[i].delivered->index, table[i].code, table[i].meaning,
                         Repeated(*table[i].delivered));
    });
    out += fmt::format("  {} writes in all\n", run.postcodeWrites);
  }

  heading(fmt::format("Memory log (0x70000): header {}, next offset 0x{:04X}, wrap count {}",
                      Hex32(run.outputs.memoryLogHeader), run.outputs.memoryLogHeader & 0xFFFF,
                      run.outputs.memoryLogHeader >> 16));
  {
    // After a wrap the whole text area is the log; bytes never written read as NUL and are left out here.
    std::string text;
    size_t nul = 0;
    for (char c : run.outputs.memoryLogText) (c == '\0' ? ++nul : (text += c, 0));
    if (nul != 0) out += fmt::format("({} NUL bytes left out)\n", nul);
    out += text.empty() ? "(empty)\n" : Printable(text);
  }

  heading("POST code stack HOB");
  if (run.stackHobs.empty()) out += "(the module created no HOB)\n";
  for (const auto& [address, st] : run.stackHobs) {
    out += fmt::format("  at {}: signature {} ({}), depth {}\n", Hex32(address), Hex32(st.signature),
                       st.signature == PostCodeStackSignature ? "pcs0" : "not pcs0", st.depth);
    for (unsigned k = 0; k <= std::min<unsigned>(st.depth, 9); ++k)
      out += fmt::format("    Codes[{}] = {}\n", k, Hex32(st.codes[k]));
  }

  heading("Handler results per report");
  out += "  report  type                 value       instance  results\n";
  rows(run.reports.size(), [&](size_t i) {
    const DeliveredReport& d = run.reports[i];
    std::string results;
    for (size_t h = 0; h < d.calls.size(); ++h) {
      const CallResult& c = d.calls[h];
      const std::string inRanges =
          run.countRanges.empty() ? "" : fmt::format(", {} in count ranges", c.rangeInstructions);
      results += fmt::format("{}{}={} ({} instr{}, {} B stack)", h ? "  " : "", HandlerName(ctx, run, h),
                             c.status ? Hex32(*c.status) : "stopped: " + c.stopped, c.instructions, inRanges,
                             c.stackBytes);
    }
    out += fmt::format("  {:>6}  {:<19}  {}  {:>8}  {}{}\n", d.index, TypeName(d.report->type), Hex32(d.report->value),
                       d.report->instance, results.empty() ? "(no handler registered)" : results, Repeated(d));
  });

  if (run.halt) {
    const Halt& h = *run.halt;
    heading("Halted");
    // The entry stops the boot before any report is delivered.
    const bool inEntry = run.reports.empty() && !run.entry.stopped.empty();
    out += fmt::format("  {} in {}, after {} instructions and {} port 0x80 writes\n", h.reason,
                       inEntry ? std::string("the entry point")
                               : fmt::format("{} during report {}", HandlerName(ctx, run, h.handler), h.report),
                       h.instructions, h.portWrites);
    if (!h.cycle.empty()) out += "  cycle: " + scenario::CycleText(h.cycle) + ", then again\n";
    if (run.Delivered() < s.DeliveryCount())
      out += fmt::format("  {} later reports were not delivered\n", s.DeliveryCount() - run.Delivered());
  }

  heading(fmt::format("Faults ({})", run.faults.size() + run.faultsNotListed));
  if (run.faults.empty())
    out += "(none: the image was never written, no write left the allowed regions, no read went past a record)\n";
  for (const Fault& f : run.faults)
    out += fmt::format("  {} at {} (width {}, value {:#x}) by {} in {}, {}{}\n", f.kind, Hex32(f.address), f.width,
                       f.value, Hex32(f.eip), SymbolAt(ctx, run, f.eip), f.during, f.detail.empty() ? "" : ": " + f.detail);
  if (run.faultsNotListed != 0) out += fmt::format("  ... and {} more faults, not listed\n", run.faultsNotListed);

  heading("Statistics");
  out += fmt::format("  reports delivered {} of {}; instructions {}; I/O accesses {}; device memory accesses {}\n",
                     run.Delivered(), s.DeliveryCount(), run.instructions, run.ioAccesses, run.mmioAccesses);
  out += fmt::format("  entry: {} instructions, {} bytes of stack\n", run.entry.instructions, run.entry.stackBytes);
  if (!run.countRanges.empty()) {
    out += fmt::format("  count ranges: {} instructions of {} executed in them:", run.rangeInstructions, run.instructions);
    for (const scenario::CountRange& r : run.countRanges)
      out += fmt::format(" {:#x}..{:#x}{}", r.start, r.end, r.name.empty() ? "" : " " + r.name);
    out += "\n";
    for (const std::string& crossing : run.countRangeCrossings) out += "  count ranges NOT EXACT: " + crossing + "\n";
  }
  for (size_t h = 0; h < run.handlerStats.size(); ++h) {
    const HandlerStats& hs = run.handlerStats[h];
    out += fmt::format("  {}: {} calls, {} instructions ({} per call on average, at most {}), deepest stack {} bytes\n",
                       HandlerName(ctx, run, h), hs.calls, hs.instructions, hs.calls ? hs.instructions / hs.calls : 0,
                       hs.maxInstructions, hs.maxStackBytes);
  }
  if (run.dispatch.empty())
    out += fmt::format("  image: {} bytes in the file, {} bytes mapped; {}\n", run.imageFileSize, run.imageSize,
                       run.imageIntact ? "never written" : "CHANGED during the run");
  else
    out += fmt::format("  volume: {} bytes mapped, {} image of {} bytes in it; {}\n", run.imageFileSize,
                       run.imageFormat, run.imageSize, run.imageIntact ? "never written" : "CHANGED during the run");
  return out;
}

}  // namespace emu
