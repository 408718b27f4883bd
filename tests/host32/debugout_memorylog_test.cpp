// The memory log at 0x70000 against the RAM window model: the gate on host
// bridge register 0xDC, the header arithmetic (wrap count carry, offset 0
// standing for 4, damaged offsets 1 to 3), and the exact window accesses.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/host32/HostPlatform.h"
#include "debugtext/MemoryLog.h"
#include "sim/SimPlatform.h"

namespace {

using sim::Access;
using sim::MemR;
using sim::MemW;

struct Board {
  sim::Platform p;
  sim::ScopedPlatform scope{p};
  explicit Board(uint32_t dc) { p.pciPorts.SetHostBridgeDc(dc); }
  std::vector<Access> Window() const { return p.bus.MemAccesses(0x70000, 0x7FFFF); }
};

TEST(MemoryLogGate, WindowIsUsedOnlyWhenOneOfTheTopFourBitsOfRegisterDcIsSet) {
  struct Case {
    uint32_t dc;
    bool used;
  };
  for (const Case c : {Case{0, false}, Case{0x0FFFFFFF, false}, Case{0x10000000, true}, Case{0x80000000, true},
                       Case{0xF0000000, true}}) {
    Board b(c.dc);
    EXPECT_EQ(WriteMemoryLog("hi", 2), 2u);
    EXPECT_EQ(b.Window().empty(), !c.used) << std::hex << c.dc;
    EXPECT_EQ(b.p.memoryLog.LogText(), c.used ? "hi" : "") << std::hex << c.dc;
  }
}

TEST(MemoryLogHeader, LinesLandWhereTheHeaderSaysAndTheHeaderAdvancesWithWrapCarry) {
  struct Case {
    const char* what;
    uint32_t header;
    std::string text;
    std::vector<uint32_t> byteAddresses;
    uint32_t finalHeader;
  };
  const std::vector<Case> cases = {
      {"empty log", 0x00000000, "abc", {0x70004, 0x70005, 0x70006}, 0x00000007},
      {"wraps after the last byte", 0x0000FFFE, "abc", {0x7FFFE, 0x7FFFF, 0x70004}, 0x00010005},
      {"previous line ended at the last byte", 0x00010000, "a", {0x70004}, 0x00010005},
      {"wrap count rolls over", 0xFFFFFFFF, "ab", {0x7FFFF, 0x70004}, 0x00000005},
      {"length 0 on an empty log", 0x00000000, "", {}, 0x00000004},
      {"length 0 keeps the wrap count", 0x12340000, "", {}, 0x12340004},
      {"length 0 writes the header back", 0x12345678, "", {}, 0x12345678},
      {"damaged offset 1 starts at the text area", 0x00020001, "ab", {0x70004, 0x70005}, 0x00020006},
      {"damaged offset 3 starts at the text area", 0x00000003, "x", {0x70004}, 0x00000005},
      {"NUL bytes are text", 0x00000100, std::string("a\0b", 3), {0x70100, 0x70101, 0x70102}, 0x00000103},
  };
  for (const Case& c : cases) {
    Board b(0x10000000);
    b.p.memoryLog.SetHeader(c.header);
    b.p.bus.ClearLog();
    EXPECT_EQ(WriteMemoryLog(c.text.data(), static_cast<uint32_t>(c.text.size())), c.text.size()) << c.what;
    std::vector<Access> expected = {MemR(0x70000, 4, c.header)};
    for (size_t i = 0; i < c.byteAddresses.size(); ++i)
      expected.push_back(MemW(c.byteAddresses[i], 1, static_cast<uint8_t>(c.text[i])));
    expected.push_back(MemW(0x70000, 4, c.finalHeader));
    EXPECT_EQ(b.Window(), expected) << c.what;
  }
}

TEST(MemoryLogHeader, NullTextWritesNothingNotEvenTheHeader) {
  Board b(0x10000000);
  b.p.memoryLog.SetHeader(0x00010010);
  EXPECT_EQ(WriteMemoryLog(nullptr, 5), 5u);
  EXPECT_TRUE(b.p.bus.Log().empty());
  EXPECT_EQ(b.p.memoryLog.Header(), 0x00010010u);
}

TEST(MemoryLogRing, AFullRingKeepsTheNewestTextInOrder) {
  Board b(0x10000000);
  b.p.bus.SetLogLimit(0);
  std::string all;
  for (int line = 0; all.size() < 70000; ++line) {
    const std::string text = "line " + std::to_string(line) + "\r\n";
    WriteMemoryLog(text.data(), static_cast<uint32_t>(text.size()));
    all += text;
  }
  EXPECT_EQ(b.p.memoryLog.WrapCount(), 1);
  EXPECT_EQ(b.p.memoryLog.LogText(), all.substr(all.size() - 65532));
}

}  // namespace
