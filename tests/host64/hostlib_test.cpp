// The host's one number reader: every command line and scenario number goes
// through it, so its rules are proved here once, as a table.
#include <gtest/gtest.h>

#include "hostlib/Text.h"

namespace {

using hostlib::NumberProblem;

TEST(HostNumbers, TakeOnePrefixAndDigitsOnly) {
  const struct {
    const char* text;
    bool plainIsHex;
    NumberProblem problem;
    uint64_t value;
  } cases[] = {
      {"0", false, NumberProblem::None, 0},
      {"4096", false, NumberProblem::None, 4096},
      {"0x1f", false, NumberProblem::None, 0x1F},
      {"0X1F", false, NumberProblem::None, 0x1F},
      {"18446744073709551615", false, NumberProblem::None, UINT64_MAX},
      {"0xFFFFFFFFFFFFFFFF", false, NumberProblem::None, UINT64_MAX},
      {"F2", true, NumberProblem::None, 0xF2},
      {"0x0184", true, NumberProblem::None, 0x184},
      {"0010", true, NumberProblem::None, 0x10},  // hexadecimal digits: a leading zero is no octal
      {"", false, NumberProblem::Empty, 0},
      {"0x", false, NumberProblem::NotDigits, 0},
      {"0x0x184", true, NumberProblem::NotDigits, 0},
      {"010", false, NumberProblem::LeadingZero, 0},
      {"-1", false, NumberProblem::NotDigits, 0},
      {"+0", false, NumberProblem::NotDigits, 0},
      {"+F2", true, NumberProblem::NotDigits, 0},
      {" F2", true, NumberProblem::NotDigits, 0},
      {"12 ", false, NumberProblem::NotDigits, 0},
      {"1F", false, NumberProblem::NotDigits, 0},
      {"0b101", false, NumberProblem::NotDigits, 0},
      {"18446744073709551616", false, NumberProblem::TooLarge, 0},
      {"0x10000000000000000", false, NumberProblem::TooLarge, 0},
  };
  for (const auto& c : cases) {
    const hostlib::ParsedNumber n = hostlib::ParseNumber(c.text, c.plainIsHex);
    EXPECT_EQ(n.problem, c.problem) << "'" << c.text << "'";
    if (c.problem == NumberProblem::None) {
      EXPECT_EQ(n.value, c.value) << "'" << c.text << "'";
    }
  }
}

// A GUID read in registry form and written back is the same text, in upper case.
TEST(HostGuids, ReadAndWrittenInRegistryForm) {
  const auto guid = hostlib::ParseGuid("0065d394-9951-4144-82A3-0AFC8579C251");
  ASSERT_TRUE(guid);
  EXPECT_EQ((*guid)[0], 0x94);  // the first group is a little-endian u32
  EXPECT_EQ(hostlib::GuidText(*guid), "0065D394-9951-4144-82A3-0AFC8579C251");
  for (const char* bad : {"0065D394-9951-4144-82A3-0AFC8579C25", "0065D394+9951-4144-82A3-0AFC8579C251",
                          "0065D394-9951-4144-82A3-0AFC8579C25G"})
    EXPECT_FALSE(hostlib::ParseGuid(bad)) << bad;
}

}  // namespace
