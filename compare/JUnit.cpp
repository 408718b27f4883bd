#include "compare/JUnit.h"

#include <fmt/format.h>

#include <algorithm>
#include <fstream>

namespace comparison {

size_t TestSuite::Failures() const {
  return static_cast<size_t>(std::count_if(cases.begin(), cases.end(), [](const TestCase& c) { return c.failure.has_value(); }));
}

std::string XmlText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default:
        if (c == '\t' || c == '\n' || c == '\r' || (c >= 0x20 && c < 0x7F))
          out += ch;
        else
          out += fmt::format("\\x{:02X}", c);
    }
  }
  return out;
}

std::string JUnitXml(const TestSuite& suite) {
  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  out += fmt::format("<testsuites tests=\"{0}\" failures=\"{1}\">\n", suite.cases.size(), suite.Failures());
  out += fmt::format("  <testsuite name=\"{}\" tests=\"{}\" failures=\"{}\" errors=\"0\" skipped=\"0\">\n",
                     XmlText(suite.name), suite.cases.size(), suite.Failures());
  for (const TestCase& c : suite.cases) {
    out += fmt::format("    <testcase classname=\"{}\" name=\"{}\"", XmlText(suite.name), XmlText(c.name));
    if (!c.failure && c.details.empty()) {
      out += "/>\n";
      continue;
    }
    out += ">\n";
    if (c.failure)
      out += fmt::format("      <failure message=\"{}\">{}</failure>\n", XmlText(*c.failure), XmlText(c.details));
    else
      out += fmt::format("      <system-out>{}</system-out>\n", XmlText(c.details));
    out += "    </testcase>\n";
  }
  out += "  </testsuite>\n</testsuites>\n";
  return out;
}

void WriteJUnit(const std::string& path, const TestSuite& suite) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << JUnitXml(suite);
  out.close();
  if (!out) throw std::runtime_error(path + ": cannot write the JUnit file");
}

TestSuite RunSuite(const RunDocument& run) {
  TestSuite suite{fmt::format("sinksim {} {}", run.machine, run.scenarioName), {}};
  constexpr std::string_view kBlink = "blink loop";
  auto judge = [&](TestCase& t, const std::string& during, const std::vector<std::string>& stopped) {
    std::vector<std::string> problems;
    for (size_t h = 0; h < stopped.size(); ++h)
      if (!stopped[h].empty() && stopped[h] != kBlink)
        problems.push_back(fmt::format("{} stopped: {}", h < run.handlers.size() ? run.handlers[h] : "handler", stopped[h]));
    for (const FaultFacts& f : run.faults)
      if (f.during == during || f.during.rfind(during + ",", 0) == 0)
        problems.push_back(fmt::format("faulted: {} at {}: {}", f.kind, f.where, f.detail));
    if (!problems.empty()) {
      t.failure = problems.front();
      for (const std::string& p : problems) t.details += p + "\n";
    }
  };
  TestCase entry{"entry", std::nullopt, ""};
  judge(entry, "entry", {run.entryStopped});
  suite.cases.push_back(std::move(entry));
  for (const ReportFacts& r : run.reports) {
    TestCase t{fmt::format("report {} (type 0x{:X}, value 0x{:X})", r.index, r.type, r.value), std::nullopt, ""};
    judge(t, fmt::format("report {}", r.index), r.stopped);
    for (const std::string& s : r.stopped)
      if (s == kBlink) t.details = "halted as designed: blink loop";
    suite.cases.push_back(std::move(t));
  }
  return suite;
}

TestSuite DiffSuite(const Comparison& c) {
  TestSuite suite{"sinksim diff " + c.scenario, {}};
  for (const BudgetCheck& b : c.budgets) {
    TestCase t{"budget: " + b.name, std::nullopt, ""};
    if (!b.Passed()) {
      t.failure = fmt::format("{} breached ({}): {}", b.name, b.rule, b.breaches.front().text);
      for (const Breach& br : b.breaches) t.details += br.text + "\n";
    }
    suite.cases.push_back(std::move(t));
  }
  for (size_t r = 0; r < c.reports.size(); ++r) {
    const ReportChange& rc = c.reports[r];
    const std::string name = rc.entry    ? "entry"
                             : rc.indexA ? fmt::format("report {}", *rc.indexA)
                                         : fmt::format("report {} of B", *rc.indexB);
    TestCase t{name, std::nullopt, ""};
    std::vector<std::string> breaches;
    for (const BudgetCheck& b : c.budgets)
      for (const Breach& br : b.breaches)
        if (br.change == r) breaches.push_back(b.name + ": " + br.text);
    for (const std::string& d : rc.differences) t.details += d + "\n";
    for (const CostChange& cost : rc.costs)
      t.details += fmt::format("{} {} {} -> {}\n", cost.handler, cost.figure, cost.a, cost.b);
    if (!breaches.empty()) {
      t.failure = breaches.front();
      for (const std::string& b : breaches) t.details += b + "\n";
    }
    suite.cases.push_back(std::move(t));
  }
  return suite;
}

TestSuite FaultMatrixSuite(const Json& matrix) {
  TestSuite suite{"sinksim faults", {}};
  for (const Json& fault : matrix.at("faults"))
    for (const Json& cell : fault.at("cells")) {
      TestCase t{fmt::format("{} / {}", fault.at("name").get<std::string>(), cell.at("kind").get<std::string>()),
                 std::nullopt, cell.at("summary").get<std::string>()};
      if (cell.contains("problem")) t.failure = cell.at("problem").get<std::string>();
      suite.cases.push_back(std::move(t));
    }
  return suite;
}

}  // namespace comparison
