#include "run/TextView.h"

#include <fmt/format.h>

#include <functional>
#include <map>

#include "postcode/PostCode.h"
#include "run/Cycle.h"
#include "scenario/ModuleTable.h"

namespace run {
namespace {

// Bytes as a terminal may safely be sent them: printable ASCII as it is
// (and, in device text, CR, LF and TAB), any other byte as \xNN, so neither
// a board's garbage nor a name from an input file reaches the terminal as a
// control sequence.
std::string Escaped(std::string_view text, bool lineBreaks) {
  std::string out;
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if ((lineBreaks && (c == '\r' || c == '\n' || c == '\t')) || (c >= 0x20 && c < 0x7F))
      out += ch;
    else
      out += fmt::format("\\x{:02X}", c);
  }
  return out;
}

std::string Printable(const std::string& text) {
  std::string out = Escaped(text, true);
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

std::string InputText(std::string_view text) { return Escaped(text, false); }

std::string ToText(const RunResult& run, const RenderContext& ctx) {
  std::string out;
  const scenario::Scenario& s = *run.scenario;
  // Names from input files (the image's map, the scenario, the count ranges) are escaped like device text.
  const auto handlerName = [&](size_t h) { return InputText(HandlerName(ctx, run, h)); };
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
                       InputText(run.imagePath), run.imageFileSize, Hex32(run.imageBase), run.relocations,
                       Hex32(run.entryPoint));
  } else {
    out += fmt::format("StatusSinkPei.fv: {} ({} bytes), run in place ({} image, RVA 0 at {}, entry {}, "
                       "nothing relocated)\n",
                       InputText(run.imagePath), run.imageFileSize, run.imageFormat, Hex32(run.imageBase),
                       Hex32(run.entryPoint));
    for (const std::string& step : run.dispatch) out += "  " + InputText(step) + "\n";
  }
  out += fmt::format("Scenario: {}{}{} ({} reports)\n", InputText(s.name.empty() ? s.path : s.name),
                     s.description.empty() ? "" : " - ", InputText(s.description), s.DeliveryCount());
  out += fmt::format("Entry returned {}; handlers registered: ",
                     run.entry.status ? Hex32(*run.entry.status) : "nothing (" + run.entry.stopped + ")");
  for (size_t h = 0; h < run.handlers.size(); ++h) out += (h ? ", " : "") + handlerName(h);
  out += run.handlers.empty() ? "none\n" : "\n";

  // The outputs in the table's order: the lines, the port 0x80 words, the rings.
  for (const Output& o : kOutputs) {
    if (o.kind != OutputKind::Line) continue;
    const std::string& text = run.outputs.*o.text;
    heading(o.title);
    out += text.empty() ? "(nothing)\n" : Printable(text);
  }

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

  for (const Output& o : kOutputs) {
    if (o.kind != OutputKind::Ring) continue;
    heading(fmt::format("{}: header {}, next offset 0x{:04X}, wrap count {}", o.title,
                        Hex32(run.outputs.memoryLogHeader), run.outputs.memoryLogHeader & 0xFFFF,
                        run.outputs.memoryLogHeader >> 16));
    // After a wrap the whole text area is the log; bytes never written read as NUL and are left out here.
    std::string text;
    size_t nul = 0;
    for (char c : run.outputs.*o.text) (c == '\0' ? ++nul : (text += c, 0));
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
      results += fmt::format("{}{}={} ({} instr{}, {} B stack)", h ? "  " : "", handlerName(h),
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
                               : fmt::format("{} during report {}", handlerName(h.handler), h.report),
                       h.instructions, h.portWrites);
    if (!h.cycle.empty()) out += "  cycle: " + CycleText(h.cycle) + ", then again\n";
    if (run.Delivered() < s.DeliveryCount())
      out += fmt::format("  {} later reports were not delivered\n", s.DeliveryCount() - run.Delivered());
  }

  heading(fmt::format("Faults ({})", run.faults.size() + run.faultsNotListed));
  if (run.faults.empty())
    out += "(none: the image was never written, no write left the allowed regions, no read went past a record)\n";
  for (const Fault& f : run.faults)
    out += fmt::format("  {} at {} (width {}, value {:#x}) by {} in {}, {}{}\n", f.kind, Hex32(f.address), f.width,
                       f.value, Hex32(f.eip), InputText(SymbolAt(ctx, run, f.eip)), f.during,
                       f.detail.empty() ? "" : ": " + InputText(f.detail));
  if (run.faultsNotListed != 0) out += fmt::format("  ... and {} more faults, not listed\n", run.faultsNotListed);

  heading("Statistics");
  out += fmt::format("  reports delivered {} of {}; instructions {}; I/O accesses {}; device memory accesses {}\n",
                     run.Delivered(), s.DeliveryCount(), run.instructions, run.ioAccesses, run.mmioAccesses);
  out += fmt::format("  entry: {} instructions, {} bytes of stack\n", run.entry.instructions, run.entry.stackBytes);
  if (!run.countRanges.empty()) {
    out += fmt::format("  count ranges: {} instructions of {} executed in them:", run.rangeInstructions, run.instructions);
    for (const CountRange& r : run.countRanges)
      out += fmt::format(" {:#x}..{:#x}{}", r.start, r.end, r.name.empty() ? "" : " " + InputText(r.name));
    out += "\n";
    for (const std::string& crossing : run.countRangeCrossings)
      out += "  count ranges NOT EXACT: " + InputText(crossing) + "\n";
  }
  for (size_t h = 0; h < run.handlerStats.size(); ++h) {
    const HandlerStats& hs = run.handlerStats[h];
    out += fmt::format("  {}: {} calls, {} instructions ({} per call on average, at most {}), deepest stack {} bytes\n",
                       handlerName(h), hs.calls, hs.instructions, hs.calls ? hs.instructions / hs.calls : 0,
                       hs.maxInstructions, hs.maxStackBytes);
  }
  if (run.timing) {
    // The board time model: where the boot's modelled time went.
    const TimingResult& t = *run.timing;
    const auto share = [&](uint64_t ns) { return t.bootNs == 0 ? 0.0 : 100.0 * static_cast<double>(ns) / static_cast<double>(t.bootNs); };
    out += fmt::format("  modelled boot time {:.3f} ms:", static_cast<double>(t.bootNs) / 1e6);
    for (size_t i = 0; i < kOutputCount; ++i) out += fmt::format(" {} {:.1f} %,", kOutputs[i].key, share(t.chargedNs[i]));
    out += fmt::format(" module {:.1f} %\n", share(t.chargedNs[kOutputCount]));
    out += fmt::format("  time model: {} Hz, {} instructions per cycle, {} ns per I/O access, {} ns per device memory access",
                       t.settings.clockHz, t.settings.instructionsPerCycle, t.settings.ioAccessNs, t.settings.mmioAccessNs);
    for (const TimingResult::Wire& w : t.wires)
      out += fmt::format("; {} {} baud, {}-byte FIFO", kOutputs[w.output].key, w.line.baud, w.line.fifo);
    out += "\n";
  }
  if (run.dispatch.empty())
    out += fmt::format("  image: {} bytes in the file, {} bytes mapped; {}\n", run.imageFileSize, run.imageSize,
                       run.imageIntact ? "never written" : "CHANGED during the run");
  else
    out += fmt::format("  volume: {} bytes mapped, {} image of {} bytes in it; {}\n", run.imageFileSize,
                       run.imageFormat, run.imageSize, run.imageIntact ? "never written" : "CHANGED during the run");
  return out;
}

}  // namespace run
