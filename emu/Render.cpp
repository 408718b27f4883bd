#include "Render.h"

#include <fmt/format.h>

#include <fstream>
#include <sstream>

#include "Latin1.h"

namespace emu {
namespace {

using Json = nlohmann::ordered_json;

std::string Hex32(uint32_t v) { return fmt::format("0x{:08X}", v); }

std::string SymbolAt(const RenderContext& ctx, const RunResult& run, uint32_t address) {
  const auto it = ctx.symbols.find(address - run.imageBase);
  return it != ctx.symbols.end() ? it->second : Hex32(address);
}

std::string HandlerName(const RenderContext& ctx, const RunResult& run, size_t h) {
  return h < run.handlers.size() ? SymbolAt(ctx, run, run.handlers[h]) : fmt::format("handler {}", h);
}

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
std::optional<tools::Guid> ReportModule(const tools::Report& r) {
  if (r.data) {
    for (const auto& f : r.data->fixups)
      if (f.at == 20 && r.data->kind == "specific" && f.target + 16 <= r.data->bytes.size()) {
        tools::Guid g;
        std::copy_n(r.data->bytes.begin() + f.target, 16, g.begin());
        return g;
      }
    return std::nullopt;
  }
  return r.caller;
}

class PostCodeNamer {
 public:
  std::string Describe(uint16_t code, const tools::Report& r) {
    const uint8_t base = code & 0xFF;
    const uint16_t flags = code & 0xF00;
    std::string what = flags == 0x100 ? "begins" : flags == 0x200 ? "ends" : flags == 0xC00 ? "nested level" : "";
    std::string name;
    if (auto g = ReportModule(r)) {
      if (const tools::ModuleRow* row = tools::FindModuleByGuid(*g); row != nullptr && row->baseCode == base)
        name = std::string(row->name);
    }
    if (name.empty()) {
      if (auto it = seen_.find(code); it != seen_.end()) return it->second + " (shown again)";
      if (flags == 0 && base >= 0xF2) return fmt::format("PEI core checkpoint (value {})", Hex32(r.value));
      const auto names = tools::ModulesWithBaseCode(base);
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

std::string TypeName(uint32_t type) {
  switch (type & 0xFF) {
    case 1: return "progress";
    case 2: return (type & 0xFF000000u) == 0x90000000u ? "error (unrecovered)" : "error";
    case 3: return "debug";
    default: return "type " + Hex32(type);
  }
}

Json StatusJson(const CallResult& c) { return c.status ? Json(*c.status) : Json(nullptr); }

}  // namespace

std::string PrintableText(const std::string& text) { return Printable(text); }

std::map<uint32_t, std::string> ReadMapSymbols(const std::string& mapPath) {
  std::map<uint32_t, std::string> symbols;
  std::ifstream in(mapPath);
  std::string line;
  uint32_t preferred = 0;
  while (std::getline(in, line)) {
    if (auto at = line.find("Preferred load address is "); at != std::string::npos) {
      preferred = static_cast<uint32_t>(std::stoull(line.substr(at + 26), nullptr, 16));
      continue;
    }
    // " 0001:0000002c       _ModuleEntry      000000000040022c     start_ModuleEntry.cpp.obj"
    std::istringstream fields(line);
    std::string section, name, rvaBase;
    if (!(fields >> section >> name >> rvaBase) || section.size() != 13 || section[4] != ':') continue;
    if (rvaBase.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) continue;
    if (name[0] == '?') name = name.substr(1, name.find('@') - 1);  // C++ name: the identifier before '@'
    else if (name[0] == '_') name = name.substr(1);
    symbols[static_cast<uint32_t>(std::stoull(rvaBase, nullptr, 16) - preferred)] = name;
  }
  return symbols;
}

namespace {

// One delivered report as the JSON document shows it.
Json ReportJson(const DeliveredReport& d) {
  Json statuses = Json::array(), stopped = Json::array(), instructions = Json::array(), stack = Json::array();
  std::vector<uint16_t> codes;
  for (const CallResult& c : d.calls) {
    statuses.push_back(StatusJson(c));
    stopped.push_back(c.stopped);
    instructions.push_back(c.instructions);
    stack.push_back(c.stackBytes);
    codes.insert(codes.end(), c.postcodes.begin(), c.postcodes.end());
  }
  return {{"index", d.index},
          {"source", d.report->source},
          {"type", d.report->type},
          {"value", d.report->value},
          {"instance", d.report->instance},
          {"data", d.report->data ? Json(d.report->data->kind) : Json(nullptr)},
          {"data_address", d.report->data ? Json(tools::kReportDataAddress) : Json(nullptr)},
          {"results", statuses},
          {"stopped", stopped},
          {"instructions", instructions},
          {"stack_bytes", stack},
          {"postcodes", codes}};
}

const char* const kResultsMark = "\x01results\x01";
const char* const kReportsMark = "\x01reports\x01";

// The per-report arrays written straight into the text, laid out exactly as
// nlohmann's dump(2) lays out ReportJson's values one level down: a run of
// ten thousand reports would otherwise build (and free) a tree of a few
// hundred thousand nodes.
class ReportStream {
 public:
  explicit ReportStream(std::string& out) : out_(out) {}

  void Results(const std::vector<DeliveredReport>& reports) {
    Array(reports.size(), 1, [&](size_t i, int level) {
      const auto& calls = reports[i].calls;
      Array(calls.size(), level, [&](size_t h, int) { Status(calls[h]); });
    });
  }

  void Reports(const std::vector<DeliveredReport>& reports) {
    Array(reports.size(), 1, [&](size_t i, int level) {
      const DeliveredReport& d = reports[i];
      const auto& calls = d.calls;
      const std::string in(2 * (level + 1), ' ');
      out_ += "{\n";
      Field(in, "index", [&] { Number(d.index); });
      Field(in, "source", [&] { Number(d.report->source); });
      Field(in, "type", [&] { Number(d.report->type); });
      Field(in, "value", [&] { Number(d.report->value); });
      Field(in, "instance", [&] { Number(d.report->instance); });
      Field(in, "data", [&] { out_ += d.report->data ? Json(d.report->data->kind).dump() : "null"; });
      Field(in, "data_address", [&] { d.report->data ? Number(tools::kReportDataAddress) : void(out_ += "null"); });
      Field(in, "results", [&] { Array(calls.size(), level + 1, [&](size_t h, int) { Status(calls[h]); }); });
      Field(in, "stopped",
            [&] { Array(calls.size(), level + 1, [&](size_t h, int) { out_ += Json(calls[h].stopped).dump(); }); });
      Field(in, "instructions",
            [&] { Array(calls.size(), level + 1, [&](size_t h, int) { Number(calls[h].instructions); }); });
      Field(in, "stack_bytes",
            [&] { Array(calls.size(), level + 1, [&](size_t h, int) { Number(calls[h].stackBytes); }); });
      size_t codes = 0;
      for (const CallResult& c : calls) codes += c.postcodes.size();
      Field(in, "postcodes", [&] {
        size_t h = 0, k = 0;
        Array(codes, level + 1, [&](size_t, int) {
          while (k == calls[h].postcodes.size()) ++h, k = 0;
          Number(calls[h].postcodes[k++]);
        });
      }, true);
      out_ += std::string(2 * level, ' ') + "}";
    });
  }

 private:
  template <typename Each>
  void Array(size_t count, int level, const Each& each) {
    if (count == 0) {
      out_ += "[]";
      return;
    }
    const std::string in(2 * (level + 1), ' ');
    out_ += "[\n";
    for (size_t i = 0; i < count; ++i) {
      out_ += in;
      each(i, level + 1);
      out_ += i + 1 < count ? ",\n" : "\n";
    }
    out_ += std::string(2 * level, ' ') + "]";
  }

  template <typename Value>
  void Field(const std::string& in, const char* key, const Value& value, bool last = false) {
    out_ += in;
    out_ += '"';
    out_ += key;
    out_ += "\": ";
    value();
    out_ += last ? "\n" : ",\n";
  }

  void Number(uint64_t n) { fmt::format_to(std::back_inserter(out_), "{}", n); }
  void Status(const CallResult& c) { c.status ? Number(*c.status) : void(out_ += "null"); }

  std::string& out_;
};

Json BuildJson(const RunResult& run, const RenderContext& ctx, bool streamed);

}  // namespace

Json ToJson(const RunResult& run, const RenderContext& ctx) { return BuildJson(run, ctx, false); }

std::string ToJsonText(const RunResult& run, const RenderContext& ctx) {
  std::string text = BuildJson(run, ctx, true).dump(2);
  std::string results, reports;
  ReportStream(results).Results(run.reports);
  ReportStream(reports).Reports(run.reports);
  auto replace = [&](const char* mark, const std::string& with) {
    const std::string quoted = Json(mark).dump();
    const size_t at = text.find(quoted);
    if (at == std::string::npos) throw std::logic_error("JSON placeholder missing");
    text.replace(at, quoted.size(), with);
  };
  replace(kResultsMark, results);
  replace(kReportsMark, reports);
  return text;
}

namespace {

Json BuildJson(const RunResult& run, const RenderContext& ctx, bool streamed) {
  Json j;
  const tools::Scenario& s = *run.scenario;
  j["scenario"] = {{"path", s.path}, {"name", s.name}, {"reports", s.reports.size()}};
  j["image"] = {{"path", run.imagePath},     {"source", run.imageSource},      {"format", run.imageFormat},
                {"file_size", run.imageFileSize}, {"base", run.imageBase},
                {"size", run.imageSize},     {"entry", run.entryPoint},        {"relocations", run.relocations},
                {"intact", run.imageIntact}};
  if (!run.dispatch.empty()) j["image"]["dispatch"] = run.dispatch;
  j["entry"] = {{"status", StatusJson(run.entry)},
                {"stopped", run.entry.stopped},
                {"instructions", run.entry.instructions},
                {"stack_bytes", run.entry.stackBytes}};
  Json handlers = Json::array();
  for (size_t h = 0; h < run.handlers.size(); ++h)
    handlers.push_back({{"address", run.handlers[h]}, {"name", HandlerName(ctx, run, h)}});
  j["handlers"] = handlers;
  j["serial"] = tools::Latin1ToUtf8(run.outputs.serial);
  j["mmio_serial"] = tools::Latin1ToUtf8(run.outputs.mmioSerial);
  j["postcodes"] = run.postcodes;
  j["postcode_writes"] = run.postcodeWrites;
  j["memory_log"] = {{"header", run.outputs.memoryLogHeader}, {"text", tools::Latin1ToUtf8(run.outputs.memoryLogText)}};
  Json hobs = Json::array();
  for (const auto& [address, st] : run.stackHobs)
    hobs.push_back({{"address", address},
                    {"depth", st.depth},
                    {"signature", st.signature},
                    {"codes", std::vector<uint32_t>(std::begin(st.codes), std::end(st.codes))}});
  j["hob"] = hobs;
  if (!streamed) {
    Json results = Json::array(), reports = Json::array();
    for (const DeliveredReport& d : run.reports) {
      results.push_back(ReportJson(d)["results"]);
      reports.push_back(ReportJson(d));
    }
    j["results"] = results;
    j["reports"] = reports;
  } else {
    // Placeholders, replaced by the streamed arrays after the dump.
    j["results"] = kResultsMark;
    j["reports"] = kReportsMark;
  }
  if (run.halt) {
    const Halt& h = *run.halt;
    j["halted"] = {{"reason", h.reason},
                   {"report", h.report},
                   {"handler", h.handler},
                   {"handler_name", HandlerName(ctx, run, h.handler)},
                   {"cycle", h.cycle},
                   {"writes_per_word", h.writesPerWord},
                   {"port_writes", h.portWrites},
                   {"instructions", h.instructions}};
  } else {
    j["halted"] = nullptr;
  }
  Json faults = Json::array();
  for (const Fault& f : run.faults)
    faults.push_back({{"kind", f.kind},
                      {"address", f.address},
                      {"eip", f.eip},
                      {"where", SymbolAt(ctx, run, f.eip)},
                      {"width", f.width},
                      {"value", f.value},
                      {"during", f.during},
                      {"detail", f.detail}});
  j["faults"] = faults;
  j["services"] = {{"locate_ppi", run.services.locatePpi},       {"register", run.services.registerCalls},
                   {"create_hob", run.services.createHob},       {"get_hob_list", run.services.getHobList},
                   {"copy_mem", run.services.copyMem},           {"unsupported", run.services.unsupported},
                   {"locate_ppi_services", run.services.lastLocatePpiServices},
                   {"create_hob_services", run.services.lastCreateHobServices}};
  Json perHandler = Json::array();
  for (size_t h = 0; h < run.handlerStats.size(); ++h) {
    const HandlerStats& hs = run.handlerStats[h];
    perHandler.push_back({{"name", HandlerName(ctx, run, h)},
                          {"calls", hs.calls},
                          {"instructions", hs.instructions},
                          {"max_instructions", hs.maxInstructions},
                          {"max_stack_bytes", hs.maxStackBytes}});
  }
  j["stats"] = {{"instructions", run.instructions},
                {"max_stack_bytes", run.maxStackBytes},
                {"io_accesses", run.ioAccesses},
                {"mmio_accesses", run.mmioAccesses},
                {"reports_delivered", run.reports.size()},
                {"image_bytes", run.imageFileSize},
                {"handlers", perHandler}};
  if (!run.accesses.empty()) {
    Json log = Json::array();
    for (const sim::Access& a : run.accesses) log.push_back(sim::Describe(a));
    j["accesses"] = log;
    j["accesses_truncated"] = run.accessLogTruncated;
  }
  return j;
}

}  // namespace

std::string ToText(const RunResult& run, const RenderContext& ctx) {
  std::string out;
  const tools::Scenario& s = *run.scenario;
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
                     s.description.empty() ? "" : " - ", s.description, s.reports.size());
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
      size_t report;
      uint16_t code;
      std::string meaning;
    };
    std::vector<Row> table;
    PostCodeNamer namer;
    for (const DeliveredReport& d : run.reports)
      for (const CallResult& c : d.calls)
        for (uint16_t code : c.postcodes) table.push_back({d.index, code, namer.Describe(code, *d.report)});
    if (table.empty()) out += "(nothing)\n";
    rows(table.size(), [&](size_t i) {
      out += fmt::format("  report {:>4}  {:04X}  {}\n", table[i].report, table[i].code, table[i].meaning);
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
                       st.signature == 0x30736370 ? "pcs0" : "not pcs0", st.depth);
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
      results += fmt::format("{}{}={} ({} instr, {} B stack)", h ? "  " : "", HandlerName(ctx, run, h),
                             c.status ? Hex32(*c.status) : "stopped: " + c.stopped, c.instructions, c.stackBytes);
    }
    out += fmt::format("  {:>6}  {:<19}  {}  {:>8}  {}\n", d.index, TypeName(d.report->type), Hex32(d.report->value),
                       d.report->instance, results.empty() ? "(no handler registered)" : results);
  });

