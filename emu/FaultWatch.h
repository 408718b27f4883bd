// What the machine holds against the calls it runs: the run's faults (the
// first kFaultListBound listed, the rest counted), writes outside the places
// a handler may write (the stack running away stops the call at once, a
// store loop after kStrayWritesPerCall writes), and reads past the data
// record a report delivered (once per call).
#ifndef STATUSSINK_EMU_FAULTWATCH_H
#define STATUSSINK_EMU_FAULTWATCH_H

#include <cstdint>
#include <utility>
#include <vector>

#include "emu/Cpu.h"
#include "run/RunResult.h"
#include "scenario/Scenario.h"

namespace emu {

using run::Fault;

class FaultWatch {
 public:
  static constexpr size_t kFaultListBound = 1000;
  static constexpr uint32_t kStrayWritesPerCall = 64;

  // `createdHobs` (guest address and length of each HOB CreateHob made) are
  // the places besides the stack that the module may write.
  FaultWatch(Cpu& cpu, const std::vector<std::pair<uint32_t, uint32_t>>& createdHobs);

  void StartCall();
  // Lists the fault (or counts it past the bound); the call goes on.
  void Fail(Fault fault);
  // Lists the fault and stops the call in progress.
  void Stop(Fault fault);
  // A write outside the allowed places; see the definition for when it stops the call.
  void WroteOutside(Fault fault);
  // The stack, or a HOB the module created.
  bool AllowedRamWrite(uint32_t address, uint32_t size) const;
  // A guest store of `size` bytes to temporary RAM: a fault unless allowed.
  void RamWritten(uint32_t address, uint32_t size, uint64_t value);

  // While a report's handlers run: the bytes of the report area a handler
  // may read as the delivered record (its header and Size bytes), the
  // objects placed after it and what its words point at, and the caller
  // GUID's 16 bytes; the rest of the area is watched.
  void WatchRecord(const std::vector<uint8_t>& placed, const scenario::DataRecord& record, uint32_t caller);
  void StopWatching() { record_.active = false; }
  // A read of `size` bytes at `address`; `how` prefixes the fault's detail ("CopyMem from ").
  void CheckRecordRead(uint32_t address, uint32_t size, const char* how);

  const std::vector<Fault>& Faults() const { return faults_; }
  uint64_t FaultsNotListed() const { return faultsNotListed_; }

  // What the watch holds (the faults, the record watched, the call's counts),
  // to be put back as a whole (Emulator::Reset).
  struct State;
  State Save() const;
  void Restore(const State& state);

 private:
  Cpu& cpu_;
  const std::vector<std::pair<uint32_t, uint32_t>>& createdHobs_;
  std::vector<Fault> faults_;
  uint64_t faultsNotListed_ = 0;
  // The delivered record while its report's handlers run: [start, declaredEnd)
  // is the record as its header declares it, [objectsStart, blockEnd) and
  // everything from pointedFrom on what the record points at; the rest of the
  // report area is not the record.
  struct RecordWatch {
    bool active = false;
    uint32_t start = 0, declaredEnd = 0, objectsStart = 0, blockEnd = 0;
    uint32_t pointedFrom = 0;  // the lowest address in or behind the record that one of its words points at
    uint32_t caller = 0;       // the caller GUID's address: its 16 bytes are the caller's, wherever they lie
    uint16_t size = 0;         // the header's Size
  };
  RecordWatch record_;
  uint32_t strayWrites_ = 0;        // writes outside the allowed places in this call
  bool readPastReported_ = false;  // this call's first read past the record is in the faults

 public:
  struct State {
    std::vector<Fault> faults;
    uint64_t faultsNotListed = 0;
    RecordWatch record;
    uint32_t strayWrites = 0;
    bool readPastReported = false;
  };
};

inline FaultWatch::State FaultWatch::Save() const {
  return {faults_, faultsNotListed_, record_, strayWrites_, readPastReported_};
}

inline void FaultWatch::Restore(const State& state) {
  faults_ = state.faults;
  faultsNotListed_ = state.faultsNotListed;
  record_ = state.record;
  strayWrites_ = state.strayWrites;
  readPastReported_ = state.readPastReported;
}

}  // namespace emu

#endif
