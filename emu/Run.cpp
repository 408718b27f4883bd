#include "Run.h"

namespace emu {

RunResult RunScenario(const PeImage& image, const tools::Scenario& scenario, const RunOptions& options) {
  return RunScenario(PlaceRelocated(image), scenario, options);
}

RunResult RunScenario(const FlashImage& image, const tools::Scenario& scenario, const RunOptions& options) {
  sim::Platform platform;
  tools::ApplyPlatform(scenario.platform, platform);
  platform.bus.SetLogLimit(options.keepAccessLog ? (4u << 20) : 0);
  Emulator machine(image, platform, scenario.platform, scenario.limits);

  RunResult run;
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

  auto account = [&](const CallResult& c) {
    run.instructions += c.instructions;
    run.maxStackBytes = std::max(run.maxStackBytes, c.stackBytes);
    run.ioAccesses += c.ioAccesses;
    run.mmioAccesses += c.mmioAccesses;
    run.postcodes.insert(run.postcodes.end(), c.postcodes.begin(), c.postcodes.end());
  };
  run.entry = machine.RunEntry();
  account(run.entry);
  run.handlers = machine.Handlers();

  for (size_t i = 0; i < scenario.reports.size() && !machine.Halted(); ++i) {
    DeliveredReport d{i, &scenario.reports[i], machine.Deliver(scenario.reports[i], i)};
    for (size_t h = 0; h < d.calls.size(); ++h) {
      const CallResult& c = d.calls[h];
      account(c);
      if (run.handlerStats.size() <= h) run.handlerStats.resize(h + 1);
      HandlerStats& s = run.handlerStats[h];
      s.address = h < run.handlers.size() ? run.handlers[h] : 0;
      ++s.calls;
      s.instructions += c.instructions;
      s.maxInstructions = std::max(s.maxInstructions, c.instructions);
      s.maxStackBytes = std::max(s.maxStackBytes, c.stackBytes);
    }
    run.reports.push_back(std::move(d));
    if (options.progress && (i + 1) % options.progressEvery == 0) options.progress(i + 1, scenario.reports.size());
  }

  run.outputs = tools::ReadOutputs(platform);
  run.memoryLogWindow.assign(platform.memoryLog.Bytes().begin(), platform.memoryLog.Bytes().end());
  run.postcodeWrites = platform.postCodes.WriteCount();
  run.halt = machine.HaltInfo();
  run.faults = machine.Faults();
  run.services = machine.Services();
  run.imageIntact = machine.ImageIntact();
  for (const auto& [address, length] : machine.CreatedHobs())
    run.stackHobs.emplace_back(address, tools::DecodePostCodeStack(machine.ReadGuest(address, length)));
  if (options.keepAccessLog) {
    run.accesses = platform.bus.Log();
    run.accessLogTruncated = platform.bus.AccessCount() > run.accesses.size();
  }
  return run;
}

}  // namespace emu
