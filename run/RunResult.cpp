#include "run/RunResult.h"

#include <algorithm>
#include <cstdio>

namespace run {
namespace {

// Deliveries alike but for when they ran: the same calls, each as long as
// the other's (the board time model's starts differ from one to the next).
bool Alike(const std::vector<CallResult>& a, const std::vector<CallResult>& b) {
  if (a.size() != b.size()) return false;
  for (size_t h = 0; h < a.size(); ++h) {
    if (a[h].startNs == b[h].startNs) {
      if (!(a[h] == b[h])) return false;
      continue;
    }
    CallResult shifted = b[h];
    shifted.startNs = a[h].startNs;
    shifted.endNs = a[h].startNs + (b[h].endNs - b[h].startNs);
    if (!(shifted == a[h])) return false;
  }
  return true;
}

}  // namespace

TimingResult ReadTiming(const sim::Platform& platform) {
  const sim::BoardClock& clock = platform.clock;
  TimingResult t;
  t.settings = clock.Settings();
  t.bootNs = clock.NowNs();
  for (size_t i = 0; i <= kOutputCount; ++i) t.chargedNs[i] = clock.ChargedNs(i);
  for (size_t i = 0; i < kOutputCount; ++i) {
    if (kOutputs[i].line == nullptr) continue;
    const sim::TimedTransmitter& line = *kOutputs[i].line(platform);
    TimingResult::Wire wire{i, line.Timing(), {}};
    for (const sim::TimedTransmitter::Burst& b : line.Bursts()) wire.bursts.emplace_back(sim::ToNs(b.start), b.bytes);
    t.wires.push_back(std::move(wire));
  }
  return t;
}

void RunResult::AddEntry(CallResult call) {
  entry = std::move(call);
  instructions += entry.instructions;
  rangeInstructions += entry.rangeInstructions;
  maxStackBytes = std::max(maxStackBytes, entry.stackBytes);
  ioAccesses += entry.ioAccesses;
  mmioAccesses += entry.mmioAccesses;
  postcodes.insert(postcodes.end(), entry.postcodes.begin(), entry.postcodes.end());
}

void RunResult::AddReport(DeliveredReport delivered) {
  delivered.repeat = 1;
  for (size_t h = 0; h < delivered.calls.size(); ++h) {
    const CallResult& c = delivered.calls[h];
    instructions += c.instructions;
    rangeInstructions += c.rangeInstructions;
    maxStackBytes = std::max(maxStackBytes, c.stackBytes);
    ioAccesses += c.ioAccesses;
    mmioAccesses += c.mmioAccesses;
    postcodes.insert(postcodes.end(), c.postcodes.begin(), c.postcodes.end());
    if (handlerStats.size() <= h) handlerStats.resize(h + 1);
    HandlerStats& s = handlerStats[h];
    s.address = h < handlers.size() ? handlers[h] : 0;
    ++s.calls;
    s.instructions += c.instructions;
    s.maxInstructions = std::max(s.maxInstructions, c.instructions);
    s.maxStackBytes = std::max(s.maxStackBytes, c.stackBytes);
  }
  if (!reports.empty()) {
    DeliveredReport& last = reports.back();
    if (last.report == delivered.report && last.index + last.repeat == delivered.index && Alike(last.calls, delivered.calls)) {
      ++last.repeat;
      return;
    }
  }
  if (reports.size() == kMaxKeptReports)
    throw RunLimit("report " + std::to_string(delivered.index) + ": the run has kept " +
                   std::to_string(kMaxKeptReports) +
                   " deliveries that differ from the one before, as many as one run keeps; "
                   "deliver fewer reports, or repeat reports that the handlers answer alike");
  reports.push_back(std::move(delivered));
}

uint64_t RunResult::Delivered() const {
  uint64_t count = 0;
  for (const DeliveredReport& d : reports) count += d.repeat;
  return count;
}

RunEnd Classify(const RunResult& run) {
  constexpr std::string_view kBlink = "blink loop";
  bool stopped = !run.faults.empty() || !run.imageIntact || (!run.entry.stopped.empty() && run.entry.stopped != kBlink);
  for (const DeliveredReport& d : run.reports)
    for (const CallResult& c : d.calls) stopped = stopped || (!c.stopped.empty() && c.stopped != kBlink);
  if (run.halt && run.halt->reason != kBlink) stopped = true;
  if (stopped) return RunEnd::Stopped;
  return run.halt ? RunEnd::DesignedHalt : RunEnd::Clean;
}

std::string SymbolAt(const RenderContext& context, const RunResult& run, uint32_t address) {
  const auto it = context.symbols.find(address - run.imageBase);
  return it != context.symbols.end() ? it->second : Hex32(address);
}

std::string HandlerName(const RenderContext& context, const RunResult& run, size_t handler) {
  return handler < run.handlers.size() ? SymbolAt(context, run, run.handlers[handler])
                                       : "handler " + std::to_string(handler);
}

}  // namespace run
