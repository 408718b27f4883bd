// wholepath_run SCENARIO: runs a scenario through the module's code built for
// the i686 host, on the simulated board and PEI environment, and prints the
// run as the same JSON document that `sinksim run --json` prints (one run
// result type, one writer), so that the two machines can be compared field
// by field. Fields only the emulated machine measures (instructions, stack)
// stay at their defaults; the bus accesses and the bytes each output received
// are counted on the board as there.
#include <sys/mman.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "debugtext/DebugTextHandler.h"
#include "sim/host32/HostPlatform.h"
#include "start/ModuleEntry.h"
#include "sim/host32/PeiEnvironment.h"
#include "sim/SimPlatform.h"
#include "postcode/PostCode.h"
#include "run/Cycle.h"
#include "run/Json.h"
#include "run/Outputs.h"
#include "run/RunResult.h"
#include "scenario/Scenario.h"

namespace {

std::jmp_buf gBlinkStop;

// The FileHandle the dispatcher passes (the module does not look at it).
const void* const kFileHandle = reinterpret_cast<const void*>(0xFFF00000u);

// Room for a report's data record, at the address the emulated machine uses
// when this process can map it there (the error line prints the address),
// else wherever the heap puts it.
class RecordArea {
 public:
  static constexpr size_t kSize = 0x11000;
  RecordArea() {
    const uintptr_t page = scenario::kReportDataAddress & ~0xFFFu;
    void* p = mmap(reinterpret_cast<void*>(page), kSize, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    if (p == reinterpret_cast<void*>(page)) {
      mapped_ = static_cast<uint8_t*>(p);
      data_ = mapped_ + (scenario::kReportDataAddress - page);
    } else {
      if (p != MAP_FAILED) munmap(p, kSize);
      heap_.resize(kSize);
      data_ = heap_.data();
    }
  }
  ~RecordArea() {
    if (mapped_ != nullptr) munmap(mapped_, kSize);
  }
  RecordArea(const RecordArea&) = delete;
  RecordArea& operator=(const RecordArea&) = delete;
  uint8_t* Data() { return data_; }
  uint32_t Address() const { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(data_)); }

