// Debug text to the chipset's memory-mapped serial controller (the serial-IO
// controller at DebugUartIndex). The controller is never programmed here; the
// platform sets it up, this code only polls and transmits.
#ifndef STATUSSINK_MMIO_SERIAL_H
#define STATUSSINK_MMIO_SERIAL_H

#include <stdint.h>

// Passes of the transmit loop without a byte written after which the rest of
// the line is dropped. Counted in passes, not time; each pass is two
// uncached register reads of roughly 0.5 to 1 us, so 200 passes last about
// 0.2 to 0.4 ms: several character times at 115200 baud (one character about
// 87 us), while a controller whose FIFO never drains costs at most that per
// line.
constexpr uint32_t MmioSerialPollLimit = 200;

// Sends Length bytes of Text. Returns Length once a controller has answered
// and Text is not null (even when the poll limit cut the line short), and 0
// when nothing was attempted.
uint32_t WriteMmioSerial(const char* Text, uint32_t Length);

#endif  // STATUSSINK_MMIO_SERIAL_H
