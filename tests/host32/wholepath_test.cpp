// The whole module on the simulated board: the entry registers both handlers
// and creates its record, then reports go in through the router and come out
// on port 0x80, the serial ports and the memory log.
#include <gtest/gtest.h>

#include <csetjmp>
#include <string>

#include "debugtext/DebugOutput.h"
#include "debugtext/DebugTextHandler.h"
#include "start/ModuleEntry.h"
#include "tests/host32/ModuleHarness.h"
#include "tests/host32/ModuleTestEntryPoints.h"
#include "postcode/PostCode.h"

namespace {

using test::ModuleWithBase;


constexpr uint32_t kUnrecoveredError = EFI_ERROR_CODE | EFI_ERROR_UNRECOVERED;
const EFI_GUID kAssertDataGuid = {0xDA571595, 0x4D99, 0x487C, {0x82, 0x7C, 0x26, 0x22, 0x67, 0x7D, 0x33, 0x07}};
const EFI_GUID kCountingGuid = {0x03020100, 0x0504, 0x0706, {0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F}};

struct WholePath : ::testing::Test {
  test::ModuleHarness h;

  // All three outputs on, the memory log open, the chipset's serial controller answering.
  void SetUp() override {
    h.platform.cmos.Set(0x5C, 0x91);
    h.platform.pciPorts.SetHostBridgeDc(0x10000000);
    h.platform.InstallDebugUart(0xFE034000, 4);
  }
  void Start() { ASSERT_EQ(ModuleEntry(nullptr, h.services()), EFI_SUCCESS); }
  std::vector<EFI_STATUS> Report(uint32_t type, uint32_t value, const EFI_GUID* caller = nullptr,
                                 const EFI_STATUS_CODE_DATA* data = nullptr, uint32_t instance = 0) {
    return h.env.Report(type, value, instance, caller, data);
  }
  const std::string& Serial() const { return h.platform.legacyUart.Text(); }
  std::vector<uint16_t> Port() const { return h.platform.postCodes.Codes(); }
  // Everything that went to the three outputs agrees; returns the serial text.
  std::string Outputs() const {
    EXPECT_EQ(h.platform.mmioUart.Text(), Serial());
    EXPECT_EQ(h.platform.memoryLog.LogText(), Serial());
    return Serial();
  }
  std::vector<EFI_STATUS> Ok() const { return {EFI_SUCCESS, EFI_SUCCESS}; }
};

// A pointer as the error line's data piece prints it.
std::string AddressText(const void* p) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "%X", static_cast<unsigned>(reinterpret_cast<uintptr_t>(p)));
  return hex;
}

test::DataRecord DebugMessage(uint32_t level, const char* format, std::initializer_list<uint32_t> slots) {
  test::DataRecord d(DebugMessageDataGuid, 100 + std::strlen(format) + 1, static_cast<uint16_t>(100 + std::strlen(format) + 1));
  d.PutU32(20, level);
  size_t offset = 24;
  for (uint32_t slot : slots) {
    d.PutU32(offset, slot);
    offset += 4;
  }
  d.PutString(120, format);
  return d;
}

test::DataRecord Assertion(const char* file, uint32_t line, const char* description,
                           const EFI_GUID& type = kAssertDataGuid) {
  const size_t payload = 100 + std::strlen(file) + 1 + std::strlen(description) + 1;
  test::DataRecord d(type, payload, static_cast<uint16_t>(payload));
  d.PutU32(40, line);
  d.PutString(52, file);
  d.PutString(52 + std::strlen(file) + 1, description);
  return d;
}

test::DataRecord StringReport(uint32_t kind, const char* text) {
  test::DataRecord d(StringDataGuid, 8, 8);
  d.PutU32(20, kind);
  d.PutPointer(24, text);
  return d;
}

