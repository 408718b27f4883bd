// Instructions counted apart in ranges of the image (what make bench uses to
// count the format engine alone), on the bench's five lines: each range set
// below must give every call the count its expectation says, a line must
// count the same when delivered again, and ranges that cannot be counted
// exactly are refused.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include "emu/Symbols.h"
#include "run/Json.h"
#include "run/TextView.h"
#include "tests/host64/SystemHarness.h"

namespace {

using run::CountRange;

// The bench's lines, each delivered `repeat` times; kept, as runs point into them.
const scenario::Scenario& Lines(uint64_t repeat = 1) {
  static std::map<uint64_t, scenario::Scenario> kept;
  if (!kept.count(repeat)) {
    kept[repeat] = scenario::LoadScenario(std::string(SS_SCENARIOS) + "/bench/engine_lines.json");
    for (auto& r : kept[repeat].reports) r.repeat = repeat;
  }
  return kept[repeat];
}

run::RunResult Counting(const scenario::Scenario& s, std::vector<CountRange> ranges) {
  emu::RunOptions options;
  options.countRanges = std::move(ranges);
  return emu::RunScenario(test::Image(), s, options);
}

// The handlers' own functions, each from its address to the next symbol of
// the image's map (found by address, whatever the functions are called),
// and the rest of the image.
struct Split {
  std::vector<CountRange> handlers, rest;
  uint32_t firstCode = 0;  // the lowest symbol: what lies below it (the headers) is never executed
};
Split HandlersAndRest(const run::RunResult& run) {
  std::string map = SS_IMAGE;
  const auto symbols = emu::ReadMapSymbols(map.replace(map.rfind('.'), std::string::npos, ".map"));
  Split split;
  split.firstCode = symbols.empty() ? 0 : symbols.begin()->first;
  for (const uint32_t handler : run.handlers) {
    const auto next = symbols.upper_bound(handler - run.imageBase);
    EXPECT_NE(next, symbols.end());
    split.handlers.push_back({handler - run.imageBase, next == symbols.end() ? run.imageSize : next->first, ""});
  }
  std::sort(split.handlers.begin(), split.handlers.end(), [](auto& a, auto& b) { return a.start < b.start; });
  uint32_t from = 0;
  for (const CountRange& r : split.handlers) {
    if (r.start > from) split.rest.push_back({from, r.start, ""});
    from = r.end;
  }
  split.rest.push_back({from, run.imageSize, ""});
  return split;
}

// Range sets and what each call must count in them; a handler and the rest
// of the image together count each call's instructions exactly once, and a
// line spends some in the handlers and some (formatting it) outside.
TEST(CountRanges, EachCallCountsWhatItsRangesHold) {
  const run::RunResult plain = Counting(Lines(), {});
  ASSERT_EQ(plain.reports.size(), 5u);
  const Split split = HandlersAndRest(plain);
  const run::RunResult handlers = Counting(Lines(), split.handlers);
  const uint32_t entry = plain.entryPoint - plain.imageBase;
  ASSERT_GT(split.firstCode, 0u);
  enum Expect { kAll, kNone, kRestOfHandlers };
  const struct {
    const char* what;
    std::vector<CountRange> ranges;
    Expect expect;
  } cases[] = {
      {"the whole image", {{0, plain.imageSize, ""}}, kAll},
      {"an empty range at the entry point", {{entry, entry, ""}}, kNone},
      {"the headers", {{0, split.firstCode, ""}}, kNone},
      {"all but the handlers", split.rest, kRestOfHandlers},
  };
  for (const auto& c : cases) {
    const run::RunResult run = Counting(Lines(), c.ranges);
    EXPECT_TRUE(run.countRangeCrossings.empty()) << c.what;
    ASSERT_EQ(run.reports.size(), plain.reports.size()) << c.what;
    for (size_t i = 0; i < run.reports.size(); ++i) {
      uint64_t inHandlers = 0, total = 0, counted = 0;
      for (size_t h = 0; h < run.reports[i].calls.size(); ++h) {
        const auto& call = run.reports[i].calls[h];
        EXPECT_EQ(call.instructions, plain.reports[i].calls[h].instructions) << c.what;
        const uint64_t want = c.expect == kAll ? call.instructions
                              : c.expect == kNone ? 0
                                                  : call.instructions - handlers.reports[i].calls[h].rangeInstructions;
        EXPECT_EQ(call.rangeInstructions, want) << c.what << ", report " << i << ", handler " << h;
        inHandlers += handlers.reports[i].calls[h].rangeInstructions, total += call.instructions;
        counted += call.rangeInstructions;
      }
      if (c.expect == kRestOfHandlers) {
        EXPECT_TRUE(inHandlers > 0 && counted > 0 && counted < total) << "report " << i;
      }
    }
  }
}

// The first delivery of a line translates its blocks, the second finds them
// translated: the count is the same. (The first text line costs the handler
// itself two instructions more, outside the ranges counted here.) The JSON
// document shows the figure beside each call's instructions.
TEST(CountRanges, ALineCountsTheSameWhenDeliveredAgain) {
  const run::RunResult plain = Counting(Lines(), {});
  const auto rest = HandlersAndRest(plain).rest;
  const run::RunResult twice = Counting(Lines(2), rest);
  std::map<size_t, std::vector<std::vector<uint64_t>>> bySource;
  for (const auto& d : twice.reports)
    for (uint64_t k = 0; k < d.repeat; ++k) {
      bySource[d.report->source].emplace_back();
      for (const auto& c : d.calls) bySource[d.report->source].back().push_back(c.rangeInstructions);
    }
  ASSERT_EQ(bySource.size(), 5u);
  for (const auto& [source, deliveries] : bySource) {
    ASSERT_EQ(deliveries.size(), 2u);
    EXPECT_EQ(deliveries[0], deliveries[1]) << "report " << source;
    EXPECT_GT(deliveries[0][0], 0u) << "report " << source;
  }
  const run::RenderContext context;
  const auto json = run::ToJson(twice, context);
  ASSERT_EQ(json["reports"].size(), 10u);
  EXPECT_EQ(json["reports"][9]["range_instructions"][0], bySource[4][1][0]);
  EXPECT_EQ(json["count_ranges"].size(), rest.size());
  EXPECT_FALSE(run::ToJson(plain, context)["reports"][0].contains("range_instructions"));
}

TEST(CountRanges, RangesThatCannotBeCountedExactlyAreRefused) {
  const run::RunResult plain = Counting(Lines(), {});
  const struct {
    const char* what;
    std::vector<CountRange> ranges;
  } bad[] = {
      {"reversed", {{0x200, 0x100, ""}}},
      {"past the image", {{0x100, plain.imageSize + 1, ""}}},
      {"overlapping", {{0x300, 0x400, ""}, {0x100, 0x301, ""}}},
  };
  for (const auto& c : bad) EXPECT_THROW(Counting(Lines(), c.ranges), std::invalid_argument) << c.what;

  // A range that starts one byte into a handler splits the handler's first block.
  const CountRange handler = HandlersAndRest(plain).handlers[0];
  const run::RunResult split = Counting(Lines(), {{handler.start + 1, handler.end, ""}});
  ASSERT_EQ(split.countRangeCrossings.size(), 1u);
  EXPECT_NE(split.countRangeCrossings[0].find(fmt::format("block at {:#x}", handler.start)), std::string::npos)
      << split.countRangeCrossings[0];
}

}  // namespace
