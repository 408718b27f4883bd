#include "qemu/host/CrossCheck.h"

#include <fmt/format.h>

#include <algorithm>
#include <optional>

#include "run/Cycle.h"
#include "run/Outputs.h"

namespace qemu {
namespace {

using Calls = std::vector<run::CallResult>;

// Each delivery's calls, repeats unfolded (sinksim keeps alike deliveries in a row once).
std::vector<const Calls*> Deliveries(const run::RunResult& run) {
  std::vector<const Calls*> out;
  for (const run::DeliveredReport& d : run.reports)
    for (uint64_t k = 0; k < d.repeat; ++k) out.push_back(&d.calls);
  return out;
}

std::string Status(const run::CallResult& c) {
  return c.status ? run::Hex32(*c.status) : "stopped (" + c.stopped + ")";
}

std::string Words(const std::vector<uint16_t>& words, size_t from = 0) {
  constexpr size_t kShown = 8;
  std::string text;
  for (size_t k = from; k < words.size() && k < from + kShown; ++k) text += fmt::format("{}{:04X}", text.empty() ? "" : " ", words[k]);
  if (words.size() > from + kShown) text += fmt::format(" ... ({} in all)", words.size());
  return "[" + text + "]";
}

// Where two texts part, with a little of each from there.
std::string TextDifference(const std::string& q, const std::string& s) {
  const size_t at = static_cast<size_t>(std::mismatch(q.begin(), q.begin() + static_cast<std::ptrdiff_t>(std::min(q.size(), s.size())), s.begin()).first - q.begin());
  auto shown = [&](const std::string& t) {
    std::string out;
    for (size_t k = at; k < t.size() && k < at + 40; ++k) {
      const unsigned char c = static_cast<unsigned char>(t[k]);
      out += c >= 0x20 && c < 0x7F && c != '\\' ? std::string(1, static_cast<char>(c)) : fmt::format("\\x{:02X}", c);
    }
    return "\"" + out + "\"";
  };
  return fmt::format("from byte {} (QEMU {} bytes, sinksim {}): QEMU {}, sinksim {}", at, q.size(), s.size(), shown(q),
                     shown(s));
}

class Checks {
 public:
  void LeftOut(const std::string& field, const std::string& why) { out_.push_back({field, why, ""}); }
  void Different(const std::string& field, const std::string& how) { out_.push_back({field, "", how}); }
  void Same(const std::string& field) { out_.push_back({field, "", ""}); }
  template <typename T, typename Show>
  void Compare(const std::string& field, const T& q, const T& s, Show show) {
    if (q == s)
      Same(field);
    else
      Different(field, "QEMU " + show(q) + ", sinksim " + show(s));
  }
  void Compare(const std::string& field, uint64_t q, uint64_t s) {
    Compare(field, q, s, [](uint64_t v) { return std::to_string(v); });
  }
  void CompareHex(const std::string& field, uint32_t q, uint32_t s) {
    Compare(field, q, s, [](uint32_t v) { return run::Hex32(v); });
  }
  void CompareText(const std::string& field, const std::string& q, const std::string& s) {
    if (q == s)
      Same(field);
    else
      Different(field, TextDifference(q, s));
  }
  std::vector<FieldCheck> Take() { return std::move(out_); }

