// Translation of status codes into POST codes, and the module table's shape.
#include <gtest/gtest.h>

#include <cctype>
#include <algorithm>
#include <string>
#include <set>

#include "tests/host32/ModuleHarness.h"
#include "postcode/PostCode.h"

namespace {

using test::ModuleWithBase;

const EFI_GUID kUnknownModule = {0x01234567, 0x89AB, 0xCDEF, {1, 2, 3, 4, 5, 6, 7, 8}};
const EFI_GUID kZeroGuid = {};


enum class DataKind { None, ModuleGuid, ModuleSizeZero, NullGuidAddress, DebugType, StringType };
enum class Caller { Null, Known84, Unknown, Zero, Known84FirstWordOnly };

struct TranslateCase {
  const char* what;
  uint32_t value;
  DataKind data;
  Caller caller;
  bool expected;
  uint32_t code;  // expected code when true; the preset when the code must stay as it was
  int copies;     // CopyMem calls expected
};

constexpr uint32_t kPreset = 0xDEADBEEF;

const TranslateCase kCases[] = {
    {"fixed value, no data, no CopyMem", 0x03028004, DataKind::None, Caller::Known84, true, 0xF8, 0},
    {"fixed value ignores the caller", 0x03021001, DataKind::None, Caller::Unknown, true, 0xFC, 0},
    {"fixed value with specific data", 0x03021001, DataKind::ModuleGuid, Caller::Null, true, 0xFC, 0},
    {"fixed value with debug data", 0x03021001, DataKind::DebugType, Caller::Known84, false, kPreset, 0},
    {"fixed value with string data", 0x03028001, DataKind::StringType, Caller::Known84, false, kPreset, 0},
    {"first and last fixed rows", 0x03028009, DataKind::None, Caller::Null, true, 0xFE, 0},
    {"module begin by caller", 0x03020002, DataKind::None, Caller::Known84, true, 0x184, 1},
    {"module end by caller", 0x03020003, DataKind::None, Caller::Known84, true, 0x284, 1},
    {"push by caller", 0x03021003, DataKind::None, Caller::Known84, true, 0xC84, 1},
    {"pop leaves the code alone", 0x03021004, DataKind::None, Caller::Known84, true, kPreset, 1},
    {"pop of an unknown module", 0x03021004, DataKind::None, Caller::Unknown, false, kPreset, 1},
    {"module begin through the data ignores the caller", 0x03020002, DataKind::ModuleGuid, Caller::Unknown, true,
     0x134, 1},
    {"null GUID address in the data", 0x03020002, DataKind::NullGuidAddress, Caller::Known84, false, kPreset, 0},
    {"specific data without payload", 0x03020002, DataKind::ModuleSizeZero, Caller::Known84, false, kPreset, 0},
    {"unknown module", 0x03020002, DataKind::None, Caller::Unknown, false, kPreset, 1},
    {"a known module's first word with another last byte", 0x03020002, DataKind::None, Caller::Known84FirstWordOnly,
     false, kPreset, 1},
    {"all-zero GUID meets the zero row", 0x03020002, DataKind::None, Caller::Zero, false, kPreset, 1},
    {"null caller without data", 0x03020002, DataKind::None, Caller::Null, false, kPreset, 0},
    {"value of neither table, known module", 0x03020004, DataKind::None, Caller::Known84, false, kPreset, 1},
    {"value of another class", 0x01020002, DataKind::None, Caller::Known84, false, kPreset, 1},
};

class TranslateTable : public ::testing::TestWithParam<TranslateCase> {};

TEST_P(TranslateTable, GivesTheExpectedPostCode) {
  const TranslateCase& c = GetParam();
  test::ModuleHarness h;
  const EFI_GUID* base34 = ModuleWithBase(0x34);
  ASSERT_NE(base34, nullptr);
  const EFI_GUID* caller = nullptr;
  EFI_GUID nearMiss = *ModuleWithBase(0x84);
  nearMiss.Data4[7] ^= 0x01;
  switch (c.caller) {
    case Caller::Null: break;
    case Caller::Known84: caller = ModuleWithBase(0x84); break;
    case Caller::Unknown: caller = &kUnknownModule; break;
    case Caller::Zero: caller = &kZeroGuid; break;
    case Caller::Known84FirstWordOnly: caller = &nearMiss; break;
  }
  test::DataRecord data = test::ModuleData(base34);
  test::DataRecord debug(DebugMessageDataGuid, 4, 4);
  test::DataRecord text(StringDataGuid, 8, 8);
  const EFI_STATUS_CODE_DATA* record = nullptr;
  switch (c.data) {
    case DataKind::None: break;
    case DataKind::ModuleGuid: record = data.get(); break;
    case DataKind::ModuleSizeZero:
      data.bytes()[2] = 0;
      record = data.get();
      break;
    case DataKind::NullGuidAddress:
      data.PutU32(20, 0);
      record = data.get();
      break;
    case DataKind::DebugType: record = debug.get(); break;
    case DataKind::StringType: record = text.get(); break;
  }
  uint32_t code = kPreset;
  EXPECT_EQ(TranslateToPostCode(h.services(), c.value, caller, record, &code), c.expected ? TRUE : FALSE) << c.what;
  EXPECT_EQ(code, c.code) << c.what;
  EXPECT_EQ(h.env.pei.calls.copyMem, c.copies) << c.what;
}

INSTANTIATE_TEST_SUITE_P(Cases, TranslateTable, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<TranslateCase>& info) {
                           std::string name;
                           for (const char* p = info.param.what; *p != '\0'; ++p)
                             if (std::isalnum(static_cast<unsigned char>(*p))) name += *p;
                           return name;
                         });

