#include "compare/Budget.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "compare/Diff.h"

namespace comparison {
namespace {

[[noreturn]] void Refuse(const std::string& path, const std::string& key, const std::string& why) {
  throw DocumentError(fmt::format("{}: budget key {} {}", path, key, why));
}

bool ReadBool(const Json& v, const std::string& path, const std::string& key) {
  if (!v.is_boolean()) Refuse(path, key, "is not true or false");
  return v.get<bool>();
}

GrowthLimit ReadGrowth(const Json& v, const std::string& path, const std::string& key) {
  if (!v.is_object()) Refuse(path, key, "is not an object with \"percent\" and/or \"absolute\"");
  GrowthLimit limit;
  for (const auto& [k, value] : v.items()) {
    const std::string where = key + "." + k;
    if (k == "percent") {
      if (!value.is_number() || value.get<double>() < 0) Refuse(path, where, "is not a number of at least 0");
      limit.percent = value.get<double>();
    } else if (k == "absolute") {
      if (!value.is_number_unsigned()) Refuse(path, where, "is not a whole number of at least 0");
      limit.absolute = value.get<uint64_t>();
    } else {
      Refuse(path, where, "is not known (percent, absolute)");
    }
  }
  if (!limit.Set()) Refuse(path, key, "gives neither \"percent\" nor \"absolute\"");
  return limit;
}

std::string GrowthRule(const GrowthLimit& l) {
  std::string rule;
  if (l.percent) rule += fmt::format("at most {}% more", *l.percent);
  if (l.absolute) rule += fmt::format("{}at most {} more", rule.empty() ? "" : " and ", *l.absolute);
  return rule;
}

// Whether growth from a to b stays within the limit; `why` says by how much it does not.
bool WithinGrowth(const GrowthLimit& l, uint64_t a, uint64_t b, std::string& why) {
  if (b <= a) return true;
  const uint64_t grew = b - a;
  if (l.absolute && grew > *l.absolute) {
    why = fmt::format("grew by {}, more than {}", grew, *l.absolute);
    return false;
  }
  if (l.percent && (a == 0 || 100.0 * static_cast<double>(grew) / static_cast<double>(a) > *l.percent)) {
    why = a == 0 ? fmt::format("grew from 0 to {}", b)
                 : fmt::format("grew by {:.2f}%, more than {}%", 100.0 * static_cast<double>(grew) / static_cast<double>(a),
                               *l.percent);
    return false;
  }
  return true;
}

std::string ReportName(const ReportChange& r) {
  if (r.entry) return "entry";
  if (r.indexA && r.indexB && *r.indexA != *r.indexB) return fmt::format("report {} (B: {})", *r.indexA, *r.indexB);
  return fmt::format("report {}", r.indexA ? *r.indexA : *r.indexB);
}

bool Measured(const RunDocument& d, const std::string& figure) {
  return std::any_of(d.reports.begin(), d.reports.end(), [&](const ReportFacts& r) {
    const auto it = r.costs.find(figure);
    return it != r.costs.end() && std::any_of(it->second.begin(), it->second.end(), [](const auto& v) { return v.has_value(); });
  });
}

// A growth limit on a per-call figure, over every changed report.
BudgetCheck PerCallGrowth(const char* name, const std::string& figure, const GrowthLimit& limit, const Comparison& c,
                          const RunDocument& a, const RunDocument& b) {
  BudgetCheck check{name, GrowthRule(limit) + " per call", {}};
  if (!Measured(a, figure) || !Measured(b, figure)) {
    check.breaches.push_back({fmt::format("{} is not measured in {}: the limit cannot be checked", figure,
                                          !Measured(a, figure) ? "A" : "B"), std::nullopt});
    return check;
  }
  for (size_t r = 0; r < c.reports.size(); ++r)
    for (const CostChange& cost : c.reports[r].costs) {
      std::string why;
      if (cost.figure == figure && !WithinGrowth(limit, cost.a, cost.b, why))
        check.breaches.push_back({fmt::format("{} {}: {} {} -> {}: {}", ReportName(c.reports[r]), cost.handler, figure,
                                              cost.a, cost.b, why), r});
    }
  return check;
}

std::string FirstChanged(const TextHunk& h) {
  const auto first = std::find_if(h.lines.begin(), h.lines.end(), [](const std::string& l) { return l[0] != ' '; });
  return first != h.lines.end() ? *first : "";
}

bool SamePlace(const LinePlace& p, const std::optional<uint64_t>& index) {
  return index ? p.kind == LinePlace::Kind::Report && p.report == *index : p.kind == LinePlace::Kind::None;
}

// The first line that changed at a report, on the first of the outputs that shows it.
std::optional<std::string> FirstChangedLine(const Comparison& c, const ReportChange& r,
                                            const std::vector<std::string>& outputs) {
  for (const OutputChange& o : c.outputs) {
    if (std::find(outputs.begin(), outputs.end(), o.output) == outputs.end()) continue;
    for (const TextHunk& h : o.hunks) {
      const bool here = r.entry ? h.placeA.kind == LinePlace::Kind::Entry
                                : SamePlace(h.placeA, r.indexA) && SamePlace(h.placeB, r.indexB);
      if (here) return o.output + " " + FirstChanged(h);
    }
  }
  return std::nullopt;
}

}  // namespace

Budget ReadBudget(const std::string& path) {
  const Json j = ParseJsonFile(path);
  if (!j.is_object()) throw DocumentError(path + ": a budget is a JSON object");
  Budget budget;
  budget.origin = path;
  for (const auto& [key, v] : j.items()) {
    if (key == "report_instructions") {
      budget.reportInstructions = ReadGrowth(v, path, key);
    } else if (key == "report_time") {
      budget.reportTime = ReadGrowth(v, path, key);
    } else if (key == "total_instructions") {
      budget.totalInstructions = ReadGrowth(v, path, key);
    } else if (key == "max_stack_bytes") {
      if (!v.is_number_unsigned()) Refuse(path, key, "is not a whole number of at least 0");
      budget.maxStackBytes = v.get<uint64_t>();
    } else if (key == "faults") {
      const std::string rule = v.is_string() ? v.get<std::string>() : "";
      if (rule == "match") budget.faults = FaultRule::Match;
      else if (rule == "no_new") budget.faults = FaultRule::NoNew;
      else if (rule == "any") budget.faults = FaultRule::Any;
      else Refuse(path, key, "is not \"match\", \"no_new\" or \"any\"");
    } else if (key == "postcodes_must_match") {
      budget.postcodesMatch = ReadBool(v, path, key);
    } else if (key == "results_must_match") {
      budget.resultsMatch = ReadBool(v, path, key);
    } else if (key == "halt_must_match") {
      budget.haltMatch = ReadBool(v, path, key);
    } else if (key == "text_must_match") {
      if (v.is_boolean()) {
        for (auto& [output, must] : budget.textMatch) must = v.get<bool>();
      } else if (v.is_object()) {
        for (const auto& [output, must] : v.items()) {
          if (!budget.textMatch.count(output)) Refuse(path, key + "." + output, "is not an output (serial, mmio_serial, memory_log)");
          budget.textMatch[output] = ReadBool(must, path, key + "." + output);
        }
      } else {
        Refuse(path, key, "is neither true/false nor an object of outputs");
      }
    } else {
      Refuse(path, key, "is not known");
    }
  }
  return budget;
}

std::vector<BudgetCheck> Judge(const Comparison& c, const RunDocument& a, const RunDocument& b, const Budget& budget) {
  std::vector<BudgetCheck> checks;
  std::vector<std::string> mustMatch;
  for (const char* output : {"serial", "mmio_serial", "memory_log"})
    if (budget.textMatch.at(output)) mustMatch.push_back(output);
  if (!mustMatch.empty()) {
    BudgetCheck check{"text", fmt::format("the same lines on {}", fmt::join(mustMatch, ", ")), {}};
    auto judged = [&](const std::string& output) {
      return std::find(mustMatch.begin(), mustMatch.end(), output) != mustMatch.end();
    };
    // A report whose lines changed counts once, whatever outputs and hunks show it.
    for (size_t r = 0; r < c.reports.size(); ++r) {
      std::vector<std::string> outputs;
      for (const std::string& o : c.reports[r].textOutputs)
        if (judged(o)) outputs.push_back(o);
      if (outputs.empty()) continue;
      const auto first = FirstChangedLine(c, c.reports[r], outputs);
      check.breaches.push_back({fmt::format("{}: lines differ on {}{}", ReportName(c.reports[r]), fmt::join(outputs, ", "),
                                            first ? ": " + *first : ""), r});
    }
    // Hunks the documents cannot place (no bytes per report) count one each.
    for (const OutputChange& o : c.outputs)
      if (judged(o.output))
        for (const TextHunk& h : o.hunks)
          if (!h.placeA.Known() && !h.placeB.Known())
            check.breaches.push_back({fmt::format("{}: {} lines differ at line {} of A: {}", o.output, h.Changed(),
                                                  h.startA, FirstChanged(h)), std::nullopt});
    checks.push_back(std::move(check));
  }
  if (budget.postcodesMatch) {
    BudgetCheck check{"postcodes", "the same POST code sequence", {}};
    for (size_t r = 0; r < c.reports.size(); ++r)
      if (c.reports[r].postcodesDiffer)
        for (const std::string& d : c.reports[r].differences)
          if (d.rfind("POST codes", 0) == 0 || c.reports[r].kind != ReportChange::Kind::Changed)
            check.breaches.push_back({fmt::format("{}: {}", ReportName(c.reports[r]), d), r});
    // Codes that only moved leave every report's own list alike only when nothing else changed.
    if (check.breaches.empty() && !c.postcodes.empty())
      check.breaches.push_back({fmt::format("{} POST codes differ in order", c.postcodes.size()), std::nullopt});
    checks.push_back(std::move(check));
  }
  if (budget.resultsMatch) {
    BudgetCheck check{"results", "the same reports, results and stopped calls", {}};
    for (size_t r = 0; r < c.reports.size(); ++r) {
      const ReportChange& rc = c.reports[r];
      if (!rc.resultsDiffer) continue;
      const char* what = rc.kind == ReportChange::Kind::Added ? "only in B" : rc.kind == ReportChange::Kind::Removed ? "only in A" : "";
      for (const std::string& d : rc.differences)
        if (d.rfind("POST codes", 0) != 0 || rc.kind != ReportChange::Kind::Changed)
          check.breaches.push_back({fmt::format("{}{}{}: {}", ReportName(rc), *what ? " " : "", what, d), r});
    }
    checks.push_back(std::move(check));
  }
  if (budget.haltMatch) {
    BudgetCheck check{"halt", "the same halt and cycle", {}};
    for (const std::string& h : c.halt) check.breaches.push_back({"halt: " + h, std::nullopt});
    checks.push_back(std::move(check));
  }
  if (budget.faults != FaultRule::Any) {
    BudgetCheck check{"faults", budget.faults == FaultRule::Match ? "the same faults" : "no new fault", {}};
    auto describe = [](const FaultFacts& f) { return fmt::format("{} at {} during {}: {}", f.kind, f.where, f.during, f.detail); };
    for (const FaultFacts& f : c.newFaults) check.breaches.push_back({"new fault: " + describe(f), std::nullopt});
    if (budget.faults == FaultRule::Match)
      for (const FaultFacts& f : c.goneFaults) check.breaches.push_back({"fault gone: " + describe(f), std::nullopt});
    checks.push_back(std::move(check));
  }
  if (budget.reportInstructions.Set())
    checks.push_back(PerCallGrowth("report instructions", "instructions", budget.reportInstructions, c, a, b));
  if (budget.reportTime.Set()) checks.push_back(PerCallGrowth("report time", "time_ns", budget.reportTime, c, a, b));
  if (budget.totalInstructions.Set()) {
    BudgetCheck check{"total instructions", GrowthRule(budget.totalInstructions) + " in the whole run", {}};
    const auto ta = a.totals.find("instructions"), tb = b.totals.find("instructions");
    std::string why;
    if (ta == a.totals.end() || tb == b.totals.end() || !ta->second || !tb->second)
      check.breaches.push_back({"instructions are not counted on both sides: the limit cannot be checked", std::nullopt});
    else if (!WithinGrowth(budget.totalInstructions, *ta->second, *tb->second, why))
      check.breaches.push_back({fmt::format("instructions {} -> {}: {}", *ta->second, *tb->second, why), std::nullopt});
    checks.push_back(std::move(check));
  }
  if (budget.maxStackBytes) {
    BudgetCheck check{"stack", fmt::format("at most {} bytes in any call", *budget.maxStackBytes), {}};
    const auto tb = b.totals.find("max_stack_bytes");
    if (tb == b.totals.end() || !tb->second)
      check.breaches.push_back({"B does not measure the stack: the limit cannot be checked", std::nullopt});
    else if (*tb->second > *budget.maxStackBytes)
      check.breaches.push_back({fmt::format("deepest stack {} bytes, more than {}", *tb->second, *budget.maxStackBytes), std::nullopt});
    checks.push_back(std::move(check));
  }
  return checks;
}

}  // namespace comparison