 private:
  std::vector<FieldCheck> out_;
};

}  // namespace

std::vector<FieldCheck> CrossCheck(const scenario::Scenario& scenario, const QemuRunResult& onQemu,
                                   const SinksimSide& onSinksim) {
  const run::RunResult& q = onQemu.run;
  const run::RunResult& s = onSinksim.run;
  const scenario::PlatformConfig& board = scenario.platform;
  Checks checks;

  // What keeps a field from being compared.
  const std::string unanswered =
      onSinksim.unansweredReads == 0
          ? ""
          : fmt::format(
                "the module read memory that nothing on the board holds ({} reads, the first at {}): a board's bus "
                "answers all ones there, QEMU's PC its RAM or 0, and the text shows what was read",
                onSinksim.unansweredReads, run::Hex32(onSinksim.firstUnansweredRead));
  // A call that never returned: QEMU's boot ROM reads the board's state
  // back when the host stops it with an interrupt; a boot that did not take
  // the interrupt (one that faulted) tells nothing more.
  const bool halted = s.halt.has_value() || q.halt.has_value();
  const std::string notReadBack =
      halted && !onQemu.facts.stateReadBack
          ? "the boot stopped in a call that never returned, and QEMU's boot ROM could not read the board's state back"
          : "";
  const bool shorterLook = q.halt && s.halt && q.halt->portWrites < s.halt->portWrites && !q.reports.empty() &&
                           !s.reports.empty();

  checks.Compare("image.format", q.imageFormat, s.imageFormat, [](const std::string& v) { return v; });
  checks.CompareHex("image.base", q.imageBase, s.imageBase);
  checks.CompareHex("image.entry", q.entryPoint, s.entryPoint);
  checks.LeftOut("image.intact", "QEMU's ROM drops writes without telling; only the emulated machine watches them");
  checks.Compare("handlers", q.handlers, s.handlers, [](const std::vector<uint32_t>& v) {
    std::string text;
    for (uint32_t a : v) text += (text.empty() ? "" : " ") + run::Hex32(a);
    return "[" + text + "]";
  });
  checks.Compare("entry.status", Status(q.entry), Status(s.entry), [](const std::string& v) { return v; });
  checks.Compare("entry.postcodes", q.entry.postcodes, s.entry.postcodes,
                 [](const std::vector<uint16_t>& v) { return Words(v); });

  // The outputs, each where QEMU's PC can stand for the board's device: the
  // lines its own devices wrote to files (or that it has no part for, where
  // the board's device sends nothing either), and the memory the boot ROM
  // read back, gated by the host bridge's register 0xDC on both.
  for (const run::Output& o : run::kOutputs) {
    std::string leftOut = o.qemuDiffers ? o.qemuDiffers(board) : "";
    if (o.qemu == run::QemuSource::ReadBack) {
      if (leftOut.empty()) leftOut = notReadBack.empty() ? unanswered : notReadBack;
      if (leftOut.empty() && onQemu.facts.hostBridgeDc != board.hostBridgeDc)
        leftOut = fmt::format("QEMU's host bridge kept {} in register 0xDC, the board holds {}",
                              onQemu.facts.hostBridgeDc ? run::Hex32(*onQemu.facts.hostBridgeDc) : "nothing",
                              run::Hex32(board.hostBridgeDc));
    } else if (leftOut.empty() && o.qemu == run::QemuSource::CharFile) {
      leftOut = unanswered;
    }
    const std::string key = o.key;
    const bool ring = o.kind == run::OutputKind::Ring;
    const std::string textKey = ring ? key + ".text" : key;
    if (!leftOut.empty()) {
      if (ring) checks.LeftOut(key + ".header", leftOut);
      checks.LeftOut(textKey, leftOut);
      continue;
    }
    if (ring) checks.CompareHex(key + ".header", q.outputs.memoryLogHeader, s.outputs.memoryLogHeader);
    checks.CompareText(textKey, q.outputs.*o.text, s.outputs.*o.text);
  }

  // Every delivery and every call: results and POST codes; a stopped call
  // that QEMU ran for fewer writes shows the first of sinksim's words.
  const std::vector<const Calls*> qd = Deliveries(q), sd = Deliveries(s);
  std::string results, stopped, words;
  if (qd.size() != sd.size()) results = fmt::format("QEMU delivered {} reports, sinksim {}", qd.size(), sd.size());
  for (size_t i = 0; i < std::min(qd.size(), sd.size()); ++i) {
    const Calls &a = *qd[i], &b = *sd[i];
    if (a.size() != b.size() && results.empty())
      results = fmt::format("report {}: QEMU made {} handler calls, sinksim {}", i, a.size(), b.size());
    for (size_t h = 0; h < std::min(a.size(), b.size()); ++h) {
      const std::string where = fmt::format("report {}, handler {}: ", i, h);
      if (a[h].status != b[h].status && results.empty())
        results = where + "QEMU " + Status(a[h]) + ", sinksim " + Status(b[h]);
      if (a[h].stopped != b[h].stopped && stopped.empty())
        stopped = where + "QEMU '" + a[h].stopped + "', sinksim '" + b[h].stopped + "'";
      const bool prefix = shorterLook && !b[h].stopped.empty();
      const bool same = prefix ? a[h].postcodes.size() <= b[h].postcodes.size() &&
                                     std::equal(a[h].postcodes.begin(), a[h].postcodes.end(), b[h].postcodes.begin())
                               : a[h].postcodes == b[h].postcodes;
      if (!same && words.empty())
        words = where + "QEMU " + Words(a[h].postcodes) + (prefix ? ", not the first of sinksim's " : ", sinksim ") +
                Words(b[h].postcodes);
    }
  }
  auto field = [&](const std::string& name, const std::string& difference) {
    if (difference.empty())
      checks.Same(name);
    else
      checks.Different(name, difference);
  };
  field("results", results);
  field("reports.stopped", stopped);
  field("reports.postcodes", words);

  // The POST code timeline and the count of writes: up to the stopped call
  // when QEMU looked at it for fewer writes.
  if (shorterLook) {
    const size_t before = q.postcodes.size() - q.reports.back().calls.back().postcodes.size();
    const size_t sBefore = s.postcodes.size() - s.reports.back().calls.back().postcodes.size();
    field("postcodes", std::equal(q.postcodes.begin(), q.postcodes.begin() + static_cast<std::ptrdiff_t>(before),
                                  s.postcodes.begin(), s.postcodes.begin() + static_cast<std::ptrdiff_t>(sBefore))
                           ? ""
                           : "before the stopped call: QEMU " + Words(q.postcodes) + ", sinksim " + Words(s.postcodes));
    checks.Compare("postcode_writes (before the stopped call)", q.postcodeWrites - q.halt->portWrites,
                   s.postcodeWrites - s.halt->portWrites);
  } else {
    checks.Compare("postcodes", q.postcodes, s.postcodes, [](const std::vector<uint16_t>& v) { return Words(v); });
    checks.Compare("postcode_writes", q.postcodeWrites, s.postcodeWrites);
  }

  // Where the boot stopped.
  if (!q.halt || !s.halt) {
    checks.Compare("halted", q.halt ? q.halt->reason : "no", s.halt ? s.halt->reason : "no",
                   [](const std::string& v) { return v; });
  } else {
    checks.Compare("halted.report", q.halt->report, s.halt->report);
    checks.Compare("halted.handler", q.halt->handler, s.halt->handler);
    checks.Compare("halted.reason", q.halt->reason, s.halt->reason, [](const std::string& v) { return v; });
    if (shorterLook) {
      const std::string why = fmt::format(
          "QEMU was let run the stopped call for {} port 0x80 writes, sinksim for the scenario's {}; its words so far "
          "are compared",
          q.halt->portWrites, s.halt->portWrites);
      checks.LeftOut("halted.cycle", why);
      checks.LeftOut("halted.port_writes", why);
    } else {
      checks.Compare("halted.cycle", q.halt->cycle, s.halt->cycle,
                     [](const std::vector<run::CycleStep>& v) { return "[" + run::CycleText(v) + "]"; });
      checks.Compare("halted.port_writes", q.halt->portWrites, s.halt->portWrites);
    }
  }

  // What the foundation reads back after the last report.
  if (!notReadBack.empty()) {
    checks.LeftOut("hob", notReadBack);
  } else {
    std::string hob;
    if (q.stackHobs.size() != s.stackHobs.size())
      hob = fmt::format("QEMU {} HOBs, sinksim {}", q.stackHobs.size(), s.stackHobs.size());
    for (size_t k = 0; k < std::min(q.stackHobs.size(), s.stackHobs.size()) && hob.empty(); ++k) {
      const auto &a = q.stackHobs[k], &b = s.stackHobs[k];
      if (a.first != b.first || a.second.depth != b.second.depth || a.second.signature != b.second.signature ||
          !std::equal(std::begin(a.second.codes), std::end(a.second.codes), std::begin(b.second.codes)))
        hob = fmt::format("HOB {}: QEMU at {} depth {}, sinksim at {} depth {}", k, run::Hex32(a.first),
                          a.second.depth, run::Hex32(b.first), b.second.depth);
    }
    field("hob", hob);
  }
  const sim::PeiServiceCalls &qs = q.services, &ss = s.services;
  const std::pair<const char*, std::pair<uint64_t, uint64_t>> services[] = {
      {"services.locate_ppi", {qs.locatePpi, ss.locatePpi}},
      {"services.register", {qs.registerCalls, ss.registerCalls}},
      {"services.create_hob", {qs.createHob, ss.createHob}},
      {"services.get_hob_list", {qs.getHobList, ss.getHobList}},
      {"services.copy_mem", {qs.copyMem, ss.copyMem}},
      {"services.unsupported", {qs.unsupported, ss.unsupported}},
      {"services.locate_ppi_services", {qs.lastLocatePpiServices, ss.lastLocatePpiServices}},
      {"services.create_hob_services", {qs.lastCreateHobServices, ss.lastCreateHobServices}},
  };
  for (const auto& [name, values] : services) {
    if (!notReadBack.empty())
      checks.LeftOut(name, notReadBack);
    else
      checks.Compare(name, values.first, values.second);
  }

  std::string faults;
  if (!q.faults.empty()) faults = "QEMU: " + q.faults.front().kind + " (" + q.faults.front().during + ")";
  if (!s.faults.empty()) faults += (faults.empty() ? "" : "; ") + std::string("sinksim: ") + s.faults.front().kind + " (" + s.faults.front().during + ")";
  field("faults", faults);

  for (const char* unmeasured : {"stats.instructions", "stats.max_stack_bytes", "stats.io_accesses",
                                 "stats.mmio_accesses"})
    checks.LeftOut(unmeasured, "measured on the emulated machine only");
  return checks.Take();
}

}  // namespace qemu
