// The memory log: a copy of the debug text in the 64 KiB window of low
// physical memory at 0x70000, kept while host bridge register 0xDC allows it.
#ifndef STATUSSINK_MEMORY_LOG_H
#define STATUSSINK_MEMORY_LOG_H

#include <stdint.h>

// The window's first four bytes, one little-endian u32: bits 0-15 the offset
// from the window's base of the next byte to write (0 stands for 4, the start
// of the text area), bits 16-31 the number of times writing has run past the
// window's end and restarted at the text area, modulo 65,536.
typedef uint32_t MemoryLogHeader;

constexpr uint32_t MemoryLogBase = 0x70000;
constexpr uint32_t MemoryLogHeaderAddress = MemoryLogBase;
constexpr uint32_t MemoryLogTextStart = 4;  // offset of the text area
constexpr uint32_t MemoryLogEnd = 0x7FFFF;  // last byte of the window
constexpr MemoryLogHeader MemoryLogOffsetMask = 0x0000FFFFu;
constexpr uint32_t MemoryLogWrapCountShift = 16;

// Register 0xDC must have one of bits 28-31 set before the window is used.
constexpr uint32_t MemoryLogEnableMask = 0xF0000000u;

// Appends Length bytes of Text to the log and returns Length, whether or not
// anything was written. A null Text writes nothing at all.
uint32_t WriteMemoryLog(const char* Text, uint32_t Length);

#endif  // STATUSSINK_MEMORY_LOG_H
