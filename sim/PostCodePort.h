// POST code port 0x80: records every write in order. Repeated writes of the
// same word are kept as runs, so the blink loop's millions of writes cost a
// few entries. A test or the emulator can have it call back after a number
// of writes, to stop a handler that never returns, and can bound the runs it
// keeps, so that a loop writing ever other words costs bounded memory.
#ifndef STATUSSINK_SIM_POSTCODEPORT_H
#define STATUSSINK_SIM_POSTCODEPORT_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "sim/Machine.h"

namespace sim {

class PostCodePort : public IoDevice {
 public:
  static constexpr uint16_t kPort = 0x80;
  struct Run {
    uint16_t code;
    uint64_t count;
    bool operator==(const Run&) const = default;
  };

  bool ClaimsPort(uint16_t port) const override { return port == kPort || port == kPort + 1; }
  uint32_t IoRead(uint16_t port, unsigned width) override;
  void IoWrite(uint16_t port, unsigned width, uint32_t value) override;

  const std::vector<Run>& Runs() const { return runs_; }
  // Every write in order (runs expanded); for sequences of ordinary length.
  std::vector<uint16_t> Codes() const;
  uint64_t WriteCount() const { return writes_; }
  void Clear() {
    ForgetRuns();
    writes_ = 0;
  }
  // Forgets the runs kept so far (one handler call's, say); WriteCount goes
  // on counting every write.
  void ForgetRuns() {
    runs_.clear();
    runsFull_ = false;
  }
  // Keeps at most `runs` runs from the last ForgetRuns on: once a write would
  // start one more, it and every later write are only counted.
  void KeepRuns(size_t runs) { runLimit_ = runs; }
  bool RunsFull() const { return runsFull_; }

  // After `writes` more writes, call `onLimit` (which may not return, e.g. longjmp).
  void StopAfter(uint64_t writes, std::function<void()> onLimit) {
    stopAt_ = writes_ + writes;
    onLimit_ = std::move(onLimit);
    armed_ = true;
  }
  void ClearStop() { armed_ = false; }

 private:
  std::vector<Run> runs_;
  size_t runLimit_ = SIZE_MAX;
  bool runsFull_ = false;
  uint64_t writes_ = 0;
  uint64_t stopAt_ = 0;
  std::function<void()> onLimit_;
  bool armed_ = false;
  uint8_t latch_ = 0xFF;
};

}  // namespace sim

#endif
