// Runs a scenario on the emulated machine: builds the board, loads the
// image, calls the entry point, delivers every report, and gathers what the
// devices received and what the watcher saw. A Runner runs many scenarios
// and keeps the machine of each board it has built, reset to its state after
// the entry for the next scenario on the same board.
#ifndef STATUSSINK_EMU_RUN_H
#define STATUSSINK_EMU_RUN_H

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "emu/Emulator.h"
#include "scenario/Board.h"
#include "run/RunResult.h"

namespace emu {

using run::DeliveredReport;
using run::HandlerStats;
using run::RunResult;

struct RunOptions {
  bool keepAccessLog = false;
  size_t accessLogLimit = 4u << 20;  // accesses the log keeps; later ones are counted only
  // Called every `progressEvery` reports with (delivered, total).
  std::function<void(size_t, size_t)> progress;
  size_t progressEvery = 1000;
  // Ranges of the image whose instructions are counted apart (Emulator::CountIn).
  std::vector<run::CountRange> countRanges;
  // Sees every port and device access of the run, and whether the board claimed it.
  sim::Machine::Observer busObserver;
  // Receives the blocks of the image that ran (Emulator::ExecutedBlocks) when set.
  std::vector<std::pair<uint32_t, uint32_t>>* executedBlocks = nullptr;
};

// Runs scenarios on machines of the one image. A run on a board the runner
// has a machine for (the same platform settings, count ranges, access log
// and observing, and limits under which the entry ends the same) starts from
// that machine reset to its snapshot after the entry, with the entry's
// result and the blocks it ran kept from then: the run's result is the one a
// machine made for it gives. The translated code stays, so a run on a kept
// machine skips making the engine, mapping the memory, the entry and
// translating the image anew. An observed run reuses no machine whose entry
// made bus accesses: those the observer would not see.
class Runner {
 public:
  // Keeps the machines of the `machinesKept` boards used last; 0 makes a
  // machine for every run and keeps none.
  explicit Runner(FlashImage image, size_t machinesKept = kMachinesKept);
  ~Runner();
  Runner(const Runner&) = delete;
  Runner& operator=(const Runner&) = delete;

  RunResult Run(const scenario::Scenario& scenario, const RunOptions& options = {});

  const FlashImage& Image() const { return image_; }
  // Machines made so far: one per run that found none to reuse.
  size_t MachinesMade() const { return machinesMade_; }
  static constexpr size_t kMachinesKept = 8;

 private:
  struct Board;
  // The kept machine for the scenario's board, reset, or one made for it.
  Board& BoardFor(const scenario::Scenario& scenario, const RunOptions& options);

  FlashImage image_;
  size_t machinesKept_;
  size_t machinesMade_ = 0;
  std::vector<std::unique_ptr<Board>> boards_;  // the one used last at the back
};

// One run on a machine made for it.
RunResult RunScenario(const FlashImage& image, const scenario::Scenario& scenario, const RunOptions& options = {});
RunResult RunScenario(const PeImage& image, const scenario::Scenario& scenario, const RunOptions& options = {});

}  // namespace emu

#endif
