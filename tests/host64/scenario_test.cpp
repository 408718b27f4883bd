// Scenario files: bad input is refused with the file, the report and the
// field named; records are laid out where the module reads them.
#include <gtest/gtest.h>

#include <cstring>

#include "Scenario.h"

namespace {

struct BadScenario {
  const char* name;
  const char* json;
  std::vector<const char*> mentions;
};
void PrintTo(const BadScenario& c, std::ostream* os) { *os << c.name; }


class BadScenarioFile : public ::testing::TestWithParam<BadScenario> {};

TEST_P(BadScenarioFile, IsRefusedWithFileReportAndField) {
  const BadScenario& c = GetParam();
  try {
    scenario::ParseScenario(c.json, "bad.json");
    FAIL() << "accepted";
  } catch (const scenario::ScenarioError& e) {
    const std::string what = e.what();
    EXPECT_EQ(what.rfind("bad.json:", 0), 0u) << what;
    for (const char* m : c.mentions) EXPECT_NE(what.find(m), std::string::npos) << "missing '" << m << "' in: " << what;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadScenarioFile,
    ::testing::Values(
        BadScenario{"NotJson", "{\"reports\": [\n,]}", {"line 2", "not valid JSON"}},
        BadScenario{"NoReports", "{}", {"'reports'", "missing"}},
        BadScenario{"UnknownField", R"({"reports": [{"type": 1, "value": 2, "valeu": 3}]})", {"report 0", "'valeu'", "unknown"}},
        BadScenario{"MissingValue", R"({"reports": [{"type": 1}, {"type": 1}]})", {"report 0", "'value'", "missing"}},
        BadScenario{"BadHexNumber", R"({"reports": [{"type": 1, "value": 1}, {"type": "0x1G", "value": 1}]})",
                    {"report 1", "'type'", "0x1G"}},
        BadScenario{"NumberTooLarge", R"({"reports": [{"type": "0x100000000", "value": 1}]})", {"report 0", "'type'", "does not fit"}},
        BadScenario{"NegativeNumber", R"({"reports": [{"type": -1, "value": 1}]})", {"'type'", "negative"}},
        BadScenario{"UnknownModule", R"({"reports": [{"type": 1, "value": 1, "caller": "NoSuchPei"}]})",
                    {"report 0", "'caller'", "NoSuchPei"}},
        BadScenario{"UnknownDataKind", R"({"reports": [{"type": 1, "value": 1, "data": {"kind": "blob"}}]})",
                    {"report 0", "'data.kind'", "blob"}},
        BadScenario{"DebugArgumentOfWrongType",
                    R"({"reports": [{"type": 3, "value": 1, "data": {"kind": "debug", "format": "%d", "args": [true]}}]})",
                    {"report 0", "'data.args[0]'"}},
        BadScenario{"TooManyDebugArguments",
                    R"({"reports": [{"type": 3, "value": 1, "data": {"kind": "debug", "format": "", "args": [1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1,1]}}]})",
                    {"'data.args[24]'", "24 argument slots"}},
        BadScenario{"BadStride", R"({"platform": {"mmio_serial": {"stride": 2}}, "reports": []})", {"'platform.mmio_serial.stride'"}},
        BadScenario{"BadLegacyMode", R"({"platform": {"legacy_serial": "broken"}, "reports": []})",
                    {"'platform.legacy_serial'", "broken"}},
        BadScenario{"CmosOffsetOutOfRange", R"({"platform": {"cmos": {"0x80": 1}}, "reports": []})", {"'platform.cmos.0x80'"}}),
    [](const auto& info) { return std::string(info.param.name); });

uint32_t U32At(const std::vector<uint8_t>& b, size_t at) {
  uint32_t v;
  std::memcpy(&v, &b[at], 4);
  return v;
}

TEST(ScenarioRecords, DebugRecordHoldsLevelPackedArgumentsAndFormatAtTheirOffsets) {
  const scenario::Scenario s = scenario::ParseScenario(
      R"({"reports": [{"type": 3, "value": 0, "data": {"kind": "debug", "level": "0x40", "format": "%a %ld",
         "args": [{"string": "hi"}, {"u64": "0x1122334455667788"}]}}]})",
      "x.json");
  const std::vector<uint8_t> b = s.reports[0].data->Placed(0x10000000);
  EXPECT_EQ(U32At(b, 20), 0x40u);
  const uint32_t string = U32At(b, 24) - 0x10000000;
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[string])), "hi");
  EXPECT_EQ(U32At(b, 28), 0x55667788u);
  EXPECT_EQ(U32At(b, 32), 0x11223344u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[120])), "%a %ld");
  EXPECT_EQ(b[2] | b[3] << 8, 120 - 20 + 7);  // Size: the payload up to the format's NUL
}

TEST(ScenarioRecords, AssertionRecordHoldsLineFileAndDescription) {
  const scenario::Scenario s = scenario::ParseScenario(
      R"({"reports": [{"type": "0x90000002", "value": 7, "data": {"kind": "assert", "file": "Foo.c", "line": 42, "description": "Bar"}}]})",
      "x.json");
  const std::vector<uint8_t>& b = s.reports[0].data->bytes;
  EXPECT_EQ(U32At(b, 40), 42u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[52])), "Foo.c");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[58])), "Bar");
}

TEST(ScenarioRecords, RepeatExpandsAndModuleNamesResolveToTheirGuids) {
  const scenario::Scenario s = scenario::ParseScenario(
      R"({"reports": [{"type": 1, "value": 2, "caller": "PcdPei", "repeat": 3}, {"type": 1, "value": 3}]})", "x.json");
  ASSERT_EQ(s.reports.size(), 4u);
  EXPECT_EQ(s.reports[2].source, 0u);
  EXPECT_EQ(s.reports[3].source, 1u);
  EXPECT_EQ(scenario::FormatGuid(*s.reports[0].caller), "B1AF0C16-464A-4B29-A1BC-AADF32B32E1F");
}

// The GUIDs are written once, in include/PiTypes.h, and everything takes
// them from there; this is the one place that spells them out again.
TEST(StandardGuids, AreTheStandardsValues) {
  const struct {
    const EFI_GUID& guid;
    const char* text;
  } cases[] = {
      {HandlerPpiGuid, "0065D394-9951-4144-82A3-0AFC8579C251"},
      {StatusCodeSpecificDataGuid, "335984BD-E805-409A-B8F8-D27ECE5FF7A6"},
      {DebugMessageDataGuid, "9A4E9246-D553-11D5-87E2-00062945C3B9"},
      {StringDataGuid, "92D11080-496F-4D95-BE7E-037488382B0A"},
  };
  for (const auto& c : cases) EXPECT_EQ(scenario::FormatGuid(scenario::ToGuid(c.guid)), c.text);
}

}  // namespace
