// The machine kept and put back: Emulator::TakeSnapshot and Emulator::Reset.
#include "emu/Emulator.h"

#include <stdexcept>

namespace emu {

struct Emulator::Snapshot {
  std::unique_ptr<uc_context, uc_err (*)(uc_context*)> registers{nullptr, uc_context_free};
  GuestMemory::Contents memory;
  FaultWatch::State watch;
  sim::PeiBehaviour pei;
  sim::PlatformState board;
  std::optional<Halt> halt;
  BlockCounter::State blocks;
};

void Emulator::TakeSnapshot() {
  uc_engine* uc = cpu_.Engine();
  uc_context* registers = nullptr;
  Check(uc_context_alloc(uc, &registers), "making room for the registers");
  auto snapshot = std::make_unique<Snapshot>(Snapshot{{registers, uc_context_free}, memory_.Save(), watch_.Save(), pei_,
                                                      platform_.Save(), halt_, counter_.Save()});
  Check(uc_context_save(uc, registers), "saving the registers");
  snapshot_ = {snapshot.release(), [](Snapshot* s) { delete s; }};
}

// The machine's own counts of its engine (translation cache flushes, calls
// since the last) are not put back: the translated code is what is kept.
void Emulator::Reset() {
  if (snapshot_ == nullptr) throw std::logic_error("emulator: Reset without a snapshot");
  const Snapshot& s = *snapshot_;
  Check(uc_context_restore(cpu_.Engine(), s.registers.get()), "restoring the registers");
  memory_.Restore(s.memory);
  watch_.Restore(s.watch);
  pei_ = s.pei;
  platform_.Restore(s.board);
  halt_ = s.halt;
}

void Emulator::ResetBlocksRun() {
  if (snapshot_ == nullptr) throw std::logic_error("emulator: ResetBlocksRun without a snapshot");
  counter_.Restore(snapshot_->blocks);
}

}  // namespace emu
