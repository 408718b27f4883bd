// The module's only way to the hardware. Every port and physical-memory
// access, the interrupt flag and the IDT base go through these functions.
// The firmware build implements them with real instructions and volatile
// pointers (platform/platform_firmware.cpp); the host32 build forwards them
// to the device models of sim/.
#ifndef STATUSSINK_PLATFORM_H
#define STATUSSINK_PLATFORM_H

#include <stdint.h>

#include "include/PiTypes.h"

// I/O ports; each call is exactly one access of the given width.
uint8_t IoRead8(uint16_t Port);
uint16_t IoRead16(uint16_t Port);
uint32_t IoRead32(uint16_t Port);
void IoWrite8(uint16_t Port, uint8_t Value);
void IoWrite16(uint16_t Port, uint16_t Value);
void IoWrite32(uint16_t Port, uint32_t Value);

// Physical memory in 32-bit flat mode (device registers and RAM windows).
uint8_t MmioRead8(uint32_t Address);
uint16_t MmioRead16(uint32_t Address);
uint32_t MmioRead32(uint32_t Address);
void MmioWrite8(uint32_t Address, uint8_t Value);
void MmioWrite32(uint32_t Address, uint32_t Value);

// Interrupt flag.
BOOLEAN InterruptsEnabled(void);
void DisableInterrupts(void);
void EnableInterrupts(void);

// Base address of the interrupt descriptor table (store-IDT-register).
uint32_t ReadIdtBase(void);

#endif  // STATUSSINK_PLATFORM_H
