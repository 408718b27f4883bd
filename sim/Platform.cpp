#include "Platform.h"

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

void Platform::InstallDebugUart(uint32_t base, unsigned stride) {
  constexpr uint8_t kDevice = kDebugUartDevice, kFunction = kDebugUartFunction;
  pcie.AddFunction(0, kDevice, kFunction, 0x8086, 0x9DE8);
  pcie.Write32(0, kDevice, kFunction, 0x10, base);
  mmioUart.SetBase(base);
  mmioUart.SetStride(stride);
  mmioUart.SetPresent(true);
  sideband.SetRegister(SidebandWindow::kSerialStridePort, SidebandWindow::kSerialStrideOffset, stride == 1 ? 4 : 0);
}

}  // namespace sim
