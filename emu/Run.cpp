#include "emu/Run.h"

#include <algorithm>

namespace emu {

// A machine and its board, as made for the first scenario that needed it.
struct Runner::Board {
  // What making the machine and its entry depended on.
  scenario::PlatformConfig config;
  scenario::Limits entryLimits;
  std::vector<run::CountRange> countRanges;
  size_t logLimit = 0;
  bool observed = false;

  sim::Platform platform;
  std::unique_ptr<Emulator> machine;
  CallResult entry;
  uint64_t entryPortWrites = 0;
  uint64_t entryBusAccesses = 0;
  sim::Machine::Observer observer;  // the observer of the run in progress
  bool used = false;  // a run has started since the snapshot

  // The entry ends as it did under `limits` too: it returned within the
  // instruction budget and wrote port 0x80 fewer times than the stop needs.
  bool EntryHoldsUnder(const scenario::Limits& limits) const {
    return limits == entryLimits || (entry.stopped.empty() && entry.instructions <= limits.instructionsPerCall &&
                                     entryPortWrites < limits.blinkWrites);
  }
};

Runner::Runner(FlashImage image, size_t machinesKept) : image_(std::move(image)), machinesKept_(machinesKept) {}

Runner::~Runner() = default;

Runner::Board& Runner::BoardFor(const scenario::Scenario& scenario, const RunOptions& options) {
  const size_t logLimit = options.keepAccessLog ? options.accessLogLimit : 0;
  const bool observed = static_cast<bool>(options.busObserver);
  if (machinesKept_ > 0) {
    const auto kept = std::find_if(boards_.begin(), boards_.end(), [&](const std::unique_ptr<Board>& b) {
      return b->config == scenario.platform && b->countRanges == options.countRanges && b->logLimit == logLimit &&
             b->observed == observed && b->EntryHoldsUnder(scenario.limits) &&
             // An observer must see the entry's accesses too, which a kept machine has made already.
             (!observed || b->entryBusAccesses == 0);
    });
    if (kept != boards_.end()) {
      std::rotate(kept, kept + 1, boards_.end());
      Board& b = *boards_.back();
      if (b.used) {
        b.machine->Reset();
        b.machine->ResetBlocksRun();
      }
      b.machine->SetLimits(scenario.limits);
      b.used = true;
      return b;
    }
  }

  auto b = std::make_unique<Board>();
  b->config = scenario.platform;
  b->entryLimits = scenario.limits;
  b->countRanges = options.countRanges;
  b->logLimit = logLimit;
  b->observed = observed;
  sim::Platform& platform = b->platform;
  scenario::ApplyPlatform(scenario.platform, platform);
  if (scenario.platform.timing) {
    // The board time model: the emulated machine drives the board's clock,
    // which charges time to the outputs of the table apart.
    platform.EnableTiming(*scenario.platform.timing);
    platform.clock.ChargeApart(run::OutputDevices(platform));
  }
  platform.bus.SetLogLimit(logLimit);
  if (observed) {
    platform.bus.Observe([board = b.get()](const sim::Access& access, bool claimed) {
      if (board->observer) board->observer(access, claimed);
    });
    b->observer = options.busObserver;
  }
  b->machine = std::make_unique<Emulator>(image_, platform, scenario.platform, scenario.limits);
  if (!options.countRanges.empty()) b->machine->CountIn(options.countRanges);
  b->entry = b->machine->RunEntry();
  b->observer = nullptr;
  b->entryPortWrites = platform.postCodes.WriteCount();
  b->entryBusAccesses = platform.bus.AccessCount();
  if (machinesKept_ > 0) b->machine->TakeSnapshot();
  b->used = true;
  ++machinesMade_;
  while (!boards_.empty() && boards_.size() >= std::max<size_t>(machinesKept_, 1)) boards_.erase(boards_.begin());
  boards_.push_back(std::move(b));
  return *boards_.back();
}

RunResult Runner::Run(const scenario::Scenario& scenario, const RunOptions& options) {
  Board& board = BoardFor(scenario, options);
  Emulator& machine = *board.machine;
  sim::Platform& platform = board.platform;
  // The observer is the caller's for this run only, however the run ends.
  struct Unobserve {
    Board& board;
    ~Unobserve() { board.observer = nullptr; }
  } unobserve{board};
  board.observer = options.busObserver;

  RunResult run;
  run.machine = "emulator";
  run.scenario = &scenario;
  run.imagePath = image_.path;
  run.imageSource = image_.source;
  run.imageFormat = image_.format;
  run.dispatch = image_.dispatch;
  run.imageFileSize = image_.fileSize;
  run.imageBase = machine.ImageBase();
  run.imageSize = machine.ImageSize();
  run.entryPoint = machine.EntryPoint();
  run.relocations = machine.RelocationsApplied();
  run.countRanges = options.countRanges;

  run.AddEntry(board.entry);
  run.handlers = machine.Handlers();

  // A repeated report is delivered again and again from the one copy the
  // scenario keeps; the run keeps alike deliveries in a row once.
  const uint64_t total = scenario.DeliveryCount();
  scenario.ForEachDelivery([&](uint64_t i, const scenario::Report& report) {
    if (machine.Halted()) return false;
    const size_t index = static_cast<size_t>(i);
    run.AddReport({index, &report, machine.Deliver(report, index)});
    if (options.progress && (index + 1) % options.progressEvery == 0) options.progress(index + 1, total);
    return true;
  });

  run.outputs = run::ReadOutputs(platform);
  run.memoryLogWindow.assign(platform.memoryLog.Bytes().begin(), platform.memoryLog.Bytes().end());
  run.postcodeWrites = platform.postCodes.WriteCount();
  if (platform.clock.On()) run.timing = run::ReadTiming(platform);
  run.halt = machine.HaltInfo();
  run.faults = machine.Faults();
  run.faultsNotListed = machine.FaultsNotListed();
  run.services = machine.Services();
  run.imageIntact = machine.ImageIntact();
  run.countRangeCrossings = machine.RangeCrossings();
  if (options.executedBlocks != nullptr) *options.executedBlocks = machine.ExecutedBlocks();
  for (const auto& [address, length] : machine.CreatedHobs())
    run.stackHobs.emplace_back(address, scenario::DecodePostCodeStack(machine.ReadGuest(address, length)));
  if (options.keepAccessLog) {
    run.accesses = platform.bus.Log();
    run.accessLogTruncated = platform.bus.AccessCount() > run.accesses.size();
  }
  return run;
}

RunResult RunScenario(const PeImage& image, const scenario::Scenario& scenario, const RunOptions& options) {
  return Runner(PlaceRelocated(image), 0).Run(scenario, options);
}

RunResult RunScenario(const FlashImage& image, const scenario::Scenario& scenario, const RunOptions& options) {
  return Runner(image, 0).Run(scenario, options);
}

}  // namespace emu
