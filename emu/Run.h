// Runs a scenario on the emulated machine: builds the board, loads the
// image, calls the entry point, delivers every report, and gathers what the
// devices received and what the watcher saw.
#ifndef STATUSSINK_EMU_RUN_H
#define STATUSSINK_EMU_RUN_H

#include <functional>
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

RunResult RunScenario(const FlashImage& image, const scenario::Scenario& scenario, const RunOptions& options = {});
RunResult RunScenario(const PeImage& image, const scenario::Scenario& scenario, const RunOptions& options = {});

}  // namespace emu

#endif