TEST_F(WholePath, EntryRegistersTextHandlerFirstAndCreatesAnEmptyStack) {
  h.env.pei.switches.newHobFill = 0xA5;
  Start();
  EXPECT_EQ(h.env.Handlers(), (std::vector<EFI_PEI_RSC_HANDLER_CALLBACK>{&DebugTextHandler, &PostCodeHandler}));
  PostCodeStackHob* record = FindPostCodeStackHob(h.services());
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->Header.HobType, PostCodeStackHobType);
  EXPECT_EQ(record->Header.HobLength, 56);
  EXPECT_EQ(record->Depth, 0);
  EXPECT_EQ(std::memcmp(reinterpret_cast<uint8_t*>(record) + 52, "pcs0", 4), 0);
  EXPECT_EQ(record->Codes[3], 0xA5A5A5A5u);  // the body is left as the HOB came
  EXPECT_TRUE(h.platform.bus.Log().empty());  // the entry touches no hardware
}

TEST_F(WholePath, ModuleBeginReachesEveryOutputAndPort80) {
  Start();
  test::DataRecord data = test::ModuleData(ModuleWithBase(0x34));
  EXPECT_EQ(Report(EFI_PROGRESS_CODE, 0x03020002, nullptr, data.get()), Ok());
  EXPECT_EQ(Outputs(), "<ZEB POSTCODE>: 0134\r\n");
  EXPECT_EQ(Port(), std::vector<uint16_t>{0x0134});
  EXPECT_EQ(h.platform.memoryLog.Header(), 4u + 22u);
}

TEST_F(WholePath, ControlByte80SendsToTheLegacyPortOnly) {
  h.platform.cmos.Set(0x5C, 0x80);
  Start();
  Report(EFI_PROGRESS_CODE, 0x03028004);
  EXPECT_EQ(Serial(), "<ZEB POSTCODE>: 00F8\r\n");
  EXPECT_EQ(h.platform.mmioUart.Text(), "");
  EXPECT_EQ(h.platform.memoryLog.Header(), 0u);
  EXPECT_EQ(Port(), std::vector<uint16_t>{0x00F8});
}

