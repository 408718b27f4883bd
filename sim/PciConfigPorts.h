// The legacy PCI configuration mechanism at I/O 0xCF8 (address) and 0xCFC
// (data). The address register keeps whatever was last written to it, so a
// test can see that a caller put it back. Registers are settable per
// bus/device/function; the host bridge 0:0.0 is always there (its unset
// registers read 0), any other function reads all ones until a register of
// it is set. As a fault, the data port can read all ones for every function
// and drop every write (the address register still latches).
#ifndef STATUSSINK_SIM_PCICONFIGPORTS_H
#define STATUSSINK_SIM_PCICONFIGPORTS_H

#include <cstdint>
#include <map>

#include "sim/Machine.h"

namespace sim {

class PciConfigPorts : public IoDevice {
 public:
  static constexpr uint16_t kAddressPort = 0xCF8;
  static constexpr uint16_t kDataPort = 0xCFC;
  static constexpr uint32_t kEnable = 0x80000000u;
  static constexpr uint8_t kHostBridgeDcRegister = 0xDC;

  bool ClaimsPort(uint16_t port) const override { return port >= kAddressPort && port <= kDataPort + 3; }
  uint32_t IoRead(uint16_t port, unsigned width) override;
  void IoWrite(uint16_t port, unsigned width, uint32_t value) override;

  // The value of 0xCF8 as a 32-bit read returns it.
  void SetAddressRegister(uint32_t value) { address_ = value; }
  uint32_t AddressRegister() const { return address_; }

  void SetRegister(uint8_t bus, uint8_t device, uint8_t function, uint8_t reg, uint32_t value);
  uint32_t Register(uint8_t bus, uint8_t device, uint8_t function, uint8_t reg) const;
  // Host bridge register 0xDC (0:0.0): gates the memory log.
  void SetHostBridgeDc(uint32_t value) { SetRegister(0, 0, 0, kHostBridgeDcRegister, value); }
  uint32_t HostBridgeDc() const { return Register(0, 0, 0, kHostBridgeDcRegister); }
  void SetAllOnes(bool allOnes) { allOnes_ = allOnes; }

 private:
  static uint32_t Key(uint8_t bus, uint8_t device, uint8_t function, uint8_t reg);
  uint32_t ReadKey(uint32_t key) const;
  uint32_t address_ = 0;
  std::map<uint32_t, uint32_t> registers_;
  bool allOnes_ = false;
};

}  // namespace sim

#endif
