#include "sim/host32/HostPlatform.h"

#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"

namespace sim {
namespace {
Platform* gPlatform = nullptr;
uint32_t gIdtBase = 0;

Machine& Bus() {
  if (gPlatform == nullptr) {
    std::fprintf(stderr, "module touched the platform with no sim::Platform in scope\n");
    std::abort();
  }
  return gPlatform->bus;
}
}  // namespace

ScopedPlatform::ScopedPlatform(Platform& platform) : previous_(gPlatform) { gPlatform = &platform; }
ScopedPlatform::~ScopedPlatform() { gPlatform = previous_; }
void SetIdtBase(uint32_t base) { gIdtBase = base; }

}  // namespace sim

using sim::Bus;

uint8_t IoRead8(uint16_t port) { return static_cast<uint8_t>(Bus().IoRead(port, 1)); }
uint16_t IoRead16(uint16_t port) { return static_cast<uint16_t>(Bus().IoRead(port, 2)); }
uint32_t IoRead32(uint16_t port) { return Bus().IoRead(port, 4); }
void IoWrite8(uint16_t port, uint8_t value) { Bus().IoWrite(port, 1, value); }
void IoWrite16(uint16_t port, uint16_t value) { Bus().IoWrite(port, 2, value); }
void IoWrite32(uint16_t port, uint32_t value) { Bus().IoWrite(port, 4, value); }

uint8_t MmioRead8(uint32_t address) { return static_cast<uint8_t>(Bus().MemRead(address, 1)); }
uint16_t MmioRead16(uint32_t address) { return static_cast<uint16_t>(Bus().MemRead(address, 2)); }
uint32_t MmioRead32(uint32_t address) { return Bus().MemRead(address, 4); }
void MmioWrite8(uint32_t address, uint8_t value) { Bus().MemWrite(address, 1, value); }
void MmioWrite32(uint32_t address, uint32_t value) { Bus().MemWrite(address, 4, value); }

BOOLEAN InterruptsEnabled(void) { return Bus().InterruptFlag() ? TRUE : FALSE; }
void DisableInterrupts(void) { Bus().SetInterruptFlag(false); }
void EnableInterrupts(void) { Bus().SetInterruptFlag(true); }
uint32_t ReadIdtBase(void) { return sim::gIdtBase; }