  if (run.halt) {
    const Halt& h = *run.halt;
    heading("Halted");
    out += fmt::format("  {} in {} during report {}, after {} instructions and {} port 0x80 writes\n", h.reason,
                       HandlerName(ctx, run, h.handler), h.report, h.instructions, h.portWrites);
    if (!h.cycle.empty()) {
      out += "  cycle:";
      for (uint16_t w : h.cycle) out += fmt::format(" {:04X}", w);
      out += fmt::format(" (each word written {} times), then again\n", h.writesPerWord);
    }
    if (run.reports.size() < s.reports.size())
      out += fmt::format("  {} later reports were not delivered\n", s.reports.size() - run.reports.size());
  }

  heading(fmt::format("Faults ({})", run.faults.size()));
  if (run.faults.empty()) out += "(none: the image was never written, no write left the allowed regions)\n";
  for (const Fault& f : run.faults)
    out += fmt::format("  {} at {} (width {}, value {:#x}) by {} in {}, {}{}\n", f.kind, Hex32(f.address), f.width,
                       f.value, Hex32(f.eip), SymbolAt(ctx, run, f.eip), f.during, f.detail.empty() ? "" : ": " + f.detail);

  heading("Statistics");
  out += fmt::format("  reports delivered {} of {}; instructions {}; I/O accesses {}; device memory accesses {}\n",
                     run.reports.size(), s.reports.size(), run.instructions, run.ioAccesses, run.mmioAccesses);
  out += fmt::format("  entry: {} instructions, {} bytes of stack\n", run.entry.instructions, run.entry.stackBytes);
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
