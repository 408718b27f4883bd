// WriteDebugText against the whole simulated board: the CMOS control byte
// and its location table, the order of the three outputs, and the legacy
// serial port's 16-byte bursts and bounded wait.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "debugtext/DebugOutput.h"
#include "tests/host32/ModuleTestEntryPoints.h"
#include "sim/host32/HostPlatform.h"
#include "sim/SimPlatform.h"

namespace {

using sim::Access;
using sim::IoR;
using sim::IoW;

constexpr uint32_t kBase = 0xFE030000;

struct Board {
  sim::Platform p;
  sim::ScopedPlatform scope{p};
  explicit Board(uint8_t control) {
    p.cmos.Set(0x5C, control);
    p.pciPorts.SetHostBridgeDc(0x10000000);
    p.InstallDebugUart(kBase, 4);
  }
  std::vector<Access> Legacy() const { return p.bus.PortAccesses(0x3F8, 0x3FF); }
  // Index in the bus log of the first access that belongs to an output, or -1.
  long First(bool (*belongs)(const Access&)) const {
    const auto& log = p.bus.Log();
    auto it = std::find_if(log.begin(), log.end(), belongs);
    return it == log.end() ? -1 : static_cast<long>(it - log.begin());
  }
};

bool IsMemoryLog(const Access& a) { return a.address == 0xCF8 || (a.address >= 0x70000 && a.address <= 0x7FFFF); }
bool IsMmioSerial(const Access& a) { return a.address == 0xE00C2000; }
bool IsLegacy(const Access& a) { return a.address >= 0x3F8 && a.address <= 0x3FF; }

TEST(DebugControlByte, BitsSevenAndSixTurnOutputOnAndOffAndBitsZeroAndFourAddOutputs) {
  struct Case {
    uint8_t control;
    EFI_STATUS result;
    bool memoryLog, mmioSerial, legacy;
  };
  const Case cases[] = {
      {0x80, EFI_SUCCESS, false, false, true},  {0x91, EFI_SUCCESS, true, true, true},
      {0x81, EFI_SUCCESS, true, false, true},   {0x90, EFI_SUCCESS, false, true, true},
      {0xAE, EFI_SUCCESS, false, false, true},  {0x00, EFI_NOT_READY, false, false, false},
      {0x7F, EFI_NOT_READY, false, false, false}, {0xC0, EFI_NOT_READY, false, false, false},
      {0xD1, EFI_NOT_READY, false, false, false}, {0xFF, EFI_NOT_READY, false, false, false},
  };
  for (const Case& c : cases) {
    Board b(c.control);
    EXPECT_EQ(WriteDebugText("line\r\n", 6), c.result) << std::hex << int{c.control};
    const std::vector<Access>& log = b.p.bus.Log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[0], IoW(0x70, 1, 0x5C));
    EXPECT_EQ(log[1], IoR(0x71, 1, c.control));
    if (c.result != EFI_SUCCESS) EXPECT_EQ(log.size(), 2u) << std::hex << int{c.control};
    EXPECT_EQ(b.p.memoryLog.LogText(), c.memoryLog ? "line\r\n" : "") << std::hex << int{c.control};
    EXPECT_EQ(b.p.mmioUart.Text(), c.mmioSerial ? "line\r\n" : "") << std::hex << int{c.control};
    EXPECT_EQ(b.p.legacyUart.Text(), c.legacy ? "line\r\n" : "") << std::hex << int{c.control};
  }
}

TEST(DebugControlByte, OutputsAreWrittenMemoryLogFirstThenMmioSerialThenLegacyPort) {
  Board b(0x91);
  WriteDebugText("x", 1);
  const long log = b.First(IsMemoryLog), mmio = b.First(IsMmioSerial), legacy = b.First(IsLegacy);
  EXPECT_LT(2, log);
  EXPECT_LT(log, mmio);
  EXPECT_LT(mmio, legacy);
}

TEST(DebugControlByte, NullTextReachesOnlyTheMmioPresenceTest) {
  Board b(0x91);
  b.p.memoryLog.SetHeader(0x00000010);
  EXPECT_EQ(WriteDebugText(nullptr, 4), EFI_SUCCESS);
  EXPECT_EQ(b.p.bus.MemAccesses(0x70000, 0x7FFFF).size(), 0u);
  EXPECT_EQ(b.p.bus.MemAccesses(kBase, kBase + 0xFFF), (std::vector<Access>{sim::MemR(kBase + 0x7C, 1, 0x06)}));
  EXPECT_TRUE(b.Legacy().empty());
}

TEST(CmosLocationTable, HasNoRowForTheControlByteSoItIsAlwaysReadFromCmos) {
  Board b(0x5A);
  EXPECT_EQ(FindCmosLocation(0x5C), nullptr);
  EXPECT_EQ(FindCmosLocation(0x4F), &CmosLocationTable[24]);
  EXPECT_EQ(ReadDebugControlByte(), 0x5A);
  EXPECT_EQ(b.p.bus.Log(), (std::vector<Access>{IoW(0x70, 1, 0x5C), IoR(0x71, 1, 0x5A)}));
}

