// The simulated board: every device model, wired to one bus. The host32
// platform seam and the emulated machine both drive an instance of this.
#ifndef STATUSSINK_SIM_PLATFORM_H
#define STATUSSINK_SIM_PLATFORM_H

#include <cstdint>

#include "sim/BoardClock.h"
#include "sim/Cmos.h"
#include "sim/LegacyUart.h"
#include "sim/Machine.h"
#include "sim/MemoryLogRam.h"
#include "sim/MmioUart.h"
#include "sim/PciConfigPorts.h"
#include "sim/PcieConfigWindow.h"
#include "sim/PostCodePort.h"
#include "sim/RamWindow.h"
#include "sim/SidebandWindow.h"

namespace sim {

// A fresh board: CMOS all zeros (debug output off), the legacy serial port
// present and draining at once, host bridge register 0xDC at 0 (memory log
// gated off), the sideband bridge present and hidden, no serial-IO function
// in the configuration window, sideband registers 0, the memory-mapped
// serial controller absent at its fixed address 0xFEA10000, the memory log
// window all zeros, no other RAM on the bus.
struct PlatformState;

struct Platform {
  Platform();
  Platform(const Platform&) = delete;
  Platform& operator=(const Platform&) = delete;

  // Makes the chipset's debug serial controller (bus 0, device 24, function 2)
  // answer: its configuration function with vendor id 0x8086 and base address
  // register 0 = base (flag bits included), the controller present at base
  // with its low 12 bits clear and the given register stride (1 or 4), and
  // the sideband register (port 0x90, offset 0x618) that announces the stride
  // (4 for a 1-byte stride, 0 otherwise).
  void InstallDebugUart(uint32_t base, unsigned stride);
  static constexpr uint8_t kDebugUartDevice = 24, kDebugUartFunction = 2;

  // Every device's state and the bus's, taken and put back as a whole: the
  // board returned to an earlier moment (a machine reset to its state after
  // the module's entry). The devices stay attached to the bus.
  PlatformState Save() const;
  void Restore(const PlatformState& state);

  // Runs the board on its clock from now on: every bus access costs its
  // time and the UARTs drain at their baud rate (see sim/BoardClock.h).
  void EnableTiming(const TimingSettings& settings);

  Machine bus;
  BoardClock clock;  // off unless EnableTiming
  PostCodePort postCodes;
  Cmos cmos;
  LegacyUart legacyUart;
  PciConfigPorts pciPorts;
  PcieConfigWindow pcie;
  SidebandWindow sideband;
  MmioUart mmioUart;
  MemoryLogRam memoryLog;
  RamWindow boardRam;  // empty unless a fault puts bytes there
};

struct PlatformState {
  Machine::State bus;
  BoardClock clock;
  PostCodePort postCodes;
  Cmos cmos;
  LegacyUart legacyUart;
  PciConfigPorts pciPorts;
  PcieConfigWindow pcie;
  SidebandWindow sideband;
  MmioUart mmioUart;
  MemoryLogRam memoryLog;
  RamWindow boardRam;
};

}  // namespace sim

#endif