TEST_F(WholePath, TextLinesOfEachKind) {
  const char* longText =
      "0123456789012345678901234567890123456789012345678901234567890123456789012345678901234567890123456789"
      "0123456789012345678901234567890123456789012345678901234567890123456789012345678901234567890123456789"
      "tail";
  test::DataRecord assertion = Assertion("Foo", 42, "Bar");
  test::DataRecord assertionWithDebugGuid = Assertion("File.c", 7, "x != 0", DebugMessageDataGuid);
  test::DataRecord debug5 = DebugMessage(0x40, "Value %d\n", {5});
  test::DataRecord debugLevel2 = DebugMessage(0x2, "%a=%x %ld%c", {0, 0xBEEF, 9, 0, '!'});
  test::DataRecord debugFiltered = DebugMessage(0x800, "never shown\n", {});
  test::DataRecord text = StringReport(0, "hello");
  test::DataRecord wideText = StringReport(1, "hello");
  test::DataRecord longString = StringReport(0, longText);
  const char* name = "x";
  debugLevel2.PutPointer(24, name);

  struct Case {
    const char* what;
    uint32_t type, value, instance;
    const EFI_GUID* caller;
    const EFI_STATUS_CODE_DATA* data;
    std::string text;
    EFI_STATUS textResult;
  } cases[] = {
      {"error with caller GUID", 0x80000002, 0x03058002, 0, &kCountingGuid, nullptr,
       "ERROR: C80000002:V3058002 I0 03020100-0504-0706-0809-0A0B0C0D0E0F\r\n", EFI_SUCCESS},
      {"error without caller or data", 0x40000002, 0x0105000A, 0x1F, nullptr, nullptr,
       "ERROR: C40000002:V105000A I1F\r\n", EFI_SUCCESS},
      {"error with a string record prints the record's address", 0x80000002, 0x1, 0, nullptr, text.get(),
       "ERROR: C80000002:V1 I0 " + AddressText(text.get()) + "\r\n", EFI_SUCCESS},
      {"assertion", kUnrecoveredError, 0x00010007, 0, nullptr, assertion.get(), "\r\nPEI_ASSERT!: Foo (42): Bar\r\n",
       EFI_SUCCESS},
      {"assertion whose data has the debug-message GUID", kUnrecoveredError, 0x00010007, 0, nullptr,
       assertionWithDebugGuid.get(), "\r\nPEI_ASSERT!: File.c (7): x != 0\r\n", EFI_SUCCESS},
      {"error of another severity with operation 7 is no assertion", 0x80000002, 0x00010007, 0, nullptr,
       assertion.get(), "ERROR: C80000002:V10007 I0 " + AddressText(assertion.get()) + "\r\n", EFI_SUCCESS},
      {"assertion without data is an ordinary error", kUnrecoveredError, 0x00010007, 0, nullptr, nullptr,
       "ERROR: C90000002:V10007 I0\r\n", EFI_SUCCESS},
      {"debug message in the mask", EFI_DEBUG_CODE, 0, 0, nullptr, debug5.get(), "Value 5\r\n", EFI_SUCCESS},
      {"debug message with pointer, 64-bit and character slots", EFI_DEBUG_CODE, 0, 0, nullptr, debugLevel2.get(),
       "x=BEEF 9!", EFI_SUCCESS},
      {"debug message outside the mask", EFI_DEBUG_CODE, 0, 0, nullptr, debugFiltered.get(), "", EFI_SUCCESS},
      {"8-bit string", EFI_DEBUG_CODE, 0, 0, nullptr, text.get(), "hello\r\n", EFI_SUCCESS},
      {"string that is not 8-bit", EFI_DEBUG_CODE, 0x1234, 2, nullptr, wideText.get(),
       "Undefined: C3:V1234 I2\r\n", EFI_SUCCESS},
      {"string longer than the line is cut inside the buffer", EFI_DEBUG_CODE, 0, 0, nullptr, longString.get(),
       std::string(longText, 199), EFI_SUCCESS},
      {"undefined debug code", EFI_DEBUG_CODE, 0x00FF0001, 7, nullptr, nullptr, "Undefined: C3:VFF0001 I7\r\n",
       EFI_SUCCESS},
      {"progress code without POST code", EFI_PROGRESS_CODE, 0x03020099, 0, ModuleWithBase(0x84), nullptr, "",
       EFI_NOT_FOUND},
      {"progress code with string data never prints the string", EFI_PROGRESS_CODE, 0x03028004, 0, nullptr,
       text.get(), "", EFI_NOT_FOUND},
  };
  Start();
  for (const Case& c : cases) {
    h.platform.legacyUart.Clear();
    h.platform.mmioUart.Clear();
    h.platform.memoryLog.SetHeader(0);
    EXPECT_EQ(Report(c.type, c.value, c.caller, c.data, c.instance),
              (std::vector<EFI_STATUS>{c.textResult, EFI_SUCCESS}))
        << c.what;
    EXPECT_EQ(Outputs(), c.text) << c.what;
  }
  EXPECT_TRUE(Port().empty());  // none of these has a POST code
}

TEST_F(WholePath, PopEchoesZeroAndShowsTheEnclosingCode) {
  Start();
  const EFI_GUID* m84 = ModuleWithBase(0x84);
  Report(EFI_PROGRESS_CODE, 0x03020002, ModuleWithBase(0x31));
  Report(EFI_PROGRESS_CODE, 0x03021003, m84);
  EXPECT_EQ(Report(EFI_PROGRESS_CODE, 0x03021004, m84), Ok());
  EXPECT_EQ(Outputs(), "<ZEB POSTCODE>: 0131\r\n<ZEB POSTCODE>: 0C84\r\n<ZEB POSTCODE>: 0000\r\n");
  EXPECT_EQ(Port(), (std::vector<uint16_t>{0x0131, 0x0C84, 0x0131}));
}

// The PEI environment refusing a service: the entry still succeeds and the
// module does what it still can. One report, a module begin of the module
// with base code 0x21, goes through whatever was registered.
struct FailureCase {
  const char* what;
  void (*set)(sim::PeiSwitches&);
  std::vector<EFI_PEI_RSC_HANDLER_CALLBACK> handlers;
  int createHobCalls;
  std::vector<EFI_STATUS> results;
  std::vector<uint16_t> postcodes;
  bool text;  // the progress line reaches the serial port
};

