// The legacy 16550 at I/O 0x3F8: transmit holding register (base + 0) and
// line status register (base + 5). A written byte goes to the transmit shift
// register when it is idle, else into a 16-byte transmit FIFO; the shift
// register sends a byte at a pace counted in line status reads and then
// takes the next one from the FIFO, so a test or the emulator can make the
// port fast, slow, stuck or absent. As on a board, the line status shows the
// FIFO empty (bit 5) as soon as its last byte has moved into the shift
// register, and the transmitter idle (bit 6) only once that byte is sent too.
//
// On a board clock (DriveWith) the port drains in time instead: each byte
// takes 10 bit times at the baud rate, the FIFO has the clock's depth, and
// the drain pace is not used. Stuck and absent ports behave as without it.
#ifndef STATUSSINK_SIM_LEGACYUART_H
#define STATUSSINK_SIM_LEGACYUART_H

#include <cstdint>
#include <string>

#include "sim/BoardClock.h"
#include "sim/Machine.h"

namespace sim {

class LegacyUart : public IoDevice {
 public:
  static constexpr uint16_t kBase = 0x3F8;
  static constexpr uint16_t kLineStatusPort = kBase + 5;
  static constexpr unsigned kFifoDepth = 16;
  static constexpr uint8_t kLsrThrEmpty = 0x20;         // bit 5: transmit holding register (FIFO) empty
  static constexpr uint8_t kLsrTransmitterIdle = 0x40;  // bit 6: FIFO and shift register empty

  enum class Mode {
    Present,  // drains as SetDrainPace says
    Stuck,    // never drains: bit 5 of the line status never sets
    Absent,   // nothing decodes the ports: every read gives 0xFF, writes are lost
  };

  bool ClaimsPort(uint16_t port) const override { return port >= kBase && port <= kBase + 7; }
  uint32_t IoRead(uint16_t port, unsigned width) override;
  void IoWrite(uint16_t port, unsigned width, uint32_t value) override;

  void SetMode(Mode mode) { mode_ = mode; }
  Mode GetMode() const { return mode_; }
  // The shift register sends one byte for every `lsrReadsPerByte` line status
  // reads made while it is busy. 0 (the default) is as fast as a port can be:
  // a status read finds the FIFO empty, its last byte still in the shift
  // register, and the next read finds that byte sent.
  void SetDrainPace(unsigned lsrReadsPerByte) { pace_ = lsrReadsPerByte; }
  // Drains on the board's clock at the line's rate, with its FIFO depth.
  void DriveWith(const BoardClock& clock, const UartTiming& timing) { line_.Drive(&clock, timing); }
  const TimedTransmitter& Line() const { return line_; }

  // Every byte the port accepted, in order (bytes still in the FIFO included).
  const std::string& Text() const { return text_; }
  // Bytes written while the FIFO was full; the hardware loses them.
  uint64_t Overruns() const { return overruns_; }
  // Bytes not yet sent: in the FIFO and in the shift register.
  uint64_t Pending() const { return Timed() ? line_.Pending() : level_; }
  uint64_t LineStatusReads() const { return lsrReads_; }
  void Clear();

 private:
  void Drain();
  bool Timed() const { return line_.Driven() && mode_ == Mode::Present; }
  TimedTransmitter line_;
  Mode mode_ = Mode::Present;
  unsigned pace_ = 0;
  unsigned level_ = 0;
  unsigned progress_ = 0;
  uint64_t overruns_ = 0;
  uint64_t lsrReads_ = 0;
  std::string text_;
};

}  // namespace sim

#endif
