// The chipset's memory-mapped 16550-style serial controller: a 4 KiB register
// page at a settable base, registers 1 or 4 bytes apart. Register 0 is the
// transmit holding register, register 2 the interrupt identification register
// and register 31 the status register (bit 1: transmit FIFO not full). Other
// offsets read 0. Every byte written to register 0 is kept as the text sent.
//
// The status register can be always ready, never ready, or ready for the
// first N reads of it and never after. Every read of the status register
// counts, whoever makes it (with a 4-byte stride the presence read at
// base + 0x7C is one).
//
// On a board clock (DriveWith) the controller's transmit FIFO has the set
// depth and drains at the baud rate: the status register shows "not full"
// only while the FIFO has room (and the status mode allows it), and a byte
// written to a full FIFO is lost.
#ifndef STATUSSINK_SIM_MMIOUART_H
#define STATUSSINK_SIM_MMIOUART_H

#include <cstdint>
#include <string>

#include "sim/BoardClock.h"
#include "sim/Machine.h"

namespace sim {

class MmioUart : public MemDevice {
 public:
  static constexpr uint32_t kPageSize = 0x1000;
  static constexpr uint32_t kDefaultBase = 0xFEA10000u;  // the controller's fixed address
  static constexpr unsigned kTransmitRegister = 0;
  static constexpr unsigned kInterruptIdRegister = 2;
  static constexpr unsigned kLineStatusRegister = 5;
  static constexpr unsigned kStatusRegister = 31;
  static constexpr uint8_t kStatusReady = 0x06;     // transmit FIFO not full (bit 1) and empty (bit 2)
  static constexpr uint8_t kStatusNotFull = 0x02;   // transmit FIFO not full, not empty
  static constexpr uint8_t kStatusNotReady = 0x01;  // busy, FIFO full
  static constexpr uint8_t kInterruptIdValue = 0xC1;  // FIFOs enabled, no interrupt pending

  enum class Status { AlwaysReady, NeverReady, ReadyForFirst };

  bool ClaimsAddress(uint32_t address) const override { return address - base_ < kPageSize; }
  uint32_t MemRead(uint32_t address, unsigned width) override;
  void MemWrite(uint32_t address, unsigned width, uint32_t value) override;

  void SetBase(uint32_t base) { base_ = base; }
  uint32_t Base() const { return base_; }
  // 1 or 4 bytes between registers.
  void SetStride(unsigned bytes) { stride_ = bytes == 1 ? 1 : 4; }
  unsigned Stride() const { return stride_; }
  // An absent controller still decodes its page but reads all ones and drops writes.
  void SetPresent(bool present) { present_ = present; }
  bool Present() const { return present_; }
  // readyReads counts for Status::ReadyForFirst only.
  void SetStatus(Status status, uint64_t readyReads = 0) {
    status_ = status;
    readyReads_ = readyReads;
  }

  void DriveWith(const BoardClock& clock, const UartTiming& timing) { line_.Drive(&clock, timing); }
  const TimedTransmitter& Line() const { return line_; }

  const std::string& Text() const { return text_; }
  uint64_t StatusReads() const { return statusReads_; }
  // Bytes written to a full FIFO (on a board clock only).
  uint64_t Overruns() const { return overruns_; }
  void Clear() {
    text_.clear();
    statusReads_ = 0;
  }

 private:
  uint8_t ReadByte(uint32_t offset);
  uint32_t base_ = kDefaultBase;
  unsigned stride_ = 4;
  bool present_ = false;
  Status status_ = Status::AlwaysReady;
  uint64_t readyReads_ = 0;
  uint64_t statusReads_ = 0;
  uint64_t overruns_ = 0;
  TimedTransmitter line_;
  std::string text_;
};

}  // namespace sim

#endif
