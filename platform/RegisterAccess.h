// Chipset registers that the debug outputs need: configuration-space
// addresses in the PCI Express window, the serial-IO controllers on bus 0 and
// their base addresses, sideband register reads, and host-bridge register
// 0xDC through the legacy configuration ports.
//
// Everything here reads. The only writes are the configuration address port
// (put back at once) and the sideband bridge's hide control (put back to its
// state on entry).
#ifndef STATUSSINK_REGISTER_ACCESS_H
#define STATUSSINK_REGISTER_ACCESS_H

#include <stdint.h>

#include "include/PiTypes.h"

// Physical base of the PCI Express configuration window. Address arithmetic
// uses its low 32 bits only; the high half is 0.
constexpr uint64_t PcieConfigBase = 0x00000000E0000000ull;

// Physical base of the chipset's sideband register window (fixed, not read
// from the bridge).
constexpr uint32_t SidebandWindowBase = 0xD0000000u;

// Bus, device and function of one serial-IO controller; all are on bus 0.
struct SerialDeviceEntry {
  uint8_t Device;
  uint8_t Function;
};

// A controller's fixed base addresses. Base is the fallback base address;
// Second is always Base + 0x1000 and is not used by this module.
struct FixedSerialBarEntry {
  uint32_t Base;
  uint32_t Second;
};

constexpr uint32_t SerialDeviceCount = 15;

// The row position is the controller's index.
extern const SerialDeviceEntry SerialDeviceTable[SerialDeviceCount];
extern const FixedSerialBarEntry FixedSerialBarTable[SerialDeviceCount];

// The memory-mapped serial controller that receives debug text (0:24.2).
constexpr uint32_t DebugUartIndex = 10;

// Physical address of a function's configuration space. Inputs are not
// masked to their field widths.
uint32_t PcieConfigAddress(uint32_t Bus, uint32_t Device, uint32_t Function);

// One aligned 32-bit read of physical memory.
uint32_t ReadPhysical32(uint32_t Address);

// The two bytes of SerialDeviceTable row Index (0 to 14, not range-checked).
uint8_t GetSerialDevice(uint32_t Index);
uint8_t GetSerialFunction(uint32_t Index);

// The controller's base address (BarIndex 0: the register at configuration
// offset 0x10, then steps of 8 bytes, low 12 bits cleared), its
// configuration-space address for BarIndex 1, the fixed fallback for the
// debug controller when it does not answer, or 0xFFFFFFFF.
uint32_t GetSerialDeviceBar(uint32_t Index, uint8_t BarIndex);

// Reads the sideband register (PortId, Offset) into *Value, showing the
// sideband bridge for the read and hiding it again if it was hidden.
// EFI_INVALID_PARAMETER, touching nothing, when Offset is not a multiple of 4
// or Value is null.
EFI_STATUS ReadSidebandRegister(uint8_t PortId, uint16_t Offset, uint32_t* Value);

// Reports in *WasVisible (when not null) whether the bridge at configuration
// address Bridge was visible, and makes it visible.
void UnhideSidebandBridge(uint32_t Bridge, BOOLEAN* WasVisible);

// Host bridge register 0xDC, read through ports 0xCF8/0xCFC with interrupts
// off; the address port and the interrupt flag are put back.
uint32_t ReadHostBridgeDc(void);

#endif  // STATUSSINK_REGISTER_ACCESS_H