 private:
  uint8_t* mapped_ = nullptr;
  uint8_t* data_ = nullptr;
  std::vector<uint8_t> heap_;
};

uint32_t Address(const void* p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }

// The last `count` writes to port 0x80, as runs of (word, count).
std::vector<std::pair<uint16_t, uint64_t>> LastRuns(const sim::PostCodePort& port, uint64_t count) {
  std::vector<std::pair<uint16_t, uint64_t>> runs;
  const auto& all = port.Runs();
  for (size_t i = all.size(); i-- > 0 && count > 0;) {
    const uint64_t take = std::min(all[i].count, count);
    runs.emplace_back(all[i].code, take);
    count -= take;
  }
  return {runs.rbegin(), runs.rend()};
}

// The words of those writes; a stopped call gives the first word of each of
// its runs, as the emulated machine does.
std::vector<uint16_t> Words(const std::vector<std::pair<uint16_t, uint64_t>>& runs, bool stopped) {
  std::vector<uint16_t> words;
  for (const auto& [word, count] : runs) words.insert(words.end(), stopped ? 1 : static_cast<size_t>(count), word);
  return words;
}

// The board's bus accesses so far, by kind, as the emulated machine counts them per call.
struct BusCounts {
  uint64_t io = 0, mmio = 0;
};

// A call's bus accesses and the bytes each output received, from the counts
// taken when it began.
struct CallStart {
  BusCounts bus;
  run::OutputBytes outputs{};
  static CallStart Now(const sim::Platform& platform, const BusCounts& bus) { return {bus, run::BoardBytes(platform)}; }
  void Finish(const sim::Platform& platform, const BusCounts& bus, run::CallResult& call) const {
    call.ioAccesses = bus.io - this->bus.io;
    call.mmioAccesses = bus.mmio - this->bus.mmio;
    call.outputBytes = run::BytesSince(outputs, run::BoardBytes(platform));
  }
};

// One report's walk of the router, kept outside the frame that calls setjmp
// so that nothing it changes is lost when a blinking handler is stopped.
struct Walk {
  run::DeliveredReport delivered;
  size_t handler = 0;
  uint64_t callStart = 0;
  CallStart figures;
};

// Delivers one report to every registered handler, in order; false when a
// handler blinked and was stopped (the boot halts there).
bool Deliver(sim::Platform& platform, sim::PeiEnvironment& env, const scenario::Report& r, const EFI_GUID* caller,
             const EFI_STATUS_CODE_DATA* data, uint64_t blinkWrites, const BusCounts& bus, Walk& walk,
             run::RunResult& run) {
  // A handler that blinks never returns: the port stops it after a bounded number of writes.
  platform.postCodes.StopAfter(blinkWrites, [] { std::longjmp(gBlinkStop, 1); });
  if (setjmp(gBlinkStop) != 0) {
    platform.postCodes.ClearStop();
    const uint64_t written = platform.postCodes.WriteCount() - walk.callStart;
    const auto runs = LastRuns(platform.postCodes, written);
    run::CallResult stopped;
    stopped.stopped = "blink loop";
    stopped.postcodes = Words(runs, true);
    walk.figures.Finish(platform, bus, stopped);
    walk.delivered.calls.push_back(std::move(stopped));
    run::Halt halt{"blink loop", walk.delivered.index, walk.handler, {}, written, 0};
    run::DescribeCycle(runs, halt);
    run.halt = std::move(halt);
    return false;
  }
  const std::vector<EFI_PEI_RSC_HANDLER_CALLBACK> handlers = env.Handlers();
  for (; walk.handler < handlers.size(); ++walk.handler) {
    walk.callStart = platform.postCodes.WriteCount();
    walk.figures = CallStart::Now(platform, bus);
    run::CallResult call;
    call.status = handlers[walk.handler](env.Services(), r.type, r.value, r.instance, caller, data);
    walk.figures.Finish(platform, bus, call);
    call.postcodes = Words(LastRuns(platform.postCodes, platform.postCodes.WriteCount() - walk.callStart), false);
    walk.delivered.calls.push_back(std::move(call));
  }
  platform.postCodes.ClearStop();
  return true;
}

// A pointer given as an address would be dereferenced in this process, where
// nothing answers as a board's unclaimed memory does: such scenarios are
// refused, and run on the emulated machine only.
void RefuseGivenPointers(const scenario::Scenario& s) {
  for (const scenario::Report& r : s.reports)
    if (r.callerAddress || r.dataAddress)
      throw scenario::ScenarioError(s.path + ": report " + std::to_string(r.source) + ": field '" +
                                    (r.callerAddress ? "caller_address" : "data_address") +
                                    "': a pointer given as an address cannot be delivered by the host32 harness "
                                    "(run it with sinksim)");
}

int Run(const scenario::Scenario& s) {
  RefuseGivenPointers(s);
  sim::Platform platform;
  scenario::ApplyPlatform(s.platform, platform);
  platform.bus.SetLogLimit(0);
  BusCounts bus;
  platform.bus.Observe([&bus](const sim::Access& a, bool) {
    if (a.kind == sim::AccessKind::IoRead || a.kind == sim::AccessKind::IoWrite) ++bus.io;
    if (a.kind == sim::AccessKind::MemRead || a.kind == sim::AccessKind::MemWrite) ++bus.mmio;
  });
  sim::ScopedPlatform scope(platform);
  sim::PeiEnvironment env(s.platform.pei);
  RecordArea area;

  run::RunResult run;
  run.machine = "host32";
  run.scenario = &s;
  run.dataAddress = area.Address();
  run::RenderContext names;  // imageBase 0: symbols by address
  names.symbols = {{Address(reinterpret_cast<const void*>(&DebugTextHandler)), "DebugTextHandler"},
                   {Address(reinterpret_cast<const void*>(&PostCodeHandler)), "PostCodeHandler"},
                   {Address(reinterpret_cast<const void*>(&ModuleEntry)), "ModuleEntry"}};

  run::CallResult entry;
  const uint64_t before = platform.postCodes.WriteCount();
  const CallStart entryStart = CallStart::Now(platform, bus);
  entry.status = ModuleEntry(kFileHandle, env.Services());
  entryStart.Finish(platform, bus, entry);
  entry.postcodes = Words(LastRuns(platform.postCodes, platform.postCodes.WriteCount() - before), false);
  run.AddEntry(std::move(entry));
  run.handlers = env.pei.Handlers();

  s.ForEachDelivery([&](uint64_t delivery, const scenario::Report& r) {
    const size_t i = static_cast<size_t>(delivery);
    EFI_GUID caller{};
    if (r.caller) std::memcpy(&caller, r.caller->data(), sizeof caller);
    const EFI_STATUS_CODE_DATA* data = nullptr;
    if (r.data) {
      if (r.data->bytes.size() > RecordArea::kSize - 16)
        throw scenario::ScenarioError(s.path + ": report " + std::to_string(i) + ": data record too large");
      const std::vector<uint8_t> placed = r.data->Placed(area.Address());
      std::memcpy(area.Data(), placed.data(), placed.size());
      data = reinterpret_cast<const EFI_STATUS_CODE_DATA*>(area.Data());
    }
    Walk walk;
    walk.delivered = {i, &r, {}};
    const bool returned =
        Deliver(platform, env, r, r.caller ? &caller : nullptr, data, s.limits.blinkWrites, bus, walk, run);
    run.AddReport(std::move(walk.delivered));
    return returned;
  });

  run.outputs = run::ReadOutputs(platform);
  run.postcodeWrites = platform.postCodes.WriteCount();
  run.services = env.pei.calls;
  for (const auto& [address, length] : env.pei.createdHobs) {
    const auto* hob = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(address));
    run.stackHobs.emplace_back(address, scenario::DecodePostCodeStack(std::vector<uint8_t>(hob, hob + length)));
  }
  run::WriteJson(std::cout, run, names);
  std::cout << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: wholepath_run SCENARIO\n");
    return 1;
  }
  try {
    return Run(scenario::LoadScenario(argv[1]));
  } catch (const scenario::ScenarioError& e) {
    std::fprintf(stderr, "wholepath_run: %s\n", e.what());
  }
  return 1;
}
