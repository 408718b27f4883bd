// Every scenario in scenarios/hostile/ on the real image: wild pointers,
// records without an end, odd sizes, deep nesting, odd memory-log headers.
// Each must run without a fault, with the image untouched, every call
// returning within the scenario's instruction budget and within 512 bytes
// of stack, or halt exactly as its description says ("[halts: blink loop]").
// A description may also name a stop or fault that an open fix will remove
// ("[until fixed: instruction budget]"): that one, and only that one, is
// tolerated until the marker is taken out.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <set>

#include "tests/host64/SystemHarness.h"

namespace {

constexpr uint32_t kStackBudgetBytes = 512;

std::vector<std::string> HostileScenarios() {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(std::string(SS_SCENARIOS) + "/hostile"))
    if (e.path().extension() == ".json") names.push_back(e.path().stem().string());
  std::sort(names.begin(), names.end());
  return names;
}

struct Expectation {
  bool blinkHalt = false;
  std::set<std::string> untilFixed;  // stop reasons or fault kinds tolerated for now
};

Expectation ExpectationOf(const std::string& description) {
  Expectation e;
  e.blinkHalt = description.find("[halts: blink loop]") != std::string::npos;
  const std::regex marker(R"(\[until fixed: ([^\]]+)\])");
  for (std::sregex_iterator it(description.begin(), description.end(), marker), end; it != end; ++it)
    e.untilFixed.insert((*it)[1].str());
  return e;
}

class Hostile : public ::testing::TestWithParam<std::string> {};

TEST_P(Hostile, RunsWithoutFaultWithinBudgetsOrHaltsWhereItSays) {
  const auto r = test::RunFile("hostile/" + GetParam() + ".json");
  const Expectation expected = ExpectationOf(r.scenario->description);
  EXPECT_TRUE(r->imageIntact);
  EXPECT_LE(r->entry.stackBytes, kStackBudgetBytes);
  bool tolerated = false;
  for (const auto& f : r->faults) {
    EXPECT_TRUE(expected.untilFixed.count(f.kind)) << f.kind << " during " << f.during << ": " << f.detail;
    tolerated = true;
  }
  for (const auto& d : r->reports)
    for (size_t h = 0; h < d.calls.size(); ++h) {
      const run::CallResult& c = d.calls[h];
      const std::string where = "report " + std::to_string(d.index) + " (" + d.report->note + "), handler " +
                                std::to_string(h);
      EXPECT_LE(c.stackBytes, kStackBudgetBytes) << where;
      if (c.stopped.empty() || (c.stopped == "blink loop" && expected.blinkHalt)) continue;
      const bool allowed = expected.untilFixed.count(c.stopped) || (c.stopped == "fault" && !r->faults.empty());
      EXPECT_TRUE(allowed) << where << " stopped: " << c.stopped;
      tolerated = true;
    }
  if (expected.blinkHalt) {
    ASSERT_TRUE(r->halt);
    EXPECT_EQ(r->halt->reason, "blink loop");
    EXPECT_EQ(run::Classify(r.run), tolerated ? run::RunEnd::Stopped : run::RunEnd::DesignedHalt);
  } else if (!tolerated) {
    EXPECT_FALSE(r->halt) << r->halt->reason;
    EXPECT_EQ(r->Delivered(), r.scenario->DeliveryCount());
    EXPECT_EQ(run::Classify(r.run), run::RunEnd::Clean);
  }
}

INSTANTIATE_TEST_SUITE_P(Scenarios, Hostile, ::testing::ValuesIn(HostileScenarios()),
                         [](const auto& info) { return info.param; });

}  // namespace
