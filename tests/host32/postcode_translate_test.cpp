// Translation of status codes into POST codes, and the module table's shape.
#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <string>
#include <set>

#include "ModuleHarness.h"
#include "PostCode.h"

namespace {

using test::ModuleWithBase;

const EFI_GUID kDebugDataGuid = {0x9A4E9246, 0xD553, 0x11D5, {0x87, 0xE2, 0x00, 0x06, 0x29, 0x45, 0xC3, 0xB9}};
const EFI_GUID kStringDataGuid = {0x92D11080, 0x496F, 0x4D95, {0xBE, 0x7E, 0x03, 0x74, 0x88, 0x38, 0x2B, 0x0A}};
const EFI_GUID kUnknownModule = {0x01234567, 0x89AB, 0xCDEF, {1, 2, 3, 4, 5, 6, 7, 8}};
const EFI_GUID kZeroGuid = {};


enum class DataKind { None, ModuleGuid, ModuleSizeZero, NullGuidAddress, DebugType, StringType };
enum class Caller { Null, Known84, Unknown, Zero };

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
  switch (c.caller) {
    case Caller::Null: break;
    case Caller::Known84: caller = ModuleWithBase(0x84); break;
    case Caller::Unknown: caller = &kUnknownModule; break;
    case Caller::Zero: caller = &kZeroGuid; break;
  }
  test::DataRecord data = test::ModuleData(base34);
  test::DataRecord debug(kDebugDataGuid, 4, 4);
  test::DataRecord text(kStringDataGuid, 8, 8);
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
  EXPECT_EQ(h.env.calls.copyMem, c.copies) << c.what;
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

TEST(Translate, EveryModuleRowTranslatesToItsOwnBaseCode) {
  test::ModuleHarness h;
  for (uint32_t i = 0; i + 1 < CALLER_POST_CODE_ROWS; ++i) {
    uint32_t code = 0;
    ASSERT_EQ(TranslateToPostCode(h.services(), 0x03020003, &CallerPostCodeTable[i].Guid, nullptr, &code), TRUE);
    EXPECT_EQ(code, CallerPostCodeTable[i].PostCode | 0x200) << "row " << i;
  }
}

TEST(PostCodeTables, ModuleTableMeetsThePlatformConstraints) {
  const std::set<uint32_t> expectedCodes = {
      0x21, 0x22, 0x24, 0x25, 0x26, 0x2A, 0x2F, 0x30, 0x31, 0x33, 0x34, 0x36, 0x37, 0x39, 0x3C, 0x3E, 0x41,
      0x43, 0x45, 0x46, 0x48, 0x4E, 0x51, 0x52, 0x55, 0x5E, 0x60, 0x64, 0x6D, 0x73, 0x74, 0x78, 0x79, 0x7A,
      0x7B, 0x7F, 0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x89, 0x90, 0x91, 0x95, 0xA3, 0xA5, 0xA6, 0xCC};
  std::map<uint32_t, int> uses;
  std::set<std::vector<uint8_t>> guids;
  for (uint32_t i = 0; i + 1 < CALLER_POST_CODE_ROWS; ++i) {
    const CALLER_POST_CODE_ROW& row = CallerPostCodeTable[i];
    EXPECT_GE(row.PostCode, 0x21u) << "row " << i;
    EXPECT_LE(row.PostCode, 0xCCu) << "row " << i;
    ++uses[row.PostCode];
    const auto* b = reinterpret_cast<const uint8_t*>(&row.Guid);
    EXPECT_TRUE(guids.insert(std::vector<uint8_t>(b, b + 16)).second) << "GUID of row " << i << " is not unique";
    EXPECT_FALSE(std::all_of(b, b + 16, [](uint8_t x) { return x == 0; })) << "row " << i;
  }
  std::set<uint32_t> codes;
  for (const auto& [code, count] : uses) codes.insert(code);
  EXPECT_EQ(codes, expectedCodes);
  EXPECT_EQ(uses[0x84], 8);
  const CALLER_POST_CODE_ROW& last = CallerPostCodeTable[CALLER_POST_CODE_ROWS - 1];
  const auto* lb = reinterpret_cast<const uint8_t*>(&last);
  EXPECT_TRUE(std::all_of(lb, lb + sizeof(last), [](uint8_t x) { return x == 0; }));
}

TEST(PostCodeTables, FixedValuesAreDistinctAndNeverGiveFA) {
  std::set<uint32_t> values;
  for (const VALUE_POST_CODE_ROW& row : ValuePostCodeTable) {
    EXPECT_TRUE(values.insert(row.Value).second);
    EXPECT_NE(row.PostCode, 0xFAu);
  }
}

}  // namespace
