// Scenario files: bad input is refused with the file, the report and the
// field named; records are laid out where the module reads them.
#include <gtest/gtest.h>

#include <cstring>

#include "scenario/Scenario.h"

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
        BadScenario{"CmosOffsetOutOfRange", R"({"platform": {"cmos": {"0x80": 1}}, "reports": []})", {"'platform.cmos.0x80'"}},
        // Values the parser itself refuses are named by report and field too.
        BadScenario{"NumberBeyondADouble", R"({"reports": [{"type": 1, "value": 1}, {"type": 1e400, "value": 1}]})",
                    {"report 1", "'type'", "1e400"}},
        BadScenario{"SyntaxErrorInsideAReport", "{\"reports\": [{\"type\": 1, \"value\": 1},\n {\"type\": 1, \"data\": {\"kind\": ]}]}",
                    {"line 2", "report 1", "'data.kind'", "not valid JSON"}},
        BadScenario{"SignedHexByte", R"({"reports": [{"type": 3, "value": 0, "data": {"kind": "raw", "type_guid": "PcdPei", "bytes": "00+1"}}]})",
                    {"report 0", "'data.bytes'", "\"+1\""}},
        BadScenario{"InstructionLimitBeyondItsBound", R"({"limits": {"instructions_per_call": "0xFFFFFFFFFFFFFFFF"}, "reports": []})",
                    {"'limits.instructions_per_call'", "1 to 1000000000"}},
        BadScenario{"BlinkLimitBeyondItsBound", R"({"limits": {"blink_writes": "0xFFFFFFFFFFFFFFFF"}, "reports": []})",
                    {"'limits.blink_writes'", "3932161 to 31457281"}},
        BadScenario{"BlinkLimitShorterThanACycle", R"({"limits": {"blink_writes": 3932160}, "reports": []})",
                    {"'limits.blink_writes'", "3932161 to 31457281", "whole blink cycle"}},
        BadScenario{"ZeroInstructionLimit", R"({"limits": {"instructions_per_call": 0}, "reports": []})",
                    {"'limits.instructions_per_call'", "outside"}},
        BadScenario{"CallerAndItsAddress", R"({"reports": [{"type": 1, "value": 1, "caller": "PcdPei", "caller_address": "0x1000"}]})",
                    {"report 0", "'caller_address'", "excludes 'caller'"}},
        BadScenario{"DataAndItsAddress",
                    R"({"reports": [{"type": 3, "value": 1, "data": {"kind": "string", "text": "x"}, "data_address": "0x1000"}]})",
                    {"report 0", "'data_address'", "excludes 'data'"}},
        BadScenario{"AddressBeyond32Bits", R"({"reports": [{"type": 1, "value": 1, "data_address": "0x100000000"}]})",
                    {"report 0", "'data_address'", "does not fit"}},
        // A second value for a key would silently replace the first.
        BadScenario{"KeyTwiceInAReport", R"({"reports": [{"type": 1, "value": 1}, {"type": 1, "value": 1, "type": 2}]})",
                    {"report 1", "'type'", "given twice"}},
        BadScenario{"ReportsTwice", R"({"reports": [{"type": 1, "value": 1}], "reports": []})", {"'reports'", "given twice"}},
        BadScenario{"KeyTwiceInARecord",
                    R"({"reports": [{"type": 3, "value": 1, "data": {"kind": "string", "text": "a", "text": "b"}}]})",
                    {"report 0", "'data.text'", "given twice"}},
        BadScenario{"OctalLookingNumber", R"({"reports": [{"type": "010", "value": 1}]})", {"report 0", "'type'", "leading zero"}},
        BadScenario{"TooManyReportsInAll",
                    R"({"reports": [{"type": 1, "value": 1, "repeat": 6000000}, {"type": 1, "value": 1, "repeat": 4000001}]})",
                    {"report 1", "'repeat'", "more than 10000000"}}),
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

TEST(ScenarioRecords, EmptyRawBytesGiveAHeaderOnlyRecord) {
  // No bytes means no buffer to copy from: the record is its header alone.
  const scenario::Scenario s = scenario::ParseScenario(
      R"({"reports": [{"type": 3, "value": 0, "data": {"kind": "raw", "type_guid": "PcdPei", "bytes": ""}}]})", "x.json");
  const std::vector<uint8_t>& b = s.reports[0].data->bytes;
  ASSERT_EQ(b.size(), 20u);
  EXPECT_EQ(b[2] | b[3] << 8, 0);
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

TEST(ScenarioRecords, RepeatIsDeliveredInOrderAndModuleNamesResolveToTheirGuids) {
  const scenario::Scenario s = scenario::ParseScenario(
      R"({"reports": [{"type": 1, "value": 2, "caller": "PcdPei", "repeat": 3}, {"type": 1, "value": 3, "repeat": 0},
                      {"type": 1, "value": 4}]})",
      "x.json");
  EXPECT_EQ(s.DeliveryCount(), 4u);
  std::vector<std::pair<uint64_t, uint32_t>> delivered;
  s.ForEachDelivery([&](uint64_t i, const scenario::Report& r) {
    delivered.emplace_back(i, r.value);
    return true;
  });
  EXPECT_EQ(delivered, (std::vector<std::pair<uint64_t, uint32_t>>{{0, 2}, {1, 2}, {2, 2}, {3, 4}}));
  EXPECT_EQ(hostlib::GuidText(*s.reports[0].caller), "B1AF0C16-464A-4B29-A1BC-AADF32B32E1F");
}

