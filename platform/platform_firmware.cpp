// Firmware implementation of the platform seam: real port instructions and
// volatile accesses to physical addresses (32-bit flat mode, identity mapped).
#include "platform/platform.h"

uint8_t IoRead8(uint16_t Port) {
  uint8_t Value;
  __asm__ __volatile__("inb %w1, %b0" : "=a"(Value) : "Nd"(Port));
  return Value;
}

uint16_t IoRead16(uint16_t Port) {
  uint16_t Value;
  __asm__ __volatile__("inw %w1, %w0" : "=a"(Value) : "Nd"(Port));
  return Value;
}

uint32_t IoRead32(uint16_t Port) {
  uint32_t Value;
  __asm__ __volatile__("inl %w1, %0" : "=a"(Value) : "Nd"(Port));
  return Value;
}

void IoWrite8(uint16_t Port, uint8_t Value) { __asm__ __volatile__("outb %b0, %w1" : : "a"(Value), "Nd"(Port)); }

void IoWrite16(uint16_t Port, uint16_t Value) { __asm__ __volatile__("outw %w0, %w1" : : "a"(Value), "Nd"(Port)); }

void IoWrite32(uint16_t Port, uint32_t Value) { __asm__ __volatile__("outl %0, %w1" : : "a"(Value), "Nd"(Port)); }

uint8_t MmioRead8(uint32_t Address) { return *reinterpret_cast<volatile const uint8_t*>(Address); }

uint16_t MmioRead16(uint32_t Address) { return *reinterpret_cast<volatile const uint16_t*>(Address); }

uint32_t MmioRead32(uint32_t Address) { return *reinterpret_cast<volatile const uint32_t*>(Address); }

void MmioWrite8(uint32_t Address, uint8_t Value) { *reinterpret_cast<volatile uint8_t*>(Address) = Value; }

void MmioWrite32(uint32_t Address, uint32_t Value) { *reinterpret_cast<volatile uint32_t*>(Address) = Value; }

BOOLEAN InterruptsEnabled(void) {
  uint32_t flags;
  __asm__ __volatile__("pushfl\n\tpopl %0" : "=r"(flags) : : "memory");
  return (flags & 0x200u) != 0 ? TRUE : FALSE;  // EFLAGS.IF
}

void DisableInterrupts(void) { __asm__ __volatile__("cli" : : : "memory"); }

void EnableInterrupts(void) { __asm__ __volatile__("sti" : : : "memory"); }

uint32_t ReadIdtBase(void) {
  struct __attribute__((packed)) {
    uint16_t Limit;
    uint32_t Base;
  } idtr;
  __asm__ __volatile__("sidt %0" : "=m"(idtr));
  return idtr.Base;
}
