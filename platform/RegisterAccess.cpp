// Chipset register access for the debug outputs. See RegisterAccess.h.
#include "platform/RegisterAccess.h"

#include "platform/platform.h"

const SerialDeviceEntry SerialDeviceTable[SerialDeviceCount] = {
    {22, 0}, {22, 1}, {22, 2}, {22, 3},  // indexes 0-3
    {23, 0}, {23, 1}, {23, 2}, {23, 3},  // indexes 4-7
    {24, 0}, {24, 1}, {24, 2}, {24, 3},  // indexes 8-11; 10 is the debug controller
    {25, 0}, {25, 1}, {25, 2},           // indexes 12-14
};
static_assert(sizeof(SerialDeviceEntry) == 2, "a serial device row is two bytes");
static_assert(sizeof(SerialDeviceTable) == 15 * 2, "15 serial device rows");

const FixedSerialBarEntry FixedSerialBarTable[SerialDeviceCount] = {
    {0xFE910000u, 0xFE911000u}, {0xFE920000u, 0xFE921000u}, {0xFE930000u, 0xFE931000u},
    {0xFE940000u, 0xFE941000u}, {0xFE950000u, 0xFE951000u}, {0xFE960000u, 0xFE961000u},
    {0xFE970000u, 0xFE971000u}, {0xFE980000u, 0xFE981000u}, {0xFE990000u, 0xFE991000u},
    {0xFE9A0000u, 0xFE9A1000u}, {0xFEA10000u, 0xFEA11000u}, {0xFEA20000u, 0xFEA21000u},
    {0xFEA30000u, 0xFEA31000u}, {0xFEA40000u, 0xFEA41000u}, {0xFEA50000u, 0xFEA51000u},
};
static_assert(sizeof(FixedSerialBarEntry) == 8, "a fixed BAR row is two u32");
static_assert(sizeof(FixedSerialBarTable) == 15 * 8, "15 fixed BAR rows");
static_assert(DebugUartIndex < SerialDeviceCount, "the debug controller has a row");

namespace {

// Configuration space layout.
constexpr uint32_t ConfigVendorIdOffset = 0x00;
constexpr uint32_t ConfigFirstBarOffset = 0x10;
constexpr uint32_t ConfigBarStep = 8;  // base address registers are read as 64-bit pairs
constexpr uint32_t ConfigBarAddressMask = 0xFFFFF000u;  // low 12 bits are type and flag bits
constexpr uint16_t ChipsetVendorId = 0x8086;
constexpr uint16_t NoDeviceVendorId = 0xFFFF;
constexpr uint32_t NoSerialBar = 0xFFFFFFFFu;
constexpr uint8_t ConfigAddressBarIndex = 1;  // asks for the configuration address itself

// The debug controller's device and function: the only row with a fixed fallback.
constexpr uint8_t DebugUartDevice = 24;
constexpr uint8_t DebugUartFunction = 2;

// The sideband bridge, bus 0 device 13 function 0, and its hide control byte.
constexpr uint32_t SidebandBridgeDevice = 13;
constexpr uint32_t SidebandBridgeFunction = 0;
constexpr uint32_t SidebandBridgeHideOffset = 0xE1;
constexpr uint8_t SidebandBridgeShow = 0;
constexpr uint8_t SidebandBridgeHide = 1;

// Legacy configuration mechanism.
constexpr uint16_t PciConfigAddressPort = 0xCF8;
constexpr uint16_t PciConfigDataPort = 0xCFC;
// Enable bit 31; bus 0, device 0, function 0; register 0xDC.
constexpr uint32_t HostBridgeDcConfigAddress = 0x800000DCu;

}  // namespace

uint32_t PcieConfigAddress(uint32_t Bus, uint32_t Device, uint32_t Function) {
  return ((Bus * 32 + Device) * 8 + Function) * 4096 + static_cast<uint32_t>(PcieConfigBase);
}

uint32_t ReadPhysical32(uint32_t Address) { return MmioRead32(Address); }

uint8_t GetSerialDevice(uint32_t Index) { return SerialDeviceTable[Index].Device; }

uint8_t GetSerialFunction(uint32_t Index) { return SerialDeviceTable[Index].Function; }

uint32_t GetSerialDeviceBar(uint32_t Index, uint8_t BarIndex) {
  const uint8_t device = GetSerialDevice(Index);
  const uint8_t function = GetSerialFunction(Index);
  const uint32_t config = PcieConfigAddress(0, device, function);
  // The device id in the upper half is ignored.
  const uint16_t vendor = static_cast<uint16_t>(ReadPhysical32(config + ConfigVendorIdOffset) & 0xFFFF);
  if (vendor == ChipsetVendorId) {
    if (BarIndex == ConfigAddressBarIndex) return config;
    return ReadPhysical32(config + ConfigFirstBarOffset + ConfigBarStep * BarIndex) & ConfigBarAddressMask;
  }
  if (device == DebugUartDevice && function == DebugUartFunction) return FixedSerialBarTable[Index].Base;
  return NoSerialBar;
}

void UnhideSidebandBridge(uint32_t Bridge, BOOLEAN* WasVisible) {
  const BOOLEAN visible = MmioRead16(Bridge + ConfigVendorIdOffset) != NoDeviceVendorId ? TRUE : FALSE;
  if (WasVisible != nullptr) *WasVisible = visible;
  // Whether the bridge answers after this write is not checked: the window
  // read that follows does not depend on it.
  if (!visible) MmioWrite8(Bridge + SidebandBridgeHideOffset, SidebandBridgeShow);
}

EFI_STATUS ReadSidebandRegister(uint8_t PortId, uint16_t Offset, uint32_t* Value) {
  if ((Offset & 3) != 0 || Value == nullptr) return EFI_INVALID_PARAMETER;
  const uint32_t bridge = PcieConfigAddress(0, SidebandBridgeDevice, SidebandBridgeFunction);
  BOOLEAN wasVisible = FALSE;
  UnhideSidebandBridge(bridge, &wasVisible);
  *Value = MmioRead32(SidebandWindowBase | (static_cast<uint32_t>(PortId) << 16) | Offset);
  // A bridge that was visible on entry is left alone.
  if (!wasVisible) MmioWrite8(bridge + SidebandBridgeHideOffset, SidebandBridgeHide);
  return EFI_SUCCESS;
}

uint32_t ReadHostBridgeDc(void) {
  // The address write and the data read must not be split by an interrupt
  // handler that uses the same two ports.
  const BOOLEAN interruptsWereEnabled = InterruptsEnabled();
  DisableInterrupts();
  const uint32_t savedAddress = IoRead32(PciConfigAddressPort);
  IoWrite32(PciConfigAddressPort, HostBridgeDcConfigAddress);
  const uint32_t value = IoRead32(PciConfigDataPort);
  IoWrite32(PciConfigAddressPort, savedAddress);
  if (interruptsWereEnabled) EnableInterrupts();
  return value;
}