// Ten million repeats of one report are one report kept once: reading them
// used to copy the report ten million times (2.6 GB).
TEST(ScenarioRecords, RepeatedRecordIsKeptOnceHoweverOftenItIsDelivered) {
  const scenario::Scenario s = scenario::ParseScenario(
      R"({"reports": [{"type": 3, "value": 0, "data": {"kind": "raw", "type_guid": "PcdPei", "bytes": "00112233"},
                       "repeat": 10000000}]})",
      "x.json");
  ASSERT_EQ(s.reports.size(), 1u);
  EXPECT_EQ(s.DeliveryCount(), 10'000'000u);
  uint64_t seen = 0;
  s.ForEachDelivery([&](uint64_t i, const scenario::Report& r) {
    EXPECT_EQ(&r, &s.reports[0]);
    seen = i + 1;
    return i < 9;  // stops when asked
  });
  EXPECT_EQ(seen, 10u);
}

TEST(ScenarioRecords, PointersGivenAsAddressesAreKeptAsGiven) {
  const scenario::Scenario s = scenario::ParseScenario(
      R"({"reports": [{"type": 3, "value": 0, "caller_address": "0x12345678", "data_address": "0xFFFFFFF0"},
                      {"type": 3, "value": 0, "caller_address": 0}]})",
      "x.json");
  EXPECT_EQ(s.reports[0].callerAddress, 0x12345678u);
  EXPECT_EQ(s.reports[0].dataAddress, 0xFFFFFFF0u);
  EXPECT_FALSE(s.reports[0].caller);
  EXPECT_FALSE(s.reports[0].data);
  EXPECT_EQ(s.reports[1].callerAddress, 0u);
  EXPECT_FALSE(s.reports[1].dataAddress);
}

std::string Refusal(const std::string& json) {
  try {
    scenario::ParseScenario(json, "bad.json");
  } catch (const scenario::ScenarioError& e) {
    return e.what();
  }
  return "accepted";
}

// A note of 100,000 nested arrays overflowed the stack while the message
// serialised it; nesting is now refused early, and a message shows only the
// start of a bad value, however large.
TEST(ScenarioMessages, DeepOrHugeValuesAreRefusedWithShortMessages) {
  const std::string deep = R"({"reports": [{"type": 1, "value": 1, "note": )" + std::string(100'000, '[') +
                           std::string(100'000, ']') + "}]}";
  const std::string tooDeep = Refusal(deep);
  EXPECT_NE(tooDeep.find("report 0"), std::string::npos) << tooDeep;
  EXPECT_NE(tooDeep.find("nested deeper than 64 levels"), std::string::npos) << tooDeep;
  EXPECT_LT(tooDeep.size(), 300u);
  // 64 levels are read; the reader then says what is wrong with the value.
  const std::string deepest = R"({"reports": [{"type": 1, "value": 1, "note": )" + std::string(61, '[') +
                              std::string(61, ']') + "}]}";
  EXPECT_NE(Refusal(deepest).find("expected a string, got [[[["), std::string::npos) << Refusal(deepest);

  std::string wide = R"({"reports": [{"type": 1, "value": 1, "note": [)";
  for (int i = 0; i < 200'000; ++i) wide += "\"xxxxxxxxxx\",";
  wide += "1]}]}";
  const std::string huge = Refusal(wide);
  EXPECT_NE(huge.find("'note'"), std::string::npos) << huge;
  EXPECT_LT(huge.size(), 300u);

  const std::string longKey = Refusal(R"({"reports": [{"type": 1, "value": 1, ")" + std::string(100'000, 'k') + R"(": 1}]})");
  EXPECT_NE(longKey.find("unknown field"), std::string::npos);
  EXPECT_LT(longKey.size(), 300u);
}

// Files that are no scenario are refused by name, before anything is read
// without bound.
TEST(ScenarioFiles, DirectoriesDevicesAndMissingFilesAreRefusedClearly) {
  const struct {
    const char* path;
    const char* says;
  } cases[] = {
      {"/tmp", "is a directory"},
      {"/dev/zero", "is not a regular file"},
      {"/nonexistent/scenario.json", "cannot open"},
  };
  for (const auto& c : cases) {
    try {
      scenario::LoadScenario(c.path);
      ADD_FAILURE() << c.path << " accepted";
    } catch (const scenario::ScenarioError& e) {
      EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
    }
  }
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
  for (const auto& c : cases) EXPECT_EQ(hostlib::GuidText(scenario::ToGuid(c.guid)), c.text);
}

}  // namespace
