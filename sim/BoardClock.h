// The board's time, for runs that model it: a virtual clock that the
// emulated machine drives from its instruction count and that every bus
// access moves on by what the access costs on a board. The UART models read
// it to drain their FIFOs at their baud rate, so that a wait loop costs what
// it costs on a board.
//
// Time is kept in integer picoseconds, computed from totals (instructions
// so far, access costs so far) and never summed from rounded steps, so it
// does not drift; it is shown in nanoseconds, each figure the difference of
// two rounded points on the one timeline, so that shares add up exactly.
#ifndef STATUSSINK_SIM_BOARDCLOCK_H
#define STATUSSINK_SIM_BOARDCLOCK_H

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

namespace sim {

using Picoseconds = uint64_t;
inline constexpr Picoseconds kPicosecondsPerNs = 1000;
inline constexpr Picoseconds kPicosecondsPerSecond = 1'000'000'000'000;

inline uint64_t ToNs(Picoseconds t) { return t / kPicosecondsPerNs; }

// floor(a * b / c) without overflow for any 64-bit a and b (c > 0, result
// within 64 bits), and the remainder when asked for.
uint64_t MulDiv(uint64_t a, uint64_t b, uint64_t c, uint64_t* remainder = nullptr);

// A UART's line: its rate and its transmit FIFO's depth.
struct UartTiming {
  uint64_t baud = 115'200;
  uint64_t fifo = 16;
  bool operator==(const UartTiming&) const = default;
};

// The board's timing: the processor and what each kind of bus access takes.
// RAM windows (the memory log, temporary RAM) cost instructions only.
struct TimingSettings {
  uint64_t clockHz = 1'000'000'000;
  uint64_t instructionsPerCycle = 1;
  uint64_t ioAccessNs = 1'000;   // an LPC/ISA I/O cycle
  uint64_t mmioAccessNs = 200;   // an uncached device-memory access across the chipset
  UartTiming legacyUart{115'200, 16};
  UartTiming mmioUart{115'200, 64};
  bool operator==(const TimingSettings&) const = default;
};

class BoardClock {
 public:
  // Where time is charged: one account per device kept apart (ChargeApart),
  // then the last account for everything else.
  static constexpr size_t kMaxAccounts = 8;

  void Enable(const TimingSettings& settings);
  bool On() const { return on_; }
  const TimingSettings& Settings() const { return settings_; }

  // The devices whose time is charged apart, in account order; every other
  // access, and the instructions not charged to a device, go to account
  // devices.size(), the module's.
  void ChargeApart(const std::vector<const void*>& devices);
  size_t ModuleAccount() const { return accountCount_; }

  // Instructions the call in progress has executed so far: read before
  // every access and at the end of each call.
  void CountInstructionsWith(std::function<uint64_t()> source) { source_ = std::move(source); }

  // A call begins and ends: the end brings the clock up to the call's last
  // instruction and charges what ran since the last access to the module.
  void StartCall();
  void EndCall();

  // The bus around each access: Begin brings the clock up to date and
  // charges the instructions since the last access (to the device when the
  // last access reached it too: a poll loop or a byte-by-byte write; else to
  // the module); the device then sees Now(); End adds the access's cost.
  // `device` is the device that claimed the access (null: none).
  void BeginAccess(const void* device, bool io, bool ram);
  void EndAccess();

  Picoseconds Now() const { return instructionPs_ + accessPs_; }
  uint64_t NowNs() const { return ToNs(Now()); }
  // Nanoseconds charged to an account so far.
  uint64_t ChargedNs(size_t account) const { return chargedNs_[account]; }

 private:
  void Catch();  // brings instructionPs_ up to the instruction count
  void Charge(size_t account, Picoseconds from, Picoseconds to);
  size_t AccountOf(const void* device) const;

  bool on_ = false;
  TimingSettings settings_;
  std::function<uint64_t()> source_;
  std::array<const void*, kMaxAccounts> devices_{};
  size_t accountCount_ = 0;
  uint64_t instructionsBefore_ = 0;  // of the calls that ended
  Picoseconds instructionPs_ = 0, accessPs_ = 0;
  Picoseconds mark_ = 0;        // where the last access ended (or the call began)
  size_t lastAccount_ = SIZE_MAX;  // the account of the call's last access (none yet)
  Picoseconds accessCost_ = 0;  // of the access in progress
  size_t accessAccount_ = 0;
  std::array<uint64_t, kMaxAccounts + 1> chargedNs_{};
};

// A UART's transmitter on the clock: a shift register and a FIFO of the set
// depth, each byte 10 bit times (start bit, 8 data bits, stop bit) at the
// baud rate. A byte written while the transmitter is idle starts a burst:
// the bytes written before it falls idle again go out back to back.
class TimedTransmitter {
 public:
  struct Burst {
    Picoseconds start = 0;  // the first byte's start bit
    uint64_t bytes = 0;
    bool operator==(const Burst&) const = default;
  };

  void Drive(const BoardClock* clock, const UartTiming& timing) {
    clock_ = clock;
    timing_ = timing;
  }
  bool Driven() const { return clock_ != nullptr; }
  const UartTiming& Timing() const { return timing_; }

  // Bytes not yet sent at the clock's time: the first in the shift register, the rest in the FIFO.
  uint64_t Pending() const;
  // Takes a byte; false (the byte is lost) when the shift register and the FIFO are full.
  bool Write();
  // Every burst so far, the last one possibly still going.
  const std::vector<Burst>& Bursts() const { return bursts_; }
  // When a burst has sent its last stop bit (rounded up to the picosecond).
  Picoseconds EndOf(const Burst& burst) const;

 private:
  const BoardClock* clock_ = nullptr;
  UartTiming timing_;
  std::vector<Burst> bursts_;
};

}  // namespace sim

#endif
