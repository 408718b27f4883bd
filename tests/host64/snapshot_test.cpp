// A machine reset to its snapshot after the module's entry delivers a
// scenario's reports exactly as a machine made for it does, whatever ran on
// it before: other reports, a blink loop that halted it, faults.
#include <gtest/gtest.h>

#include <filesystem>
#include <fmt/format.h>

#include "emu/Emulator.h"
#include "emu/InPlace.h"
#include "emu/Run.h"
#include "run/Json.h"
#include "scenario/Board.h"
#include "tests/host64/Images.h"
#include "tests/host64/SystemHarness.h"

namespace {

// Everything a run shows of the machine and the board, as text to compare.
std::string Outcome(emu::Emulator& machine, const sim::Platform& platform, const scenario::Scenario& s) {
  std::string out;
  s.ForEachDelivery([&](uint64_t i, const scenario::Report& report) {
    if (machine.Halted()) return false;
    for (const run::CallResult& c : machine.Deliver(report, static_cast<size_t>(i))) {
      out += fmt::format("{}: {:#x} '{}' {} {} {} {} [{:x}] {}..{} ns\n", i, c.status.value_or(0xDEAD), c.stopped,
                         c.instructions, c.stackBytes, c.ioAccesses, c.mmioAccesses, fmt::join(c.postcodes, " "),
                         c.startNs, c.endNs);
    }
    return true;
  });
  const run::DeviceOutputs o = run::ReadOutputs(platform);
  out += fmt::format("serial '{}'\nmmio '{}'\nlog {:#x} '{}'\nwrites {}\naccesses {}\n", o.serial, o.mmioSerial,
                     o.memoryLogHeader, o.memoryLogText, platform.postCodes.WriteCount(), platform.bus.AccessCount());
  if (platform.clock.On()) {
    const run::TimingResult t = run::ReadTiming(platform);
    out += fmt::format("boot {} ns, charged [{}]\n", t.bootNs, fmt::join(t.chargedNs, " "));
    for (const run::TimingResult::Wire& w : t.wires)
      for (const auto& [start, bytes] : w.bursts) out += fmt::format("burst {} {} {}\n", w.output, start, bytes);
  }
  for (const run::Fault& f : machine.Faults())
    out += fmt::format("fault {} {:#x} {:#x} {}\n", f.kind, f.address, f.eip, f.during);
  if (machine.HaltInfo()) out += fmt::format("halt {} at {}\n", machine.HaltInfo()->reason, machine.HaltInfo()->report);
  const emu::ServiceCalls& c = machine.Services();
  out += fmt::format("services {} {} {} {} {} {}\n", c.locatePpi, c.getHobList, c.createHob, c.copyMem, c.registerCalls,
                     c.unsupported);
  for (const auto& [address, length] : machine.CreatedHobs())
    out += fmt::format("hob {:#x} [{:02x}]\n", address, fmt::join(machine.ReadGuest(address, length), ""));
  out += fmt::format("stack {:02x}\n", fmt::join(machine.ReadGuest(emu::layout::kStackTop - 1024, 1024), ""));
  out += machine.ImageIntact() ? "intact\n" : "written\n";
  return out;
}

const emu::FlashImage& Volume() {
  static const emu::FlashImage volume = emu::LoadVolume(SS_FV, SS_FV_BASE);
  return volume;
}

struct Machine {
  explicit Machine(const scenario::Scenario& board, const emu::FlashImage& image = Volume()) {
    scenario::ApplyPlatform(board.platform, platform);
    if (board.platform.timing) {
      platform.EnableTiming(*board.platform.timing);
      platform.clock.ChargeApart(run::OutputDevices(platform));
    }
    platform.bus.SetLogLimit(0);
    machine = std::make_unique<emu::Emulator>(image, platform, board.platform, board.limits);
    machine->RunEntry();
  }
  sim::Platform platform;
  std::unique_ptr<emu::Emulator> machine;
};

// What runs on the machine between its snapshot and the reset: a boot's
// reports, an unrecoverable error that halts it in the blink loop, and a
// wild pointer that faults.
scenario::Scenario Before() {
  return scenario::ParseScenario(R"({"reports": [
      {"type": 1, "value": "0x03020002", "data": {"kind": "specific", "module": "MemoryInitPei"}},
      {"type": 3, "value": 0, "data": {"kind": "debug", "level": "0x40", "format": "%a %d\n", "args": [{"string": "x"}, 7]}},
      {"type": "0x80000002", "value": "0x00051003", "caller": "MemoryTestPei"},
      {"type": 3, "value": 0, "data": {"kind": "debug", "level": "0x40", "format": "%s", "args": ["0xF0000000"]}},
      {"type": "0x90000002", "value": "0x03020002", "caller": "RecoveryModulePei",
       "data": {"kind": "specific", "module": "RecoveryModulePei"}},
      {"type": 1, "value": "0x03020003"}]})",
                                 "before.json");
}

