#include "sim/BoardClock.h"

#include <algorithm>

namespace sim {

uint64_t MulDiv(uint64_t a, uint64_t b, uint64_t c, uint64_t* remainder) {
#ifdef __SIZEOF_INT128__
  const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
  if (remainder != nullptr) *remainder = static_cast<uint64_t>(product % c);
  return static_cast<uint64_t>(product / c);
#else
  // The 128-bit product in two halves, then long division a bit at a time
  // (the i686 build has no 128-bit integers).
  const uint64_t aLo = a & 0xFFFFFFFFu, aHi = a >> 32, bLo = b & 0xFFFFFFFFu, bHi = b >> 32;
  const uint64_t ll = aLo * bLo, lh = aLo * bHi, hl = aHi * bLo, hh = aHi * bHi;
  const uint64_t mid = (ll >> 32) + (lh & 0xFFFFFFFFu) + (hl & 0xFFFFFFFFu);
  uint64_t hi = hh + (lh >> 32) + (hl >> 32) + (mid >> 32);
  uint64_t lo = (mid << 32) | (ll & 0xFFFFFFFFu);
  if (hi == 0) {
    if (remainder != nullptr) *remainder = lo % c;
    return lo / c;
  }
  uint64_t quotient = 0, rest = 0;
  for (int bit = 127; bit >= 0; --bit) {
    const bool top = (rest >> 63) != 0;
    rest = (rest << 1) | ((bit >= 64 ? hi >> (bit - 64) : lo >> bit) & 1);
    quotient <<= 1;
    if (top || rest >= c) {
      rest -= c;
      quotient |= 1;
    }
  }
  if (remainder != nullptr) *remainder = rest;
  return quotient;
#endif
}

void BoardClock::Enable(const TimingSettings& settings) {
  *this = BoardClock();
  on_ = true;
  settings_ = settings;
}

void BoardClock::ChargeApart(const std::vector<const void*>& devices) {
  accountCount_ = std::min(devices.size(), kMaxAccounts);
  std::copy_n(devices.begin(), accountCount_, devices_.begin());
}

size_t BoardClock::AccountOf(const void* device) const {
  for (size_t i = 0; i < accountCount_; ++i)
    if (device != nullptr && devices_[i] == device) return i;
  return accountCount_;
}

void BoardClock::Catch() {
  const uint64_t instructions = instructionsBefore_ + (source_ ? source_() : 0);
  instructionPs_ = MulDiv(instructions, kPicosecondsPerSecond, settings_.clockHz * settings_.instructionsPerCycle);
}

void BoardClock::Charge(size_t account, Picoseconds from, Picoseconds to) {
  chargedNs_[account] += ToNs(to) - ToNs(from);
}

void BoardClock::StartCall() {
  if (!on_) return;
  Catch();
  mark_ = Now();
  lastAccount_ = SIZE_MAX;
}

void BoardClock::EndCall() {
  if (!on_) return;
  Catch();
  Charge(accountCount_, mark_, Now());
  mark_ = Now();
  lastAccount_ = SIZE_MAX;
  instructionsBefore_ += source_ ? source_() : 0;
}

void BoardClock::BeginAccess(const void* device, bool io, bool ram) {
  if (!on_) return;
  Catch();
  const size_t account = AccountOf(device);
  Charge(account == lastAccount_ && account != accountCount_ ? account : accountCount_, mark_, Now());
  accessAccount_ = account;
  accessCost_ = (io ? settings_.ioAccessNs : ram ? 0 : settings_.mmioAccessNs) * kPicosecondsPerNs;
}

void BoardClock::EndAccess() {
  if (!on_) return;
  const Picoseconds start = Now();
  accessPs_ += accessCost_;
  Charge(accessAccount_, start, Now());
  mark_ = Now();
  lastAccount_ = accessAccount_;
  accessCost_ = 0;
}

Picoseconds TimedTransmitter::EndOf(const Burst& burst) const {
  // Byte n has sent its stop bit once 10 * n bit times have passed: round up.
  uint64_t rest = 0;
  const uint64_t whole = MulDiv(burst.bytes, 10 * kPicosecondsPerSecond, timing_.baud, &rest);
  return burst.start + whole + (rest != 0 ? 1 : 0);
}

uint64_t TimedTransmitter::Pending() const {
  if (bursts_.empty()) return 0;
  const Burst& last = bursts_.back();
  const Picoseconds now = clock_->Now();
  if (now >= EndOf(last)) return 0;
  const uint64_t sent = MulDiv(now - last.start, timing_.baud, 10 * kPicosecondsPerSecond);
  return last.bytes - std::min(sent, last.bytes);
}

bool TimedTransmitter::Write() {
  const uint64_t pending = Pending();
  if (pending == 0) {
    bursts_.push_back({clock_->Now(), 1});
    return true;
  }
  if (pending >= timing_.fifo + 1) return false;
  ++bursts_.back().bytes;
  return true;
}

}  // namespace sim