TEST_F(WholePath, AFailingServiceLeavesWhatStillWorksWorking) {
  const FailureCase cases[] = {
      {"no handler PPI", [](sim::PeiSwitches& s) { s.failLocatePpi = true; }, {}, 0, {}, {}, false},
      {"handler PPI found at a null address", [](sim::PeiSwitches& s) { s.nullPpi = true; }, {}, 0, {}, {}, false},
      {"first Register fails", [](sim::PeiSwitches& s) { s.failRegisterCalls = {0}; }, {&PostCodeHandler}, 1,
       {EFI_SUCCESS}, {0x0121}, false},
      {"second Register fails", [](sim::PeiSwitches& s) { s.failRegisterCalls = {1}; }, {&DebugTextHandler}, 1,
       {EFI_SUCCESS}, {}, true},
      {"no room for the record", [](sim::PeiSwitches& s) { s.failCreateHob = true; },
       {&DebugTextHandler, &PostCodeHandler}, 1, {EFI_SUCCESS, EFI_NOT_FOUND}, {}, true},
      {"GetHobList fails", [](sim::PeiSwitches& s) { s.failGetHobList = true; },
       {&DebugTextHandler, &PostCodeHandler}, 1, {EFI_SUCCESS, EFI_NOT_FOUND}, {}, true},
      {"GetHobList gives a null list", [](sim::PeiSwitches& s) { s.nullHobList = true; },
       {&DebugTextHandler, &PostCodeHandler}, 1, {EFI_SUCCESS, EFI_NOT_FOUND}, {}, true},
  };
  for (const FailureCase& c : cases) {
    test::ModuleHarness local;
    local.platform.cmos.Set(DebugControlCmosOffset, DebugControlOn);
    c.set(local.env.pei.switches);
    ASSERT_EQ(ModuleEntry(nullptr, local.services()), EFI_SUCCESS) << c.what;
    EXPECT_EQ(local.env.Handlers(), c.handlers) << c.what;
    EXPECT_EQ(local.env.pei.calls.createHob, c.createHobCalls) << c.what;
    test::DataRecord data = test::ModuleData(ModuleWithBase(0x21));
    EXPECT_EQ(local.env.Report(EFI_PROGRESS_CODE, PostCodeValueModuleBegin, 0, nullptr, data.get()), c.results)
        << c.what;
    EXPECT_EQ(local.platform.postCodes.Codes(), c.postcodes) << c.what;
    EXPECT_EQ(local.platform.legacyUart.Text(), c.text ? "<ZEB POSTCODE>: 0121\r\n" : "") << c.what;
  }
}

TEST_F(WholePath, ThePpiIsFoundBelowTheIdtAndTheRecordMadeThroughTheEntryArgument) {
  h.env.StoreBelowIdt(h.env.OtherServices());
  Start();
  EXPECT_EQ(h.env.pei.calls.lastLocatePpiServices, reinterpret_cast<uintptr_t>(h.env.OtherServices()));
  EXPECT_EQ(h.env.pei.calls.lastCreateHobServices, reinterpret_cast<uintptr_t>(h.services()));
}

std::jmp_buf gStop;

TEST_F(WholePath, UnrecoverableErrorIsPrintedBeforeThePortBlinks) {
  Start();
  h.platform.bus.SetLogLimit(64);
  h.platform.postCodes.StopAfter(2 * PostCodeBlinkWrites, [] { std::longjmp(gStop, 1); });
  volatile bool returned = false;
  if (setjmp(gStop) == 0) {
    Report(kUnrecoveredError, 0x03020002, ModuleWithBase(0x34));
    returned = true;
  }
  EXPECT_FALSE(returned);
  char expected[128];
  std::snprintf(expected, sizeof expected, "ERROR: C90000002:V3020002 I0 %08X-", ModuleWithBase(0x34)->Data1);
  EXPECT_EQ(Serial().rfind(expected, 0), 0u) << Serial();
  const std::vector<sim::PostCodePort::Run> runs = {{0x0134, PostCodeBlinkWrites}, {0x3400, PostCodeBlinkWrites}};
  EXPECT_EQ(h.platform.postCodes.Runs(), runs);
}

}  // namespace
