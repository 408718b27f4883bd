// Platform register access against the device models: configuration
// addresses, serial controller base addresses with their fallback, sideband
// reads with the bridge's hide control, and host bridge register 0xDC.
#include <gtest/gtest.h>

#include <vector>

#include "sim/host32/HostPlatform.h"
#include "sim/SimPlatform.h"
#include "platform/RegisterAccess.h"

namespace {

using sim::Access;
using sim::AccessKind;
using sim::IoR;
using sim::IoW;
using sim::MemR;
using sim::MemW;

const Access kCli{AccessKind::InterruptsOff, 0, 0, 0};
const Access kSti{AccessKind::InterruptsOn, 0, 0, 0};

struct Board {
  sim::Platform p;
  sim::ScopedPlatform scope{p};
};

TEST(SerialControllerTable, EveryIndexMapsToItsConfigurationAddress) {
  const uint32_t expected[15] = {0xE00B0000, 0xE00B1000, 0xE00B2000, 0xE00B3000, 0xE00B8000,
                                 0xE00B9000, 0xE00BA000, 0xE00BB000, 0xE00C0000, 0xE00C1000,
                                 0xE00C2000, 0xE00C3000, 0xE00C8000, 0xE00C9000, 0xE00CA000};
  for (uint32_t i = 0; i < 15; ++i)
    EXPECT_EQ(PcieConfigAddress(0, GetSerialDevice(i), GetSerialFunction(i)), expected[i]) << "index " << i;
  EXPECT_EQ(PcieConfigAddress(0, 13, 0), 0xE0068000u);
  EXPECT_EQ(GetSerialDevice(DebugUartIndex), 24);
  EXPECT_EQ(GetSerialFunction(DebugUartIndex), 2);
}

TEST(SerialControllerBar, WithNoControllerAnsweringOnlyTheDebugControllerFallsBack) {
  for (uint32_t i = 0; i < 15; ++i) {
    Board b;
    const uint32_t cfg = PcieConfigAddress(0, GetSerialDevice(i), GetSerialFunction(i));
    const uint32_t expected = i == DebugUartIndex ? 0xFEA10000u : 0xFFFFFFFFu;
    EXPECT_EQ(GetSerialDeviceBar(i, 0), expected) << "index " << i;
    EXPECT_EQ(GetSerialDeviceBar(i, 1), expected) << "index " << i;
    EXPECT_EQ(b.p.bus.Log(), (std::vector<Access>{MemR(cfg, 4, 0xFFFFFFFF), MemR(cfg, 4, 0xFFFFFFFF)}));
  }
}

TEST(SerialControllerBar, AnsweringControllerGivesItsBarOrItsConfigurationAddress) {
  struct Case {
    const char* what;
    uint32_t index;
    uint8_t barIndex;
    uint32_t idWord;
    uint32_t bar0;
    uint32_t result;
    std::vector<Access> accesses;
  };
  const std::vector<Case> cases = {
      {"BAR 0 at 0x10, flag bits cleared", 10, 0, 0x12348086, 0xFEA1000C, 0xFEA10000,
       {MemR(0xE00C2000, 4, 0x12348086), MemR(0xE00C2010, 4, 0xFEA1000C)}},
      {"bar index 1 is the configuration address", 10, 1, 0x12348086, 0xFEA1000C, 0xE00C2000, {MemR(0xE00C2000, 4, 0x12348086)}},
      {"bar index 2 reads offset 0x20", 10, 2, 0x00008086, 0xFEA1000C, 0xFE000000,
       {MemR(0xE00C2000, 4, 0x8086), MemR(0xE00C2020, 4, 0xFE000FFF)}},
      {"a BAR of 0 is passed on", 3, 0, 0x9D608086, 0, 0, {MemR(0xE00B3000, 4, 0x9D608086), MemR(0xE00B3010, 4, 0)}},
      {"another vendor: the debug controller falls back", 10, 0, 0x80861234, 0xFEB0000C, 0xFEA10000,
       {MemR(0xE00C2000, 4, 0x80861234)}},
      {"another vendor: other rows have no fallback", 9, 0, 0x80861234, 0xFEB0000C, 0xFFFFFFFF,
       {MemR(0xE00C1000, 4, 0x80861234)}},
  };
  for (const Case& c : cases) {
    Board b;
    const uint8_t dev = GetSerialDevice(c.index), fn = GetSerialFunction(c.index);
    b.p.pcie.Write32(0, dev, fn, 0x00, c.idWord);
    b.p.pcie.Write32(0, dev, fn, 0x10, c.bar0);
    b.p.pcie.Write32(0, dev, fn, 0x20, 0xFE000FFF);
    EXPECT_EQ(GetSerialDeviceBar(c.index, c.barIndex), c.result) << c.what;
    EXPECT_EQ(b.p.bus.Log(), c.accesses) << c.what;
  }
}

TEST(SidebandRegister, HiddenBridgeIsShownForTheReadAndHiddenAgain) {
  Board b;
  b.p.sideband.SetRegister(0x90, 0x618, 0xCAFE0004);
  uint32_t value = 0;
  EXPECT_EQ(ReadSidebandRegister(0x90, 0x618, &value), EFI_SUCCESS);
  EXPECT_EQ(value, 0xCAFE0004u);
  EXPECT_TRUE(b.p.pcie.SidebandBridgeHidden());
  EXPECT_EQ(b.p.bus.Log(), (std::vector<Access>{MemR(0xE0068000, 2, 0xFFFF), MemW(0xE00680E1, 1, 0),
                                                 MemR(0xD0900618, 4, 0xCAFE0004), MemW(0xE00680E1, 1, 1)}));
}

TEST(SidebandRegister, VisibleBridgeIsLeftAlone) {
  Board b;
  b.p.pcie.SetSidebandBridgeHidden(false);
  b.p.sideband.SetRegister(0x12, 0x40, 7);
  uint32_t value = 0;
  EXPECT_EQ(ReadSidebandRegister(0x12, 0x40, &value), EFI_SUCCESS);
  EXPECT_EQ(value, 7u);
  EXPECT_FALSE(b.p.pcie.SidebandBridgeHidden());
  EXPECT_EQ(b.p.bus.Log(), (std::vector<Access>{MemR(0xE0068000, 2, 0x8086), MemR(0xD0120040, 4, 7)}));
}

TEST(SidebandRegister, UnalignedOffsetOrNoOutputIsRefusedWithoutTouchingAnything) {
  Board b;
  for (uint16_t offset : {0x619, 0x61A, 0x61B}) {
    uint32_t value = 0x5A5A5A5A;
    EXPECT_EQ(ReadSidebandRegister(0x90, offset, &value), EFI_INVALID_PARAMETER);
    EXPECT_EQ(value, 0x5A5A5A5Au);
  }
  EXPECT_EQ(ReadSidebandRegister(0x90, 0x618, nullptr), EFI_INVALID_PARAMETER);
  EXPECT_TRUE(b.p.bus.Log().empty());
}

TEST(SidebandBridge, UnhideWithNoOutputStillShowsTheBridge) {
  Board b;
  UnhideSidebandBridge(0xE0068000, nullptr);
  EXPECT_FALSE(b.p.pcie.SidebandBridgeHidden());
}

TEST(HostBridgeDc, ReadsThroughTheConfigurationPortsAndRestoresAddressAndInterruptFlag) {
  for (bool interruptsOn : {true, false}) {
    for (uint32_t saved : {0x00000000u, 0x8000F840u}) {
      Board b;
      b.p.pciPorts.SetHostBridgeDc(0x10000000);
      b.p.pciPorts.SetAddressRegister(saved);
      b.p.bus.SetInterruptFlag(interruptsOn);
      b.p.bus.ClearLog();
      EXPECT_EQ(ReadHostBridgeDc(), 0x10000000u);
      EXPECT_EQ(b.p.pciPorts.AddressRegister(), saved);
      EXPECT_EQ(b.p.bus.InterruptFlag(), interruptsOn);
      std::vector<Access> expected = {kCli, IoR(0xCF8, 4, saved), IoW(0xCF8, 4, 0x800000DC),
                                      IoR(0xCFC, 4, 0x10000000), IoW(0xCF8, 4, saved)};
      if (interruptsOn) expected.push_back(kSti);
      EXPECT_EQ(b.p.bus.Log(), expected) << "interrupts " << interruptsOn << " saved " << saved;
    }
  }
}

}  // namespace
