#include "emu/Run.h"

namespace emu {

RunResult RunScenario(const PeImage& image, const scenario::Scenario& scenario, const RunOptions& options) {
  return RunScenario(PlaceRelocated(image), scenario, options);
}

RunResult RunScenario(const FlashImage& image, const scenario::Scenario& scenario, const RunOptions& options) {
  sim::Platform platform;
  scenario::ApplyPlatform(scenario.platform, platform);
  if (scenario.platform.timing) {
    // The board time model: the emulated machine drives the board's clock,
    // which charges time to the outputs of the table apart.
    platform.EnableTiming(*scenario.platform.timing);
    platform.clock.ChargeApart(run::OutputDevices(platform));
  }
  platform.bus.SetLogLimit(options.keepAccessLog ? options.accessLogLimit : 0);
  if (options.busObserver) platform.bus.Observe(options.busObserver);
  Emulator machine(image, platform, scenario.platform, scenario.limits);
  if (!options.countRanges.empty()) machine.CountIn(options.countRanges);

  RunResult run;
  run.machine = "emulator";
  run.scenario = &scenario;
  run.imagePath = image.path;
  run.imageSource = image.source;
  run.imageFormat = image.format;
  run.dispatch = image.dispatch;
  run.imageFileSize = image.fileSize;
  run.imageBase = machine.ImageBase();
  run.imageSize = machine.ImageSize();
  run.entryPoint = machine.EntryPoint();
  run.relocations = machine.RelocationsApplied();
  run.countRanges = options.countRanges;

  run.AddEntry(machine.RunEntry());
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

}  // namespace emu
