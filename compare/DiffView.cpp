#include "compare/DiffView.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

namespace comparison {
namespace {

std::string Where(const std::optional<uint64_t>& report) { return report ? fmt::format("report {}", *report) : "entry"; }

std::string CostText(const CostChange& c) {
  const auto percent = c.Percent();
  return fmt::format("{}{} {} -> {} ({:+}{})", c.handler.empty() ? "" : c.handler + " ", c.figure, c.a, c.b, c.Delta(),
                     percent ? fmt::format(", {:+.2f}%", *percent) : "");
}

const char* KindName(ReportChange::Kind k) {
  return k == ReportChange::Kind::Added ? "added" : k == ReportChange::Kind::Removed ? "removed" : "changed";
}

const char* KindName(PostCodeChange::Kind k) {
  switch (k) {
    case PostCodeChange::Kind::New: return "new";
    case PostCodeChange::Kind::Missing: return "missing";
    case PostCodeChange::Kind::Changed: return "changed";
    case PostCodeChange::Kind::Reordered: return "reordered";
  }
  return "";
}

std::string PostCodeText(const PostCodeChange& p) {
  switch (p.kind) {
    case PostCodeChange::Kind::New: return fmt::format("new       {} at {} of B", NamePostCode(p.code), Where(p.reportB));
    case PostCodeChange::Kind::Missing: return fmt::format("missing   {} at {} of A", NamePostCode(p.code), Where(p.reportA));
    case PostCodeChange::Kind::Changed:
      return fmt::format("changed   {} -> {} at {}", NamePostCode(p.code), NamePostCode(p.codeB), Where(p.reportA));
    case PostCodeChange::Kind::Reordered:
      return fmt::format("reordered {}: {} of A, {} of B", NamePostCode(p.code), Where(p.reportA), Where(p.reportB));
  }
  return "";
}

std::string ReportTitle(const ReportChange& r) {
  if (r.entry) return "entry";
  if (r.kind == ReportChange::Kind::Changed)
    return *r.indexA == *r.indexB ? fmt::format("report {}", *r.indexA) : fmt::format("report {} (B: {})", *r.indexA, *r.indexB);
  return fmt::format("report {} {} ({})", r.indexA ? *r.indexA : *r.indexB, KindName(r.kind),
                     r.kind == ReportChange::Kind::Added ? "only in B" : "only in A");
}

Json CostJson(const CostChange& c) {
  const auto percent = c.Percent();
  Json j = {{"figure", c.figure}, {"a", c.a}, {"b", c.b}, {"change", c.Delta()},
            {"percent", percent ? Json(*percent) : Json(nullptr)}};
  if (!c.handler.empty()) j["handler"] = c.handler;
  return j;
}

Json Optional(const std::optional<uint64_t>& v) { return v ? Json(*v) : Json(nullptr); }

// A hunk's report on one side: its index, "entry", or null (none there, or not known).
Json PlaceJson(const LinePlace& p) {
  if (p.kind == LinePlace::Kind::Report) return p.report;
  if (p.kind == LinePlace::Kind::Entry) return "entry";
  return nullptr;
}

// What follows a hunk's line numbers, as diff -p names a function there: whose lines changed.
std::string HunkPlace(const TextHunk& h) {
  const LinePlace &a = h.placeA, &b = h.placeB;
  if (a.kind == LinePlace::Kind::Entry) return " entry";
  if (a.kind == LinePlace::Kind::Report && b.kind == LinePlace::Kind::Report)
    return a.report == b.report ? fmt::format(" report {}", a.report) : fmt::format(" report {} (B: {})", a.report, b.report);
  if (a.kind == LinePlace::Kind::Report) return fmt::format(" report {} (only in A)", a.report);
  if (b.kind == LinePlace::Kind::Report) return fmt::format(" report {} (only in B)", b.report);
  return "";
}

Json FaultJson(const FaultFacts& f) {
  return {{"kind", f.kind}, {"where", f.where}, {"during", f.during}, {"detail", f.detail}};
}

}  // namespace

std::string DiffText(const Comparison& c) {
  std::string out = fmt::format("A: {}\nB: {}\nscenario {}: {} reports in A, {} in B\n", c.originA, c.originB,
                                c.scenario, c.reportsA, c.reportsB);
  for (const std::string& n : c.notCompared) out += "not compared: " + n + "\n";
  if (c.Empty()) out += "\nno difference\n";
  if (!c.reports.empty()) out += fmt::format("\nreports ({} differ)\n", c.reports.size());
  for (const ReportChange& r : c.reports) {
    out += "  " + ReportTitle(r) + "\n";
    for (const std::string& d : r.differences) out += "    " + d + "\n";
    if (!r.textOutputs.empty()) out += fmt::format("    lines differ on {}\n", fmt::join(r.textOutputs, ", "));
    for (const CostChange& cost : r.costs) out += "    " + CostText(cost) + "\n";
  }
  if (!c.postcodes.empty()) out += fmt::format("\nPOST codes ({} differ)\n", c.postcodes.size());
  for (const PostCodeChange& p : c.postcodes) out += "  " + PostCodeText(p) + "\n";
  for (const OutputChange& o : c.outputs) {
    out += fmt::format("\n--- A {}\n+++ B {}\n", o.output, o.output);
    for (const TextHunk& h : o.hunks) {
      out += fmt::format("@@ -{},{} +{},{} @@{}\n", h.startA, h.countA, h.startB, h.countB, HunkPlace(h));
      for (const std::string& line : h.lines) out += line + "\n";
    }
  }
  if (!c.halt.empty()) out += "\nhalt\n";
  for (const std::string& h : c.halt) out += "  " + h + "\n";
  for (const FaultFacts& f : c.newFaults)
    out += fmt::format("\nnew fault: {} at {} during {}: {}\n", f.kind, f.where, f.during, f.detail);
  for (const FaultFacts& f : c.goneFaults)
    out += fmt::format("\nfault gone: {} at {} during {}: {}\n", f.kind, f.where, f.during, f.detail);
  if (!c.totals.empty()) out += "\nrun totals\n";
  for (const CostChange& t : c.totals) out += "  " + CostText(t) + "\n";
  out += "\nbudget\n";
  size_t breached = 0;
  for (const BudgetCheck& b : c.budgets) {
    out += fmt::format("  {} {} ({})\n", b.Passed() ? "ok    " : "BREACH", b.name, b.rule);
    for (const Breach& br : b.breaches) out += "           " + br.text + "\n";
    breached += !b.Passed();
  }
  out += breached == 0 ? "within the budget\n" : fmt::format("{} of {} budget rules breached\n", breached, c.budgets.size());
  return out;
}

Json DiffJson(const Comparison& c) {
  Json j;
  j["a"] = c.originA;
  j["b"] = c.originB;
  j["scenario"] = c.scenario;
  j["reports_a"] = c.reportsA;
  j["reports_b"] = c.reportsB;
  j["not_compared"] = c.notCompared;
  j["reports"] = Json::array();
  for (const ReportChange& r : c.reports) {
    Json costs = Json::array();
    for (const CostChange& cost : r.costs) costs.push_back(CostJson(cost));
    j["reports"].push_back({{"change", r.entry ? "entry" : KindName(r.kind)},
                            {"index_a", Optional(r.indexA)},
                            {"index_b", Optional(r.indexB)},
                            {"differences", r.differences},
                            {"text", r.textOutputs},
                            {"costs", costs}});
  }
  j["postcodes"] = Json::array();
  for (const PostCodeChange& p : c.postcodes) {
    Json one = {{"change", KindName(p.kind)}, {"code", p.code}, {"name", NamePostCode(p.code)},
                {"report_a", Optional(p.reportA)}, {"report_b", Optional(p.reportB)}};
    if (p.kind == PostCodeChange::Kind::Changed) {
      one["code_b"] = p.codeB;
      one["name_b"] = NamePostCode(p.codeB);
    }
    j["postcodes"].push_back(std::move(one));
  }
  j["outputs"] = Json::array();
  for (const OutputChange& o : c.outputs) {
    Json hunks = Json::array();
    for (const TextHunk& h : o.hunks)
      hunks.push_back({{"start_a", h.startA}, {"count_a", h.countA}, {"start_b", h.startB}, {"count_b", h.countB},
                       {"report_a", PlaceJson(h.placeA)}, {"report_b", PlaceJson(h.placeB)}, {"lines", h.lines}});
    j["outputs"].push_back({{"output", o.output}, {"hunks", hunks}});
  }
  j["halt"] = c.halt;
  j["new_faults"] = Json::array();
  for (const FaultFacts& f : c.newFaults) j["new_faults"].push_back(FaultJson(f));
  j["gone_faults"] = Json::array();
  for (const FaultFacts& f : c.goneFaults) j["gone_faults"].push_back(FaultJson(f));
  j["totals"] = Json::array();
  for (const CostChange& t : c.totals) j["totals"].push_back(CostJson(t));
  j["budget"] = Json::array();
  for (const BudgetCheck& b : c.budgets) {
    Json breaches = Json::array();
    for (const Breach& br : b.breaches) breaches.push_back(br.text);
    j["budget"].push_back({{"name", b.name}, {"rule", b.rule}, {"passed", b.Passed()}, {"breaches", breaches}});
  }
  j["breached"] = c.Breached();
  return j;
}

}  // namespace comparison
