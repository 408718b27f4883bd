#include "compare/Diff.h"

#include <fmt/format.h>

#include <algorithm>
#include <tuple>

#include "compare/Align.h"
#include "compare/TextDiff.h"

namespace comparison {
namespace {

std::string HandlerName(const RunDocument& d, size_t h) {
  return h < d.handlers.size() ? d.handlers[h] : fmt::format("handler {}", h);
}

std::string Status(const std::optional<uint64_t>& s) { return s ? fmt::format("0x{:X}", *s) : "none"; }

std::string CodeList(const std::vector<uint16_t>& codes) {
  if (codes.empty()) return "none";
  std::string text;
  for (const uint16_t c : codes) text += fmt::format("{}{:04X}", text.empty() ? "" : " ", c);
  return text;
}

// The figures of one call that both sides measured and that differ.
void CompareCosts(const std::map<std::string, std::vector<std::optional<uint64_t>>>& a,
                  const std::map<std::string, std::vector<std::optional<uint64_t>>>& b, const RunDocument& docA,
                  std::vector<CostChange>& out) {
  for (const std::string_view name : kCostNames) {
    const auto ia = a.find(std::string(name)), ib = b.find(std::string(name));
    if (ia == a.end() || ib == b.end()) continue;
    for (size_t h = 0; h < std::min(ia->second.size(), ib->second.size()); ++h) {
      const auto& va = ia->second[h];
      const auto& vb = ib->second[h];
      if (va && vb && *va != *vb) out.push_back({std::string(name), HandlerName(docA, h), *va, *vb});
    }
  }
}

// Fills a changed report's differences; false when the two are alike.
bool CompareReports(const ReportFacts& ra, const ReportFacts& rb, const RunDocument& a, ReportChange& change) {
  if (ra.type != rb.type) change.differences.push_back(fmt::format("type 0x{:X} -> 0x{:X}", ra.type, rb.type));
  if (ra.value != rb.value) change.differences.push_back(fmt::format("value 0x{:X} -> 0x{:X}", ra.value, rb.value));
  for (size_t h = 0; h < std::max(ra.results.size(), rb.results.size()); ++h) {
    const bool inA = h < ra.results.size(), inB = h < rb.results.size();
    if (!inA || !inB) {
      change.differences.push_back(fmt::format("{}: {}", HandlerName(a, h), inA ? "not called in B" : "called only in B"));
      change.resultsDiffer = true;
      continue;
    }
    if (ra.results[h] != rb.results[h]) {
      change.differences.push_back(fmt::format("{}: result {} -> {}", HandlerName(a, h), Status(ra.results[h]),
                                               Status(rb.results[h])));
      change.resultsDiffer = true;
    }
    if (ra.stopped[h] != rb.stopped[h]) {
      change.differences.push_back(fmt::format("{}: stopped \"{}\" -> \"{}\"", HandlerName(a, h), ra.stopped[h],
                                               rb.stopped[h]));
      change.resultsDiffer = true;
    }
  }
  if (ra.postcodes != rb.postcodes) {
    change.differences.push_back(fmt::format("POST codes {} -> {}", CodeList(ra.postcodes), CodeList(rb.postcodes)));
    change.postcodesDiffer = true;
  }
  CompareCosts(ra.costs, rb.costs, a, change.costs);
  return !change.differences.empty() || !change.costs.empty();
}

auto ReportKey(const ReportFacts& r) { return std::tie(r.type, r.value, r.results, r.stopped, r.postcodes); }

// Gaps of an alignment: runs of unpaired steps between paired ones.
template <typename Each>
void ForEachGap(const std::vector<AlignStep>& steps, const Each& each) {
  std::vector<size_t> onlyA, onlyB;
  auto flush = [&] {
    if (!onlyA.empty() || !onlyB.empty()) each(onlyA, onlyB);
    onlyA.clear();
    onlyB.clear();
  };
  for (const AlignStep& s : steps) {
    if (s.a && s.b) {
      flush();
    } else if (s.a) {
      onlyA.push_back(*s.a);
    } else {
      onlyB.push_back(*s.b);
    }
  }
  flush();
}

// Fills c.reports and says how the reports were paired.
ReportPairing CompareReportLists(const RunDocument& a, const RunDocument& b, Comparison& c) {
  ReportPairing pairing{std::vector<std::optional<size_t>>(a.reports.size()),
                        std::vector<std::optional<size_t>>(b.reports.size())};
  // The entry first: its result and its figures, as a report of its own.
  ReportChange entry;
  entry.entry = true;
  if (a.entryStatus != b.entryStatus || a.entryStopped != b.entryStopped) {
    entry.differences.push_back(fmt::format("result {} -> {}, stopped \"{}\" -> \"{}\"", Status(a.entryStatus),
                                            Status(b.entryStatus), a.entryStopped, b.entryStopped));
    entry.resultsDiffer = true;
  }
  if (a.entryPostcodes != b.entryPostcodes) {
    entry.differences.push_back(
        fmt::format("POST codes {} -> {}", CodeList(a.entryPostcodes), CodeList(b.entryPostcodes)));
    entry.postcodesDiffer = true;
  }
  for (const std::string_view name : kCostNames) {
    const auto ia = a.entryCosts.find(std::string(name)), ib = b.entryCosts.find(std::string(name));
    if (ia != a.entryCosts.end() && ib != b.entryCosts.end() && ia->second && ib->second && *ia->second != *ib->second)
      entry.costs.push_back({std::string(name), "entry", *ia->second, *ib->second});
  }
  if (!entry.differences.empty() || !entry.costs.empty()) c.reports.push_back(std::move(entry));

  const auto steps = Align(a.reports.size(), b.reports.size(),
                           [&](size_t i, size_t j) { return ReportKey(a.reports[i]) == ReportKey(b.reports[j]); });
  // Alike keys may still differ in cost; a gap of as many reports on each side is those reports changed in place.
  struct Pair {
    std::optional<size_t> first, second;
    bool moved = false;
  };
  std::vector<Pair> pairs;
  ForEachGap(steps, [&](const std::vector<size_t>& onlyA, const std::vector<size_t>& onlyB) {
    if (onlyA.size() == onlyB.size()) {
      for (size_t k = 0; k < onlyA.size(); ++k) pairs.push_back({onlyA[k], onlyB[k], false});
    } else {
      for (const size_t i : onlyA) pairs.push_back({i, std::nullopt, false});
      for (const size_t j : onlyB) pairs.push_back({std::nullopt, j, false});
    }
  });
  // A report only A has at one place and only B at another has moved.
  for (Pair& removed : pairs) {
    if (!removed.first || removed.second) continue;
    const auto added = std::find_if(pairs.begin(), pairs.end(), [&](const Pair& p) {
      return !p.first && p.second && ReportKey(a.reports[*removed.first]) == ReportKey(b.reports[*p.second]);
    });
    if (added == pairs.end()) continue;
    removed.second = added->second;
    removed.moved = true;
    added->second.reset();  // an empty pair, dropped below
  }
  pairs.erase(std::remove_if(pairs.begin(), pairs.end(), [](const Pair& p) { return !p.first && !p.second; }),
              pairs.end());
  for (const AlignStep& s : steps)
    if (s.a && s.b) pairs.push_back({s.a, s.b, false});
  std::sort(pairs.begin(), pairs.end(), [](const auto& x, const auto& y) {
    const size_t px = x.first ? *x.first : SIZE_MAX, py = y.first ? *y.first : SIZE_MAX;
    const size_t qx = x.second ? *x.second : SIZE_MAX, qy = y.second ? *y.second : SIZE_MAX;
    return std::min(px, qx) != std::min(py, qy) ? std::min(px, qx) < std::min(py, qy) : px < py;
  });
  for (const auto& [i, j, moved] : pairs) {
    ReportChange change;
    if (i && j) {
      pairing.bOfA[*i] = *j;
      pairing.aOfB[*j] = *i;
      change.indexA = a.reports[*i].index;
      change.indexB = b.reports[*j].index;
      if (moved) {
        change.differences.push_back(fmt::format("moved: place {} in A, {} in B", *i, *j));
        change.postcodesDiffer = !a.reports[*i].postcodes.empty();
      }
      if (CompareReports(a.reports[*i], b.reports[*j], a, change) || moved) c.reports.push_back(std::move(change));
      continue;
    }
    change.kind = i ? ReportChange::Kind::Removed : ReportChange::Kind::Added;
    const ReportFacts& r = i ? a.reports[*i] : b.reports[*j];
    (i ? change.indexA : change.indexB) = r.index;
    change.differences.push_back(fmt::format("type 0x{:X} value 0x{:X}, POST codes {}", r.type, r.value, CodeList(r.postcodes)));
    change.resultsDiffer = true;
    change.postcodesDiffer = !r.postcodes.empty();
    c.reports.push_back(std::move(change));
  }
  return pairing;
}

struct TaggedCode {
  uint16_t code;
  std::optional<uint64_t> report;
};

std::vector<TaggedCode> CodeSequence(const RunDocument& d) {
  std::vector<TaggedCode> codes;
  for (const uint16_t code : d.entryPostcodes) codes.push_back({code, std::nullopt});
  for (const ReportFacts& r : d.reports)
    for (const uint16_t code : r.postcodes) codes.push_back({code, r.index});
  return codes;
}

void ComparePostCodes(const RunDocument& a, const RunDocument& b, Comparison& c) {
  const auto sa = CodeSequence(a), sb = CodeSequence(b);
  const auto steps = Align(sa.size(), sb.size(), [&](size_t i, size_t j) { return sa[i].code == sb[j].code; });
  std::vector<size_t> missing, added;
  std::vector<std::pair<size_t, size_t>> changed;
  ForEachGap(steps, [&](const std::vector<size_t>& onlyA, const std::vector<size_t>& onlyB) {
    missing.insert(missing.end(), onlyA.begin(), onlyA.end());
    added.insert(added.end(), onlyB.begin(), onlyB.end());
  });
  // A code gone from one place and new at another has moved.
  std::vector<PostCodeChange> found;
  for (auto m = missing.begin(); m != missing.end();) {
    const auto n = std::find_if(added.begin(), added.end(), [&](size_t j) { return sb[j].code == sa[*m].code; });
    if (n == added.end()) {
      ++m;
      continue;
    }
    found.push_back({PostCodeChange::Kind::Reordered, sa[*m].code, 0, sa[*m].report, sb[*n].report});
    added.erase(n);
    m = missing.erase(m);
  }
  // What is left: a code of A and one of B at the same report is a changed code.
  for (auto m = missing.begin(); m != missing.end();) {
    const auto n = std::find_if(added.begin(), added.end(), [&](size_t j) { return sb[j].report == sa[*m].report; });
    if (n == added.end()) {
      ++m;
      continue;
    }
    found.push_back({PostCodeChange::Kind::Changed, sa[*m].code, sb[*n].code, sa[*m].report, sb[*n].report});
    added.erase(n);
    m = missing.erase(m);
  }
  for (const size_t i : missing) found.push_back({PostCodeChange::Kind::Missing, sa[i].code, 0, sa[i].report, std::nullopt});
  for (const size_t j : added) found.push_back({PostCodeChange::Kind::New, sb[j].code, 0, std::nullopt, sb[j].report});
  auto place = [](const PostCodeChange& p) {
    const auto r = p.reportA ? p.reportA : p.reportB;
    return r ? *r + 1 : 0;
  };
  std::stable_sort(found.begin(), found.end(), [&](const auto& x, const auto& y) { return place(x) < place(y); });
  c.postcodes = std::move(found);
}

void CompareHalts(const RunDocument& a, const RunDocument& b, Comparison& c) {
  if (!a.halt && !b.halt) return;
  if (!a.halt || !b.halt) {
    const HaltFacts& h = a.halt ? *a.halt : *b.halt;
    c.halt.push_back(fmt::format("{} halts ({}, report {}, handler {}, cycle {}); {} does not", a.halt ? "A" : "B",
                                 h.reason, h.report, h.handler, h.cycle, a.halt ? "B" : "A"));
    return;
  }
  const HaltFacts &ha = *a.halt, &hb = *b.halt;
  if (ha.reason != hb.reason) c.halt.push_back(fmt::format("reason \"{}\" -> \"{}\"", ha.reason, hb.reason));
  if (ha.report != hb.report) c.halt.push_back(fmt::format("report {} -> {}", ha.report, hb.report));
  if (ha.handler != hb.handler) c.halt.push_back(fmt::format("handler {} -> {}", ha.handler, hb.handler));
  if (ha.cycle != hb.cycle) c.halt.push_back(fmt::format("cycle {} -> {}", ha.cycle, hb.cycle));
}

void CompareFaults(const RunDocument& a, const RunDocument& b, Comparison& c) {
  auto fa = a.faults, fb = b.faults;
  std::sort(fa.begin(), fa.end());
  std::sort(fb.begin(), fb.end());
  std::set_difference(fb.begin(), fb.end(), fa.begin(), fa.end(), std::back_inserter(c.newFaults));
  std::set_difference(fa.begin(), fa.end(), fb.begin(), fb.end(), std::back_inserter(c.goneFaults));
  if (b.faultsNotListed > a.faultsNotListed)
    c.newFaults.push_back({"faults not listed", "", "", fmt::format("{} -> {}", a.faultsNotListed, b.faultsNotListed)});
  else if (b.faultsNotListed < a.faultsNotListed)
    c.goneFaults.push_back({"faults not listed", "", "", fmt::format("{} -> {}", a.faultsNotListed, b.faultsNotListed)});
}

void CompareTotals(const RunDocument& a, const RunDocument& b, Comparison& c) {
  for (const auto& [name, va] : a.totals) {
    const auto it = b.totals.find(name);
    if (it == b.totals.end() || !va || !it->second || *va == *it->second) continue;
    c.totals.push_back({name, "", *va, *it->second});
  }
}

}  // namespace

std::optional<double> CostChange::Percent() const {
  if (a == 0) return std::nullopt;
  return 100.0 * static_cast<double>(Delta()) / static_cast<double>(a);
}

size_t TextHunk::Changed() const {
  return static_cast<size_t>(
      std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return !l.empty() && l[0] != ' '; }));
}

bool Comparison::Breached() const {
  return std::any_of(budgets.begin(), budgets.end(), [](const BudgetCheck& b) { return !b.Passed(); });
}

Comparison Compare(const RunDocument& a, const RunDocument& b, const Budget& budget) {
  Comparison c;
  c.originA = a.origin;
  c.originB = b.origin;
  c.scenario = a.scenarioName;
  c.reportsA = a.reports.size();
  c.reportsB = b.reports.size();
  const ReportPairing pairing = CompareReportLists(a, b, c);
  ComparePostCodes(a, b, c);
  CompareOutputs(a, b, pairing, c);
  CompareHalts(a, b, c);
  CompareFaults(a, b, c);
  CompareTotals(a, b, c);
  c.budgets = Judge(c, a, b, budget);
  return c;
}

}  // namespace comparison
