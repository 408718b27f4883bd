// The text view on a terminal: every text that comes from an input file
// (scenario, linker map, count ranges, volume, image path) is escaped like
// the board's own text, so that no control sequence in a file reaches the
// terminal raw and no line break or carriage return rewrites the view.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "run/RunResult.h"
#include "run/TextView.h"
#include "scenario/Scenario.h"

namespace {

// An erase-screen sequence, a window-title sequence ended by BEL, a
// carriage return and a line break, and a byte above ASCII.
constexpr const char* kHostile = "a\x1b[2J\x1b]0;t\x07\rb\nc\xff";
constexpr const char* kEscaped = "a\\x1B[2J\\x1B]0;t\\x07\\x0Db\\x0Ac\\xFF";

struct Board {
  scenario::Scenario scenario;
  run::RunResult run;
  run::RenderContext context;

  Board() {
    scenario.path = "plain.json";
    scenario.name = "plain";
    run.scenario = &scenario;
    run.imagePath = "plain.fv";
    run.imageBase = 0x1000;
    run.entry.status = 0;
    run.handlers = {0x1100};
  }
};

TEST(TextView, TextFromInputFilesIsEscapedLikeTheBoardsText) {
  const struct {
    const char* what;
    std::function<void(Board&)> put;
  } cases[] = {
      {"scenario name", [](Board& b) { b.scenario.name = kHostile; }},
      {"scenario path when it has no name",
       [](Board& b) {
         b.scenario.name.clear();
         b.scenario.path = kHostile;
       }},
      {"scenario description", [](Board& b) { b.scenario.description = kHostile; }},
      {"image path", [](Board& b) { b.run.imagePath = kHostile; }},
      {"a dispatch step naming a file of the volume", [](Board& b) { b.run.dispatch = {"PEIM", kHostile}; }},
      {"a handler's name from the map", [](Board& b) { b.context.symbols[0x100] = kHostile; }},
      {"where a fault was, from the map",
       [](Board& b) {
         b.context.symbols[0x200] = kHostile;
         b.run.faults.push_back({"image write", 0x1200, 0x1200, 1, 0, "entry", ""});
       }},
      {"a fault's detail", [](Board& b) { b.run.faults.push_back({"hlt", 0, 0, 0, 0, "entry", kHostile}); }},
      {"a count range's name", [](Board& b) { b.run.countRanges = {{0, 0x10, kHostile}}; }},
      {"a count range crossing", [](Board& b) {
         b.run.countRanges = {{0, 0x10, "r"}};
         b.run.countRangeCrossings = {kHostile};
       }},
  };
  for (const auto& c : cases) {
    Board b;
    c.put(b);
    const std::string text = run::ToText(b.run, b.context);
    EXPECT_NE(text.find(kEscaped), std::string::npos) << c.what << ":\n" << text;
    for (const char ch : text) {
      const auto byte = static_cast<unsigned char>(ch);
      ASSERT_TRUE(byte == '\n' || (byte >= 0x20 && byte < 0x7F)) << c.what << ": raw byte " << int{byte};
    }
  }
}

}  // namespace
