#include "sim/SimPlatform.h"

namespace sim {

Platform::Platform() {
  bus.Attach(postCodes);
  bus.Attach(cmos);
  bus.Attach(legacyUart);
  bus.Attach(pciPorts);
  bus.Attach(mmioUart);
  bus.Attach(pcie);
  bus.Attach(sideband);
  bus.Attach(memoryLog);
  bus.Attach(boardRam);
  pcie.AddSidebandBridge(/*hidden=*/true);
}

PlatformState Platform::Save() const {
  return {bus.Save(), clock, postCodes, cmos, legacyUart, pciPorts, pcie, sideband, mmioUart, memoryLog, boardRam};
}

void Platform::Restore(const PlatformState& state) {
  bus.Restore(state.bus);
  clock = state.clock;
  postCodes = state.postCodes;
  cmos = state.cmos;
  legacyUart = state.legacyUart;
  pciPorts = state.pciPorts;
  pcie = state.pcie;
  sideband = state.sideband;
  mmioUart = state.mmioUart;
  memoryLog = state.memoryLog;
  boardRam = state.boardRam;
}

void Platform::EnableTiming(const TimingSettings& settings) {
  clock.Enable(settings);
  bus.SetClock(&clock);
  legacyUart.DriveWith(clock, settings.legacyUart);
  mmioUart.DriveWith(clock, settings.mmioUart);
}

void Platform::InstallDebugUart(uint32_t base, unsigned stride) {
  constexpr uint8_t kDevice = kDebugUartDevice, kFunction = kDebugUartFunction;
  pcie.AddFunction(0, kDevice, kFunction, 0x8086, 0x9DE8);
  pcie.Write32(0, kDevice, kFunction, 0x10, base);
  // The register reads as given, flag bits included; the controller decodes
  // its 4 KiB page at the address bits alone, as a memory BAR does (bits 0
  // to 3 are the BAR's type and prefetch flags, and a 4 KiB BAR has no
  // address bits below bit 12).
  mmioUart.SetBase(base & ~(MmioUart::kPageSize - 1));
  mmioUart.SetStride(stride);
  mmioUart.SetPresent(true);
  sideband.SetRegister(SidebandWindow::kSerialStridePort, SidebandWindow::kSerialStrideOffset, stride == 1 ? 4 : 0);
}

}  // namespace sim
