// Instructions counted apart in ranges of the image (what make bench uses to
// count the format engine alone): a range that covers the image counts every
// instruction, one that is empty or never executed counts none, a function
// and the rest of the image share each call's count exactly, a line counts
// the same every time, and ranges that cannot be counted exactly are refused.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include "Render.h"
#include "SystemHarness.h"

namespace {

using scenario::CountRange;

const scenario::Scenario& Lines() {
  static const scenario::Scenario s = scenario::LoadScenario(std::string(SS_SCENARIOS) + "/bench/engine_lines.json");
  return s;
}

emu::RunResult Counting(const scenario::Scenario& s, std::vector<CountRange> ranges) {
  emu::RunOptions options;
  options.countRanges = std::move(ranges);
  return emu::RunScenario(test::Image(), s, options);
}

// Every call of a run, the entry's first.
std::vector<const scenario::CallResult*> Calls(const emu::RunResult& run) {
  std::vector<const scenario::CallResult*> calls{&run.entry};
  for (const auto& d : run.reports)
    for (const auto& c : d.calls) calls.push_back(&c);
  return calls;
}

// The image's symbols by offset, from the map beside it.
const std::map<uint32_t, std::string>& Symbols() {
  static const auto symbols = [] {
    std::string map = SS_IMAGE;
    return emu::ReadMapSymbols(map.replace(map.rfind('.'), std::string::npos, ".map"));
  }();
  return symbols;
}

// The handlers' own functions, each from its address to the next symbol of
// the image's map: found by address, whatever the functions are called.
std::vector<CountRange> HandlerFunctions(const emu::RunResult& run) {
  const auto& symbols = Symbols();
  std::vector<CountRange> ranges;
  for (const uint32_t handler : run.handlers) {
    const uint32_t start = handler - run.imageBase;
    const auto next = symbols.upper_bound(start);
    EXPECT_TRUE(symbols.count(start) == 1 && next != symbols.end()) << fmt::format("no symbol at {:#x}", start);
    ranges.push_back({start, next == symbols.end() ? run.imageSize : next->first, "handler"});
  }
  std::sort(ranges.begin(), ranges.end(), [](const auto& a, const auto& b) { return a.start < b.start; });
  return ranges;
}

// The image less the given sorted ranges.
std::vector<CountRange> Rest(const std::vector<CountRange>& ranges, uint32_t imageSize) {
  std::vector<CountRange> rest;
  uint32_t from = 0;
  for (const CountRange& r : ranges) {
    if (r.start > from) rest.push_back({from, r.start, "rest"});
    from = r.end;
  }
  if (from < imageSize) rest.push_back({from, imageSize, "rest"});
  return rest;
}

TEST(CountRanges, TheWholeImageCountsEveryInstructionAnEmptyOrUnexecutedRangeNone) {
  const emu::RunResult plain = Counting(Lines(), {});
  ASSERT_EQ(plain.reports.size(), 5u);
  ASSERT_FALSE(plain.handlers.empty());
  const uint32_t handler = plain.handlers[0] - plain.imageBase;
  ASSERT_FALSE(Symbols().empty());
  const uint32_t firstCode = Symbols().begin()->first;
  ASSERT_GT(firstCode, 0u);
  const struct {
    const char* what;
    std::vector<CountRange> ranges;
    bool all;
  } cases[] = {
      {"the whole image", {{0, plain.imageSize, ""}}, true},
      {"an empty range at a handler", {{handler, handler, ""}}, false},
      {"the headers, never executed", {{0, firstCode, ""}}, false},
  };
  for (const auto& c : cases) {
    const emu::RunResult run = Counting(Lines(), c.ranges);
    EXPECT_TRUE(run.countRangeCrossings.empty()) << c.what;
    const auto calls = Calls(run), plainCalls = Calls(plain);
    ASSERT_EQ(calls.size(), plainCalls.size()) << c.what;
    for (size_t k = 0; k < calls.size(); ++k) {
      EXPECT_EQ(calls[k]->instructions, plainCalls[k]->instructions) << c.what << ", call " << k;
      EXPECT_EQ(calls[k]->rangeInstructions, c.all ? calls[k]->instructions : 0) << c.what << ", call " << k;
    }
    EXPECT_EQ(run.rangeInstructions, c.all ? run.instructions : 0) << c.what;
  }
}

// The handlers' own code and the rest of the image: two runs whose counts
// add up to each call's total; a report that formats a line spends some of
// its instructions outside the handlers (in the format engine), some inside.
TEST(CountRanges, AFunctionAndTheRestOfTheImageShareEachCallsCountExactly) {
  const emu::RunResult plain = Counting(Lines(), {});
  const auto own = HandlerFunctions(plain);
  const emu::RunResult inside = Counting(Lines(), own), outside = Counting(Lines(), Rest(own, plain.imageSize));
  EXPECT_TRUE(inside.countRangeCrossings.empty() && outside.countRangeCrossings.empty());
  const auto a = Calls(inside), b = Calls(outside);
  ASSERT_EQ(a.size(), b.size());
  for (size_t k = 0; k < a.size(); ++k) {
    EXPECT_EQ(a[k]->instructions, b[k]->instructions) << "call " << k;
    EXPECT_EQ(a[k]->rangeInstructions + b[k]->rangeInstructions, a[k]->instructions) << "call " << k;
  }
  for (const auto& d : inside.reports) {
    uint64_t in = 0, total = 0;
    for (const auto& c : d.calls) in += c.rangeInstructions, total += c.instructions;
    EXPECT_GT(in, 0u) << "report " << d.index;
    EXPECT_LT(in, total) << "report " << d.index;
  }
}

// Each handler call's count in the ranges, per delivery, by scenario report.
std::map<size_t, std::vector<std::vector<uint64_t>>> RangeCounts(const emu::RunResult& run) {
  std::map<size_t, std::vector<std::vector<uint64_t>>> counts;
  for (const auto& d : run.reports)
    for (uint64_t k = 0; k < d.repeat; ++k) {
      std::vector<uint64_t> calls;
      for (const auto& c : d.calls) calls.push_back(c.rangeInstructions);
      counts[d.report->source].push_back(calls);
    }
  return counts;
}

// The first delivery of a line translates its blocks, the second finds them
// translated, a second machine starts again: the count is the same each time.
// (The first text line costs the handler itself two instructions more,
// outside the ranges counted here.)
TEST(CountRanges, TheSameLineCountsTheSameEveryTime) {
  scenario::Scenario twice = Lines();
  for (auto& r : twice.reports) r.repeat = 2;
  const emu::RunResult plain = Counting(Lines(), {});
  const auto ranges = Rest(HandlerFunctions(plain), plain.imageSize);
  const emu::RunResult first = Counting(twice, ranges), second = Counting(twice, ranges);
  const auto counts = RangeCounts(first);
  ASSERT_EQ(counts.size(), 5u);
  for (const auto& [source, deliveries] : counts) {
    ASSERT_EQ(deliveries.size(), 2u);
    EXPECT_EQ(deliveries[0], deliveries[1]) << "report " << source;
    EXPECT_GT(deliveries[0][0], 0u) << "report " << source;  // every line is formatted outside the handlers
  }
  EXPECT_EQ(RangeCounts(second), counts);

  // Both JSON writers show the figure beside each call's instructions.
  const emu::RenderContext context;
  const auto json = scenario::ToJson(first, context);
  EXPECT_EQ(scenario::ToJsonText(first, context), json.dump(2));
  ASSERT_EQ(json["reports"].size(), 10u);
  EXPECT_EQ(json["reports"][9]["range_instructions"][0], first.reports.back().calls[0].rangeInstructions);
  EXPECT_EQ(json["count_ranges"].size(), ranges.size());
  EXPECT_FALSE(scenario::ToJson(plain, context)["reports"][0].contains("range_instructions"));
}

TEST(CountRanges, RangesThatCannotBeCountedExactlyAreRefused) {
  const emu::RunResult plain = Counting(Lines(), {});
  const uint32_t size = plain.imageSize;
  const struct {
    const char* what;
    std::vector<CountRange> ranges;
  } bad[] = {
      {"reversed", {{0x200, 0x100, ""}}},
      {"past the image", {{0x100, size + 1, ""}}},
      {"overlapping", {{0x300, 0x400, ""}, {0x100, 0x301, ""}}},
  };
  for (const auto& c : bad) EXPECT_THROW(Counting(Lines(), c.ranges), std::invalid_argument) << c.what;

  // A range that starts one byte into a handler splits the handler's first block.
  const auto own = HandlerFunctions(plain);
  const emu::RunResult split = Counting(Lines(), {{own[0].start + 1, own[0].end, "split"}});
  ASSERT_EQ(split.countRangeCrossings.size(), 1u);
  EXPECT_NE(split.countRangeCrossings[0].find(fmt::format("block at {:#x}", own[0].start)), std::string::npos)
      << split.countRangeCrossings[0];
}

}  // namespace
