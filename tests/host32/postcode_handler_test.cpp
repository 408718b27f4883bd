// The POST code handler: the nesting stack in its HOB, the port writes, and
// the blink loop of an unrecoverable error.
#include <gtest/gtest.h>

#include <csetjmp>
#include <cstring>

#include "tests/host32/ModuleHarness.h"
#include "postcode/PostCode.h"

namespace {

using test::ModuleWithBase;

constexpr uint32_t kProgress = EFI_PROGRESS_CODE;
constexpr uint32_t kBegin = PostCodeValueModuleBegin;
constexpr uint32_t kPush = PostCodeValuePush;
constexpr uint32_t kPop = PostCodeValuePop;


PostCodeStackHob* AddRecord(sim::PeiEnvironment& env, uint32_t signature = PostCodeStackSignature,
                            uint16_t length = 56, uint16_t type = PostCodeStackHobType) {
  auto* record = reinterpret_cast<PostCodeStackHob*>(env.AppendHob(type, length));
  record->Depth = 0;
  if (length >= 56) record->Signature = signature;
  return record;
}

struct PostCodeHandlerTest : ::testing::Test {
  test::ModuleHarness h;
  const EFI_GUID* m84 = ModuleWithBase(0x84);
  const EFI_GUID* m31 = ModuleWithBase(0x31);
  EFI_STATUS Report(uint32_t value, const EFI_GUID* caller, uint32_t type = kProgress) {
    return PostCodeHandler(h.services(), type, value, 0, caller, nullptr);
  }
  std::vector<uint16_t> Port() const { return h.platform.postCodes.Codes(); }
};

TEST_F(PostCodeHandlerTest, PushBeginPopShowsTheEnclosingCodeAgain) {
  PostCodeStackHob* r = AddRecord(h.env);
  r->Codes[0] = 0x0123;
  EXPECT_EQ(Report(kPush, m84), EFI_SUCCESS);
  EXPECT_EQ(r->Depth, 1);
  EXPECT_EQ(r->Codes[1], 0xC84u);
  EXPECT_EQ(Report(kBegin, m31), EFI_SUCCESS);
  EXPECT_EQ(r->Codes[1], 0x131u);
  EXPECT_EQ(Report(kPop, m84), EFI_SUCCESS);
  EXPECT_EQ(r->Depth, 0);
  EXPECT_EQ(r->Codes[0], 0x0123u);
  EXPECT_EQ(Port(), (std::vector<uint16_t>{0x0C84, 0x0131, 0x0123}));
  // Every write is one 16-bit access to port 0x80.
  for (const sim::Access& a : h.platform.bus.Log()) EXPECT_EQ(a, sim::IoW(0x80, 2, a.value));
}

TEST_F(PostCodeHandlerTest, StackDepthStaysBetweenZeroAndNine) {
  PostCodeStackHob* r = AddRecord(h.env);
  for (int i = 0; i < 10; ++i) Report(kPush, (i == 9) ? m31 : m84);
  EXPECT_EQ(r->Depth, 9);
  EXPECT_EQ(r->Codes[9], 0xC31u);  // the tenth push replaced the top level
  EXPECT_EQ(r->Codes[8], 0xC84u);
  for (int i = 0; i < 11; ++i) Report(kPop, m84);
  EXPECT_EQ(r->Depth, 0);
  EXPECT_EQ(Port().back(), static_cast<uint16_t>(r->Codes[0]));
}

TEST_F(PostCodeHandlerTest, OnlyTheLowSixteenBitsReachThePortWhileTheStackKeepsTheWord) {
  PostCodeStackHob* r = AddRecord(h.env);
  r->Codes[0] = 0xABCD1234;
  Report(kPop, m84);
  EXPECT_EQ(Port(), std::vector<uint16_t>{0x1234});
  EXPECT_EQ(r->Codes[0], 0xABCD1234u);
}

TEST_F(PostCodeHandlerTest, TheLastOfSeveralRecordsIsTheOneUsed) {
  PostCodeStackHob* first = AddRecord(h.env);
  PostCodeStackHob* second = AddRecord(h.env);
  first->Codes[0] = second->Codes[0] = 0;
  Report(kBegin, m84);
  EXPECT_EQ(first->Codes[0], 0u);
  EXPECT_EQ(second->Codes[0], 0x184u);
}

TEST_F(PostCodeHandlerTest, RecordsNeedTypeSignatureAndRoom) {
  struct Case {
    const char* what;
    uint32_t signature;
    uint16_t length;
    uint16_t type;
  } cases[] = {{"wrong signature", 0x31736370, 56, PostCodeStackHobType},
               {"too short to hold the stack", PostCodeStackSignature, 16, PostCodeStackHobType},
               {"another HOB type that carries the signature", PostCodeStackSignature, 56, 0x0004}};
  for (const Case& c : cases) {
    test::ModuleHarness local;
    auto* fake = reinterpret_cast<uint8_t*>(AddRecord(local.env, c.signature, c.length, c.type));
    const std::vector<uint8_t> before(fake, fake + c.length);
    // A short HOB followed by bytes that would look like a signature at offset 52.
    uint8_t* next = local.env.AppendHob(0x0004, 48);
    if (c.length < 56) std::memcpy(fake + 52, "pcs0", 4);
    EXPECT_EQ(PostCodeHandler(local.services(), kProgress, kBegin, 0, m84, nullptr), EFI_NOT_FOUND) << c.what;
    EXPECT_TRUE(local.platform.postCodes.Codes().empty()) << c.what;
    EXPECT_EQ(std::vector<uint8_t>(fake, fake + c.length), before) << c.what;
    EXPECT_EQ(reinterpret_cast<EFI_HOB_GENERIC_HEADER*>(next)->HobType, 0x0004) << c.what;
  }
}

TEST_F(PostCodeHandlerTest, MissingOrBrokenListsAnswerNotFoundAndWriteNothing) {
  struct Case {
    const char* what;
    void (*arrange)(sim::PeiEnvironment&);
  } cases[] = {
      {"empty list", [](sim::PeiEnvironment&) {}},
      {"GetHobList fails", [](sim::PeiEnvironment& e) { AddRecord(e); e.pei.switches.failGetHobList = true; }},
      {"GetHobList gives null", [](sim::PeiEnvironment& e) { AddRecord(e); e.pei.switches.nullHobList = true; }},
      {"zero HobLength before the record",
       [](sim::PeiEnvironment& e) {
         // A HOB claiming length 0 would make the walk stand still for ever.
         std::vector<uint8_t> raw(128, 0);
         raw[0] = 0x04;  // type 4, length 0
         raw[8 + 0] = 0x01; raw[8 + 1] = 0x10; raw[8 + 2] = 56;  // a record behind it, never reached
         e.pei.hobs.SetRaw(raw);
       }},
  };
  for (const Case& c : cases) {
    test::ModuleHarness local;
    c.arrange(local.env);
    EXPECT_EQ(PostCodeHandler(local.services(), kProgress, kBegin, 0, m84, nullptr), EFI_NOT_FOUND) << c.what;
    EXPECT_TRUE(local.platform.bus.Log().empty()) << c.what;
  }
}

TEST_F(PostCodeHandlerTest, TheWalkStepsExactlyHobLengthOverShortHobsBeforeTheRecord) {
  // A header-only HOB (length 8, the shortest legal one) and a HOB whose
  // length is no multiple of 8 stand before the record; the next HOB starts
  // exactly HobLength bytes on in both cases.
  for (uint16_t firstLength : {8, 12, 20}) {
    test::ModuleHarness local;
    std::vector<uint8_t> raw(firstLength + 56 + 8, 0);
    raw[0] = 0x04;
    raw[2] = static_cast<uint8_t>(firstLength);
    uint8_t* record = raw.data() + firstLength;
    record[0] = 0x01; record[1] = 0x10; record[2] = 56;
    std::memcpy(record + 52, "pcs0", 4);
    uint8_t* end = record + 56;
    end[0] = 0xFF; end[1] = 0xFF; end[2] = 8;
    local.env.pei.hobs.SetRaw(raw);
    EXPECT_EQ(PostCodeHandler(local.services(), kProgress, kBegin, 0, m84, nullptr), EFI_SUCCESS) << firstLength;
    EXPECT_EQ(local.platform.postCodes.Codes(), std::vector<uint16_t>{0x184}) << firstLength;
  }
}

TEST_F(PostCodeHandlerTest, CodesWithoutPostCodeSucceedWithoutLookingForTheRecord) {
  EXPECT_EQ(Report(0x03020099, m84), EFI_SUCCESS);
  EXPECT_EQ(h.env.pei.calls.getHobList, 0);
  EXPECT_TRUE(h.platform.bus.Log().empty());
}

TEST_F(PostCodeHandlerTest, CorruptedDepthIsTakenAsTheLastLevel) {
  for (uint8_t corrupt : {10, 200}) {  // the first depth past the last level, and a wild one
    test::ModuleHarness local;
    PostCodeStackHob* r = AddRecord(local.env);
    r->Depth = corrupt;
    PostCodeHandler(local.services(), kProgress, kBegin, 0, m84, nullptr);
    EXPECT_EQ(r->Codes[9], 0x184u) << int{corrupt};
    EXPECT_EQ(r->Signature, PostCodeStackSignature) << int{corrupt};  // nothing written past Codes
    PostCodeHandler(local.services(), kProgress, kPop, 0, m84, nullptr);
    EXPECT_EQ(r->Depth, 8) << int{corrupt};
  }
}

TEST_F(PostCodeHandlerTest, ErrorsThatAreNotUnrecoveredWriteOnceAndReturn) {
  AddRecord(h.env);
  for (uint32_t severity : {0x00000000u, 0x40000000u, 0x80000000u, 0xA0000000u, 0x91000000u}) {
    h.platform.postCodes.Clear();
    EXPECT_EQ(Report(kBegin, m84, EFI_ERROR_CODE | severity), EFI_SUCCESS);
    EXPECT_EQ(Port(), std::vector<uint16_t>{0x184}) << std::hex << severity;
  }
  // Unrecovered severity with a class other than error is no error.
  h.platform.postCodes.Clear();
  EXPECT_EQ(Report(kBegin, m84, EFI_PROGRESS_CODE | EFI_ERROR_UNRECOVERED), EFI_SUCCESS);
  EXPECT_EQ(Port(), std::vector<uint16_t>{0x184});
}

std::jmp_buf gBlinkStop;

TEST_F(PostCodeHandlerTest, UnrecoveredErrorUpdatesTheRecordThenBlinksTheCodeThroughItsBytes) {
  PostCodeStackHob* r = AddRecord(h.env);
  const EFI_GUID* m34 = ModuleWithBase(0x34);
  constexpr uint64_t kPhase = PostCodeBlinkWrites;
  h.platform.bus.SetLogLimit(16);
  h.platform.postCodes.StopAfter(4 * kPhase + 3, [] { std::longjmp(gBlinkStop, 1); });
  volatile bool returned = false;
  if (setjmp(gBlinkStop) == 0) {
    Report(kBegin, m34, EFI_ERROR_CODE | EFI_ERROR_UNRECOVERED);
    returned = true;
  }
  EXPECT_FALSE(returned);
  EXPECT_EQ(r->Codes[0], 0x134u);
  const std::vector<sim::PostCodePort::Run> expected = {
      {0x0134, kPhase}, {0x3400, kPhase}, {0x0000, kPhase}, {0x0001, kPhase}, {0x0134, 3}};
  EXPECT_EQ(h.platform.postCodes.Runs(), expected);
}

}  // namespace
