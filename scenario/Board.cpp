#include "scenario/Board.h"

#include <cstddef>
#include <cstring>

#include "postcode/PostCode.h"

namespace scenario {

void ApplyPlatform(const PlatformConfig& c, sim::Platform& p) {
  for (const auto& [offset, value] : c.cmos) p.cmos.Set(offset, value);
  p.pciPorts.SetHostBridgeDc(c.hostBridgeDc);
  p.pciPorts.SetAddressRegister(c.pciAddressRegister);
  p.legacyUart.SetMode(c.legacySerial);
  p.legacyUart.SetDrainPace(c.legacyDrainPace);
  if (c.mmioSerialPresent) {
    p.InstallDebugUart(c.mmioSerialBase, c.mmioStride);
    if (!c.mmioConfigVisible) p.pcie.RemoveFunction(0, sim::Platform::kDebugUartDevice, sim::Platform::kDebugUartFunction);
    p.mmioUart.SetStatus(c.mmioStatus, c.mmioReadyReads);
  }
  if (c.strideRegister)
    p.sideband.SetRegister(sim::SidebandWindow::kSerialStridePort, sim::SidebandWindow::kSerialStrideOffset,
                           *c.strideRegister);
  p.pcie.SetSidebandBridgeHidden(c.sidebandBridgeHidden);
  p.pcie.SetAllOnes(c.configSpaceAllOnes);
  p.pciPorts.SetAllOnes(c.configSpaceAllOnes);
  p.pcie.SetHideControlLocked(c.sidebandStuckHidden);
  p.sideband.SetFloating(c.sidebandStuckHidden);
  if (!c.boardRam.empty()) p.boardRam.Load(c.boardRamBase, c.boardRam);
  p.memoryLog.SetHeader(c.memoryLogHeader);
  p.bus.SetInterruptFlag(c.interruptsEnabled);
  p.bus.ClearLog();  // the log shows what the module did, not the set-up
}

PostCodeStack DecodePostCodeStack(const std::vector<uint8_t>& hob) {
  PostCodeStack s;
  // The record's layout is the module's own (PostCode.h); the bytes are read, not cast.
  if (hob.size() < sizeof(PostCodeStackHob)) return s;
  s.depth = hob[offsetof(PostCodeStackHob, Depth)];
  static_assert(sizeof(s.codes) == sizeof(PostCodeStackHob::Codes));
  std::memcpy(s.codes, hob.data() + offsetof(PostCodeStackHob, Codes), sizeof s.codes);
  std::memcpy(&s.signature, hob.data() + offsetof(PostCodeStackHob, Signature), sizeof s.signature);
  return s;
}

}  // namespace scenario