TEST(Snapshot, AMachineResetAfterOtherRunsDeliversAsAFreshOne) {
  const scenario::Scenario before = Before();
  size_t compared = 0, halted = 0;
  // Each board untimed and on the time model: the clock and the UARTs' lines go back too.
  for (const bool timed : {false, true}) {
    for (const auto& entry : std::filesystem::directory_iterator(SS_SCENARIOS)) {
      if (entry.path().extension() != ".json") continue;
      scenario::Scenario s = scenario::LoadScenario(entry.path().string());
      if (timed) scenario::EnableTiming(s);
      // Blink cycles are long: a few thousand writes show the same halt.
      s.limits.blinkWrites = std::min<uint64_t>(s.limits.blinkWrites, 4096);
      scenario::Scenario board = s;
      board.reports.clear();
      board.limits.blinkWrites = s.limits.blinkWrites;

      Machine fresh(board);
      const std::string expected = Outcome(*fresh.machine, fresh.platform, s);

      Machine reused(board);
      reused.machine->TakeSnapshot();
      for (int round = 0; round < 2; ++round) {
        Outcome(*reused.machine, reused.platform, before);
        halted += reused.machine->Halted() ? 1 : 0;
        reused.machine->Reset();
        EXPECT_EQ(Outcome(*reused.machine, reused.platform, s), expected)
            << entry.path() << ": a machine reset " << round + 1 << " times differs from a fresh one";
        reused.machine->Reset();
      }
      ++compared;
    }
  }
  EXPECT_GE(compared, 20u);
  EXPECT_GE(halted, compared) << "on most boards the reports before the reset end in the blink loop";
}

// Everything a run gives through the runner: its document (the access log
// cut short and the instructions in two halves of the image included), the
// blocks it ran, the blocks that ran over the halves' edge, and what the
// bus's observer saw.
struct Seen {
  std::string document;
  std::vector<std::pair<uint32_t, uint32_t>> blocks;
  std::vector<std::string> crossings;
  std::string observed;
};

void ExpectSame(const Seen& kept, const Seen& made) {
  EXPECT_EQ(kept.document, made.document);
  EXPECT_EQ(kept.blocks, made.blocks);
  EXPECT_EQ(kept.crossings, made.crossings);
  EXPECT_EQ(kept.observed, made.observed);
}

Seen RunThrough(emu::Runner& runner, const scenario::Scenario& s) {
  Seen seen;
  uint64_t accesses = 0, digest = 14695981039346656037ull;
  std::vector<sim::Access> first;
  emu::RunOptions options;
  options.keepAccessLog = true;
  options.accessLogLimit = 3000;
  options.executedBlocks = &seen.blocks;
  const uint32_t half = runner.Image().imageSize / 2;
  options.countRanges = {{0, half, "low"}, {half, runner.Image().imageSize, "high"}};
  options.busObserver = [&](const sim::Access& a, bool claimed) {
    ++accesses;
    if (first.size() < options.accessLogLimit) first.push_back(a);
    for (const uint64_t v : {uint64_t{a.address}, uint64_t{a.value}, uint64_t{a.width}, uint64_t(a.kind), uint64_t{claimed}})
      digest = (digest ^ v) * 1099511628211ull;
  };
  const run::RunResult result = runner.Run(s, options);
  EXPECT_EQ(first, result.accesses) << "the observer sees what the bus logs";
  seen.document = run::ToJsonText(result, {});
  seen.crossings = result.countRangeCrossings;
  seen.observed = fmt::format("{} accesses, digest {:x}", accesses, digest);
  return seen;
}

// One runner for every scenario, on its own board and under other limits
// first: each scenario's run on the kept machine gives what a machine made
// for it gives, to the last field of the document, the blocks that ran and
// the accesses the observer saw, the entry's among them. A board whose
// settings differ in any way gets a machine of its own.
TEST(Snapshot, ARunnerGivesEachScenarioWhatAMachineMadeForItGives) {
  const emu::FlashImage& volume = Volume();
  emu::Runner runner(volume);
  emu::Runner fresh(volume, 0);
  size_t compared = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(SS_SCENARIOS)) {
    if (entry.path().extension() != ".json") continue;
    scenario::Scenario s = scenario::LoadScenario(entry.path().string());
    s.limits.blinkWrites = std::min<uint64_t>(s.limits.blinkWrites, 4100);
    scenario::Scenario before = Before();
    before.platform = s.platform;
    before.limits.blinkWrites = 4096;
    SCOPED_TRACE(entry.path().string());
    ExpectSame(RunThrough(runner, before), RunThrough(fresh, before));
    const size_t made = runner.MachinesMade();
    ExpectSame(RunThrough(runner, s), RunThrough(fresh, s));
    EXPECT_EQ(runner.MachinesMade(), made) << "the scenario's board had a machine already";
    ++compared;
  }
  EXPECT_GE(compared, 30u);
  EXPECT_LT(runner.MachinesMade(), compared) << "boards alike share a machine";
}

// The faults of the runs before a reset are gone after it: the image's text
// handler replaced by a store outside the allowed places faults every call.
TEST(Snapshot, FaultsBeforeAResetAreGoneAfterIt) {
  // mov [0x10000000], eax; xor eax, eax; ret
  const std::vector<uint8_t> strayWrite = {0xA3, 0, 0, 0, 0x10, 0x31, 0xC0, 0xC3};
  const emu::FlashImage image =
      emu::PlaceRelocated(test::Patched(test::Image(), test::HandlerRvas(test::Image()).at(0), strayWrite));
  const scenario::Scenario board = scenario::ParseScenario(R"({"reports": []})", "board.json");
  const scenario::Scenario reports =
      scenario::ParseScenario(R"({"reports": [{"type": 1, "value": "0x01010000"}, {"type": 3, "value": 0}]})", "r.json");
  Machine fresh(board, image), reused(board, image);
  const std::string expected = Outcome(*fresh.machine, fresh.platform, reports);
  reused.machine->TakeSnapshot();
  Outcome(*reused.machine, reused.platform, reports);
  reused.machine->Reset();
  EXPECT_EQ(Outcome(*reused.machine, reused.platform, reports), expected);
  EXPECT_EQ(fresh.machine->Faults().size(), 2u) << "one fault per call of the patched handler";
}

}  // namespace