TEST(CmosLocationTable, FirstRowForTheOffsetVetoesTheReadWhenItHasAllThreeAttributeBits) {
  struct Case {
    const char* what;
    std::vector<CmosLocation> rows;
    uint32_t rowCount;  // rows the lookup may look at
    bool vetoed;
  };
  const std::vector<Case> cases = {
      {"attributes 0x0B", {{0x50, 0, 0x0B}, {0x5C, 0, 0x0B}}, 2, true},
      {"attributes 0x0F", {{0x5C, 0, 0x0F}}, 1, true},
      {"attributes 0xFF", {{0x5C, 0, 0xFF}}, 1, true},
      {"attributes 0x01", {{0x5C, 0, 0x01}}, 1, false},
      {"attributes 0x0A", {{0x5C, 0, 0x0A}}, 1, false},
      {"an earlier allowing row wins", {{0x5C, 0, 0x01}, {0x5C, 0, 0x0B}}, 2, false},
      {"an earlier vetoing row wins", {{0x5C, 0, 0x0B}, {0x5C, 0, 0x01}}, 2, true},
      {"a row past the count is not looked at", {{0x50, 0, 0x00}, {0x5C, 0, 0x0B}}, 1, false},
  };
  for (const Case& c : cases) {
    Board b(0x80);
    const uint8_t value = ReadDebugControlByteWith(c.rows.data(), c.rowCount);
    EXPECT_EQ(value, c.vetoed ? 0xFF : 0x80) << c.what;
    EXPECT_EQ(b.p.bus.Log().size(), c.vetoed ? 0u : 2u) << c.what;
  }
}

TEST(CmosLocationTable, CheckAttributesAnswersExpectedOnlyWhenEveryMaskBitIsSet) {
  const CmosLocation all{0x5C, 0, 0x0B}, some{0x5C, 0, 0x0A};
  EXPECT_EQ(CheckCmosAttributes(0x0B, 0, &all), 0);
  EXPECT_EQ(CheckCmosAttributes(0x0B, 0, &some), 1);
  EXPECT_EQ(CheckCmosAttributes(0x0B, 5, &all), 5);
  EXPECT_EQ(CheckCmosAttributes(0x0B, 5, &some), 0);
}

// Legacy port accesses as a compact pattern: 'w' one wait (line status
// read), a number the count of transmit writes that follow.
std::string Pattern(const std::vector<Access>& accesses) {
  std::string out;
  int writes = 0;
  for (const Access& a : accesses) {
    if (a.address == 0x3F8 && a.kind == sim::AccessKind::IoWrite) {
      ++writes;
      continue;
    }
    if (writes) out += std::to_string(writes);
    writes = 0;
    if (a.address == 0x3FD && a.kind == sim::AccessKind::IoRead) out += 'w';
  }
  if (writes) out += std::to_string(writes);
  return out;
}

TEST(LegacySerialPort, OneWaitPerBurstOfUpTo16Bytes) {
  struct Case {
    uint32_t length;
    const char* pattern;
  };
  const Case cases[] = {{0, ""}, {1, "w1"}, {16, "w16"}, {17, "w16w1"}, {33, "w16w16w1"}};
  const std::string text = std::string("0123456789\0BCDEFGHIJKLMNOPQRSTUVW", 33);
  for (const Case& c : cases) {
    Board b(0x80);
    EXPECT_EQ(WriteDebugText(text.data(), c.length), EFI_SUCCESS);
    EXPECT_EQ(Pattern(b.Legacy()), c.pattern) << c.length;
    EXPECT_EQ(b.p.legacyUart.Text(), text.substr(0, c.length));
  }
}

TEST(LegacySerialPort, APortDrainingAt9600BaudPaceGetsWholeLines) {
  Board b(0x80);
  // About 1,000 port reads per character: a 16-byte burst takes 16,000 reads.
  b.p.legacyUart.SetDrainPace(1000);
  const std::string line = "a slow but working port keeps every byte\r\n";
  WriteDebugText(line.data(), static_cast<uint32_t>(line.size()));
  WriteDebugText(line.data(), static_cast<uint32_t>(line.size()));
  EXPECT_EQ(b.p.legacyUart.Text(), line + line);
  EXPECT_EQ(b.p.legacyUart.Overruns(), 0u);
}

TEST(LegacySerialPort, AStuckPortCostsEachLineOneBoundedWaitAndDropsIt) {
  Board b(0x80);
  b.p.legacyUart.SetMode(sim::LegacyUart::Mode::Stuck);
  b.p.bus.SetLogLimit(0);
  EXPECT_EQ(WriteDebugText("lost line\r\n", 11), EFI_SUCCESS);
  EXPECT_EQ(b.p.legacyUart.LineStatusReads(), LegacySerialWaitLimit);
  EXPECT_EQ(WriteDebugText("next\r\n", 6), EFI_SUCCESS);
  EXPECT_EQ(b.p.legacyUart.LineStatusReads(), 2 * uint64_t{LegacySerialWaitLimit});
  EXPECT_EQ(b.p.legacyUart.Text(), "");
}

}  // namespace
