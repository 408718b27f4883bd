// The memory-mapped serial controller against its model: presence tests,
// the stride chosen by the sideband register, the two reads per pass and the
// 200-pass limit.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/host32/HostPlatform.h"
#include "debugtext/MmioSerial.h"
#include "sim/SimPlatform.h"

namespace {

using sim::Access;
using sim::MemR;
using sim::MemW;

constexpr uint32_t kBase = 0xFE030000;
constexpr uint32_t kConfig = 0xE00C2000;  // 0:24.2

struct Board {
  sim::Platform p;
  sim::ScopedPlatform scope{p};
  std::vector<Access> Controller() const { return p.bus.MemAccesses(kBase, kBase + 0xFFF); }
  size_t SidebandReads() const { return p.bus.MemAccesses(0xD0000000, 0xD0FFFFFF).size(); }
};

TEST(MmioSerialPresence, NoControllerMeansNoRegisterAndNoSidebandAccess) {
  struct Case {
    const char* what;
    bool configAnswers;
    uint32_t bar;
    bool controllerAnswers;
    std::vector<Access> accesses;
  };
  const std::vector<Case> cases = {
      {"BAR reads 0", true, 0x00000000, true, {MemR(kConfig, 4, 0x8086), MemR(kConfig + 0x10, 4, 0)}},
      {"BAR below the page", true, 0x000000FF, true, {MemR(kConfig, 4, 0x8086), MemR(kConfig + 0x10, 4, 0xFF)}},
      {"fallback address, nothing answers", false, 0, false,
       {MemR(kConfig, 4, 0xFFFFFFFF), MemR(0xFEA1007C, 1, 0xFF)}},
      {"BAR set, presence byte 0xFF", true, kBase, false,
       {MemR(kConfig, 4, 0x8086), MemR(kConfig + 0x10, 4, kBase), MemR(kBase + 0x7C, 1, 0xFF)}},
  };
  for (const Case& c : cases) {
    Board b;
    b.p.sideband.SetRegister(0x90, 0x618, 4);
    if (c.configAnswers) {
      b.p.pcie.AddFunction(0, 24, 2, 0x8086, 0);
      b.p.pcie.Write32(0, 24, 2, 0x10, c.bar);
    }
    b.p.mmioUart.SetBase(c.bar ? c.bar : 0xFEA10000);
    b.p.mmioUart.SetPresent(c.controllerAnswers);
    EXPECT_EQ(WriteMmioSerial("x", 1), 0u) << c.what;
    EXPECT_EQ(b.p.bus.Log(), c.accesses) << c.what;
  }
}

TEST(MmioSerialPresence, FallbackAddressIsUsedWhenTheFunctionDoesNotAnswer) {
  Board b;
  b.p.mmioUart.SetPresent(true);  // at its fixed address 0xFEA10000
  EXPECT_EQ(WriteMmioSerial("ok", 2), 2u);
  EXPECT_EQ(b.p.mmioUart.Text(), "ok");
}

TEST(MmioSerialPresence, NullTextStopsAfterThePresenceRead) {
  Board b;
  b.p.InstallDebugUart(kBase, 4);
  EXPECT_EQ(WriteMmioSerial(nullptr, 3), 0u);
  EXPECT_EQ(b.Controller(), (std::vector<Access>{MemR(kBase + 0x7C, 1, 0x06)}));
  EXPECT_EQ(b.SidebandReads(), 0u);
}

TEST(MmioSerialStride, SidebandValueFourMeansOneByteStrideAnyOtherFourBytes) {
  struct Case {
    uint32_t sideband;
    unsigned stride;
    uint32_t iir, status;
  };
  for (const Case c : {Case{4, 1, 0x02, 0x1F}, Case{0, 4, 0x08, 0x7C}, Case{5, 4, 0x08, 0x7C}}) {
    Board b;
    b.p.InstallDebugUart(kBase, c.stride);
    b.p.sideband.SetRegister(0x90, 0x618, c.sideband);
    EXPECT_EQ(WriteMmioSerial("A", 1), 1u);
    const uint8_t presence = c.stride == 1 ? 0x00 : 0x06;  // 0x7C is no register at 1-byte stride
    EXPECT_EQ(b.p.bus.Log(),
              (std::vector<Access>{MemR(kConfig, 4, 0x9DE88086), MemR(kConfig + 0x10, 4, kBase),
                                   MemR(kBase + 0x7C, 1, presence), MemR(0xE0068000, 2, 0xFFFF),
                                   MemW(0xE00680E1, 1, 0), MemR(0xD0900618, 4, c.sideband), MemW(0xE00680E1, 1, 1),
                                   MemR(kBase + c.iir, 1, 0xC1), MemR(kBase + c.status, 1, 0x06), MemW(kBase, 1, 'A')}))
        << "sideband " << c.sideband;
  }
}

TEST(MmioSerialStride, LengthZeroReadsTheSidebandRegisterButNeverPolls) {
  Board b;
  b.p.InstallDebugUart(kBase, 4);
  EXPECT_EQ(WriteMmioSerial("", 0), 0u);
  EXPECT_EQ(b.SidebandReads(), 1u);
  EXPECT_EQ(b.Controller(), (std::vector<Access>{MemR(kBase + 0x7C, 1, 0x06)}));
}

TEST(MmioSerialPolling, EachPassReadsTwoRegistersAndTheLimitIs200PassesWithoutAByte) {
  using Status = sim::MmioUart::Status;
  struct Case {
    const char* what;
    Status status;
    uint64_t readyReads;  // counts the presence read too (4-byte stride)
    std::string text;
    std::string sent;
    size_t passes;
  };
  const std::vector<Case> cases = {
      {"always ready: one pass per byte", Status::AlwaysReady, 0, "hello", "hello", 5},
      {"never ready: 200 passes, nothing sent", Status::NeverReady, 0, "abc", "", 200},
      {"ready on the first pass only", Status::ReadyForFirst, 2, "abcd", "a", 1 + 199},
      {"ready for three passes", Status::ReadyForFirst, 4, "abcdef", "abc", 3 + 199},
      {"NUL is sent like any byte", Status::AlwaysReady, 0, std::string("a\0b", 3), std::string("a\0b", 3), 3},
  };
  for (const Case& c : cases) {
    Board b;
    b.p.InstallDebugUart(kBase, 4);
    b.p.mmioUart.SetStatus(c.status, c.readyReads);
    EXPECT_EQ(WriteMmioSerial(c.text.data(), static_cast<uint32_t>(c.text.size())), c.text.size()) << c.what;
    EXPECT_EQ(b.p.mmioUart.Text(), c.sent) << c.what;
    // After the presence read: per pass, register 2 then register 31, then the write if any.
    const std::vector<Access> log = b.Controller();
    size_t passes = 0, i = 1;
    while (i < log.size()) {
      ASSERT_EQ(log[i].address, kBase + 0x08) << c.what << " at " << i;
      ASSERT_EQ(log[i + 1].address, kBase + 0x7C) << c.what << " at " << i;
      ++passes;
      i += 2;
      if (i < log.size() && log[i].kind == sim::AccessKind::MemWrite) ++i;
    }
    EXPECT_EQ(passes, c.passes) << c.what;
  }
}

}  // namespace
