// Firmware implementation of the platform seam: real port instructions and
// volatile accesses to physical addresses (32-bit flat mode, identity mapped).
#include "platform.h"

uint8_t IoRead8(uint16_t port) {
  uint8_t value;
  __asm__ __volatile__("inb %w1, %b0" : "=a"(value) : "Nd"(port));
  return value;
}

uint16_t IoRead16(uint16_t port) {
  uint16_t value;
  __asm__ __volatile__("inw %w1, %w0" : "=a"(value) : "Nd"(port));
  return value;
}

uint32_t IoRead32(uint16_t port) {
  uint32_t value;
  __asm__ __volatile__("inl %w1, %0" : "=a"(value) : "Nd"(port));
  return value;
}

void IoWrite8(uint16_t port, uint8_t value) { __asm__ __volatile__("outb %b0, %w1" : : "a"(value), "Nd"(port)); }

void IoWrite16(uint16_t port, uint16_t value) { __asm__ __volatile__("outw %w0, %w1" : : "a"(value), "Nd"(port)); }

void IoWrite32(uint16_t port, uint32_t value) { __asm__ __volatile__("outl %0, %w1" : : "a"(value), "Nd"(port)); }

uint8_t MmioRead8(uint32_t address) { return *reinterpret_cast<volatile const uint8_t*>(address); }

uint16_t MmioRead16(uint32_t address) { return *reinterpret_cast<volatile const uint16_t*>(address); }

uint32_t MmioRead32(uint32_t address) { return *reinterpret_cast<volatile const uint32_t*>(address); }

void MmioWrite8(uint32_t address, uint8_t value) { *reinterpret_cast<volatile uint8_t*>(address) = value; }

void MmioWrite32(uint32_t address, uint32_t value) { *reinterpret_cast<volatile uint32_t*>(address) = value; }

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