TEST(Translate, NullServicesGivesNothing) {
  uint32_t code = kPreset;
  EXPECT_EQ(TranslateToPostCode(nullptr, 0x03028004, nullptr, nullptr, &code), FALSE);
  EXPECT_EQ(code, kPreset);
}

// Properties of the two tables that any correct edit keeps; a row may be
// added, removed or given another code without touching these tests.
TEST(PostCodeTables, EveryModuleRowIsReachedByItsOwnGuidAndGivesItsOwnBaseCode) {
  test::ModuleHarness h;
  std::set<std::vector<uint8_t>> guids;
  for (uint32_t i = 0; i < CallerModuleCount; ++i) {
    const CallerPostCodeRow& row = CallerPostCodeTable[i];
    const auto* b = reinterpret_cast<const uint8_t*>(&row.Guid);
    // A GUID twice would leave the later row unreachable; the all-zero GUID is the end row's.
    EXPECT_TRUE(guids.insert(std::vector<uint8_t>(b, b + 16)).second) << "GUID of row " << i << " is not unique";
    EXPECT_FALSE(std::all_of(b, b + 16, [](uint8_t x) { return x == 0; })) << "row " << i;
    uint32_t code = 0;
    ASSERT_EQ(TranslateToPostCode(h.services(), PostCodeValueModuleEnd, &row.Guid, nullptr, &code), TRUE) << "row " << i;
    EXPECT_EQ(code, row.PostCode | PostCodeFlagEnd) << "row " << i;
  }
}

TEST(PostCodeTables, BaseCodesFitTheBaseFieldAndNeverMeanNoCode) {
  for (uint32_t i = 0; i < CallerModuleCount; ++i) {
    const uint32_t code = CallerPostCodeTable[i].PostCode;
    EXPECT_NE(code, 0u) << "row " << i << ": a base code of 0 means \"no module\"";
    EXPECT_EQ(code & ~0xFFu, 0u) << "row " << i << ": the base code would run into the flag bits";
  }
  const CallerPostCodeRow& last = CallerPostCodeTable[CallerPostCodeRows - 1];
  const auto* lb = reinterpret_cast<const uint8_t*>(&last);
  EXPECT_TRUE(std::all_of(lb, lb + sizeof(last), [](uint8_t x) { return x == 0; })) << "the end row is all zero";
}

TEST(PostCodeTables, FixedAndModuleTablesAreDisjoint) {
  std::set<uint32_t> moduleCodes;
  for (uint32_t i = 0; i < CallerModuleCount; ++i) moduleCodes.insert(CallerPostCodeTable[i].PostCode);
  const std::set<uint32_t> moduleValues = {PostCodeValueModuleBegin, PostCodeValueModuleEnd, PostCodeValuePush,
                                           PostCodeValuePop};
  std::set<uint32_t> values;
  for (const ValuePostCodeRow& row : ValuePostCodeTable) {
    EXPECT_TRUE(values.insert(row.Value).second) << std::hex << row.Value << " twice";
    EXPECT_EQ(moduleValues.count(row.Value), 0u) << std::hex << row.Value << " would hide the module table";
    EXPECT_EQ(moduleCodes.count(row.PostCode), 0u) << std::hex << row.PostCode << " is also a module's base code";
    EXPECT_EQ(row.PostCode & ~0xFFu, 0u) << std::hex << row.PostCode;
    EXPECT_NE(row.PostCode, 0xFAu);
  }
}

}  // namespace
