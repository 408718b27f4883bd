// The fault matrix on the volume as it ships: every device fault against
// every report kind, the whole table asserted, so that a change in how any
// device's fault is handled shows here. Also how a cell is judged against
// what the design does on its board (an image that does nothing fails it),
// and the board's fault knobs whose effect no output shows.
#include <gtest/gtest.h>

#include <sstream>

#include "emu/FaultMatrix.h"
#include "tests/host64/Images.h"
#include "emu/InPlace.h"
#include "sim/SimPlatform.h"
#include "tests/host64/SystemHarness.h"

namespace {

// As `sinksim faults` prints it. Cells: outcome, which sinks got the text
// (legacy, memory-mapped, log), port 0x80 words or the blink cycle, "nf" for
// each EFI_NOT_FOUND.
constexpr const char* kExpectedTable = R"(fault                    progress     error+caller  debug     assertion  nesting                 unrecovered            string    no data
none                     ok LMG FC    ok LMG -      ok LMG -  ok LMG -   ok LMG 121,C2A,184,121  halt LMG 184>8400>0>1  ok LMG -  ok LMG -
legacy absent            ok .MG FC    ok .MG -      ok .MG -  ok .MG -   ok .MG 121,C2A,184,121  halt .MG 184>8400>0>1  ok .MG -  ok .MG -
legacy stuck             ok .MG FC    ok .MG -      ok .MG -  ok .MG -   ok .MG 121,C2A,184,121  halt .MG 184>8400>0>1  ok .MG -  ok .MG -
legacy slow              ok LMG FC    ok LMG -      ok LMG -  ok LMG -   ok LMG 121,C2A,184,121  halt LMG 184>8400>0>1  ok LMG -  ok LMG -
legacy slower than wait  ok lMG FC    ok lMG -      ok LMG -  ok lMG -   ok lMG 121,C2A,184,121  halt lMG 184>8400>0>1  ok LMG -  ok lMG -
mmio absent              ok L.G FC    ok L.G -      ok L.G -  ok L.G -   ok L.G 121,C2A,184,121  halt L.G 184>8400>0>1  ok L.G -  ok L.G -
mmio never ready         ok L.G FC    ok L.G -      ok L.G -  ok L.G -   ok L.G 121,C2A,184,121  halt L.G 184>8400>0>1  ok L.G -  ok L.G -
mmio ready 3 polls       ok LmG FC    ok LmG -      ok LmG -  ok LmG -   ok LmG 121,C2A,184,121  halt LmG 184>8400>0>1  ok LmG -  ok LmG -
mmio config hidden       ok LMG FC    ok LMG -      ok LMG -  ok LMG -   ok LMG 121,C2A,184,121  halt LMG 184>8400>0>1  ok LMG -  ok LMG -
sideband stuck hidden    ok L.G FC    ok L.G -      ok L.G -  ok L.G -   ok L.G 121,C2A,184,121  halt L.G 184>8400>0>1  ok L.G -  ok L.G -
config all ones          ok LMG FC    ok LMG -      ok LMG -  ok LMG -   ok LMG 121,C2A,184,121  halt LMG 184>8400>0>1  ok LMG -  ok LMG -
hob depth 200            ok LMG FC    ok LMG -      ok LMG -  ok LMG -   ok LMG 121,C2A,184,0    halt LMG 184>8400>0>1  ok LMG -  ok LMG -
hob zero length before   ok LMG - nf  ok LMG -      ok LMG -  ok LMG -   ok LMG - nf nf nf nf    ok LMG - nf            ok LMG -  ok LMG -
hob zero length after    ok LMG FC    ok LMG -      ok LMG -  ok LMG -   ok LMG 121,C2A,184,121  halt LMG 184>8400>0>1  ok LMG -  ok LMG -
hob truncated before     ok LMG - nf  ok LMG -      ok LMG -  ok LMG -   ok LMG - nf nf nf nf    ok LMG - nf            ok LMG -  ok LMG -
hob header-only before   ok LMG FC    ok LMG -      ok LMG -  ok LMG -   ok LMG 121,C2A,184,121  halt LMG 184>8400>0>1  ok LMG -  ok LMG -
hob odd length before    ok LMG FC    ok LMG -      ok LMG -  ok LMG -   ok LMG 121,C2A,184,121  halt LMG 184>8400>0>1  ok LMG -  ok LMG -
hob runs past list       ok LMG - nf  ok LMG -      ok LMG -  ok LMG -   ok LMG - nf nf nf nf    ok LMG - nf            ok LMG -  ok LMG -
hob short record         ok LMG - nf  ok LMG -      ok LMG -  ok LMG -   ok LMG - nf nf nf nf    ok LMG - nf            ok LMG -  ok LMG -
hob garbage after        ok LMG FC    ok LMG -      ok LMG -  ok LMG -   ok LMG 121,C2A,184,121  halt LMG 184>8400>0>1  ok LMG -  ok LMG -
hob list empty           ok LMG - nf  ok LMG -      ok LMG -  ok LMG -   ok LMG - nf nf nf nf    ok LMG - nf            ok LMG -  ok LMG -
pei locate fails         ok ... -     ok ... -      ok ... -  ok ... -   ok ... -                ok ... -               ok ... -  ok ... -
pei null ppi             ok ... -     ok ... -      ok ... -  ok ... -   ok ... -                ok ... -               ok ... -  ok ... -
pei register 0 fails     ok ... FC    ok ... -      ok ... -  ok ... -   ok ... 121,C2A,184,121  halt ... 184>8400>0>1  ok ... -  ok ... -
pei register 1 fails     ok LMG -     ok LMG -      ok LMG -  ok LMG -   ok LMG -                ok LMG -               ok LMG -  ok LMG -
pei create hob fails     ok LMG - nf  ok LMG -      ok LMG -  ok LMG -   ok LMG - nf nf nf nf    ok LMG - nf            ok LMG -  ok LMG -
pei get hob list fails   ok LMG - nf  ok LMG -      ok LMG -  ok LMG -   ok LMG - nf nf nf nf    ok LMG - nf            ok LMG -  ok LMG -
pei null hob list        ok LMG - nf  ok LMG -      ok LMG -  ok LMG -   ok LMG - nf nf nf nf    ok LMG - nf            ok LMG -  ok LMG -
log header ffffffff      ok LMg FC    ok LMg -      ok LMg -  ok LMg -   ok LMg 121,C2A,184,121  halt LMg 184>8400>0>1  ok LMg -  ok LMg -
log header 00000001      ok LMG FC    ok LMG -      ok LMG -  ok LMG -   ok LMG 121,C2A,184,121  halt LMG 184>8400>0>1  ok LMG -  ok LMG -
log header 00020003      ok LMG FC    ok LMG -      ok LMG -  ok LMG -   ok LMG 121,C2A,184,121  halt LMG 184>8400>0>1  ok LMG -  ok LMG -
log header 0000ffff      ok LMG FC    ok LMG -      ok LMG -  ok LMG -   ok LMG 121,C2A,184,121  halt LMG 184>8400>0>1  ok LMG -  ok LMG -)";

TEST(FaultMatrix, EveryCellOfTheTableIsAsDesigned) {
  const emu::FlashImage volume = emu::LoadVolume(SS_FV, SS_FV_BASE);
  std::ostringstream out;
  const int status = emu::PrintFaultMatrix(volume, false, out);
  const std::string text = out.str();
  EXPECT_EQ(text.substr(0, text.find("\n\n")), kExpectedTable) << text;
  EXPECT_EQ(status, 0);
  EXPECT_NE(text.find("\nevery cell as designed\n"), std::string::npos);
}

// A run of one report with both handlers returning 0, as the judge sees it.
struct Synthetic {
  scenario::Scenario scenario;
  run::RunResult run;
  run::DeviceOutputs clean{"line\r\n", "line\r\n", 0, "line\r\n"};
  emu::DeviceFault fault{"synthetic", "", nullptr};
  emu::ReportKind kind;

  explicit Synthetic(uint32_t type) {
    scenario::Report r;
    r.type = type;
    scenario.reports = {r};
    run.scenario = &scenario;
    run.outputs = clean;
    run.entry.status = 0;
    run::CallResult ok;
    ok.status = 0;
    ok.instructions = 1000;
    ok.stackBytes = 100;
    run.reports.push_back({0, &scenario.reports[0], {ok, ok}});
    kind.reports = scenario.reports;
  }
  void Halt(std::vector<uint16_t> cycle, uint64_t perWord = 0xF0000, std::string reason = "blink loop") {
    run.reports[0].calls[1].status.reset();
    run.reports[0].calls[1].stopped = reason;
    std::vector<run::CycleStep> steps;
    for (uint16_t word : cycle) steps.push_back({word, perWord});
    run.halt = run::Halt{reason, 0, 1, std::move(steps), 0, 0};
  }
};

TEST(FaultMatrix, JudgesACellAgainstWhatTheDesignDoesOnItsBoard) {
  constexpr uint32_t kUnrecovered = 0x90000002u, kProgress = 0x01u;
  struct Case {
    const char* name;
    uint32_t type;
    std::function<void(Synthetic&)> change;
    std::string summary;
  };
  const auto blinks = [](Synthetic& s) { s.kind.blinks = 0x184; };
  const std::vector<Case> cases = {
      {"clean", kProgress, [](Synthetic&) {}, "ok LMG -"},
      {"call at the budget", kProgress,
       [](Synthetic& s) { s.run.reports[0].calls[0].instructions = emu::kFaultCallBudget; }, "ok LMG -"},
      {"call over the budget", kProgress,
       [](Synthetic& s) { s.run.reports[0].calls[0].instructions = emu::kFaultCallBudget + 1; },
       "FAIL 4000001 instructions"},
      {"stack at 512", kProgress, [](Synthetic& s) { s.run.reports[0].calls[1].stackBytes = 512; }, "ok LMG -"},
      {"stack over 512", kProgress, [](Synthetic& s) { s.run.reports[0].calls[1].stackBytes = 513; },
       "FAIL stack 513 bytes"},
      {"a watcher fault", kProgress, [](Synthetic& s) {
         run::Fault f;
         f.kind = "image write";
         s.run.faults.push_back(f);
       },
       "FAIL image write"},
      {"image changed", kProgress, [](Synthetic& s) { s.run.imageIntact = false; }, "FAIL image written"},
      {"call stopped without a halt", kProgress,
       [](Synthetic& s) { s.run.reports[0].calls[0].stopped = "fault"; }, "FAIL stopped: fault"},
      {"report not delivered", kProgress, [](Synthetic& s) { s.run.reports.clear(); }, "FAIL reports not delivered"},
      {"the kind's words", kProgress,
       [](Synthetic& s) {
         s.kind.words = {0x184, 0xC2A};
         s.run.reports[0].calls[1].postcodes = {0x184, 0xC2A};
       },
       "ok LMG 184,C2A"},
      {"words other than the kind's", kProgress, [](Synthetic& s) { s.kind.words = {0xFC}; },
       "FAIL port 0x80 - where the design gives FC"},
      {"words where the board has no record", kProgress,
       [](Synthetic& s) {
         s.kind.words = {0xFC};
         s.fault.postCodes = emu::PostCodes::NotFound;
         s.run.reports[0].calls[1].postcodes = {0xFC};
       },
       "FAIL port 0x80 FC where the design gives -"},
      {"not found where the board has no record", kProgress,
       [](Synthetic& s) {
         s.kind.words = {0xFC};
         s.fault.postCodes = emu::PostCodes::NotFound;
         s.run.reports[0].calls[1].status = 0x8000000Eu;
       },
       "ok LMG - nf"},
      {"not found where the record is", kProgress,
       [](Synthetic& s) { s.run.reports[0].calls[1].status = 0x8000000Eu; },
       "FAIL 1 error statuses where the design gives 0"},
      {"part of the text where all of it must arrive", kProgress,
       [](Synthetic& s) {
         s.run.outputs.serial = "ine\r\n";
         s.run.outputs.mmioSerial.clear();
       },
       "FAIL text l.G where the design gives LMG"},
      {"part of the text where some must arrive", kProgress,
       [](Synthetic& s) {
         s.fault.outputs = "lM.";
         s.run.outputs.serial = "ine\r\n";
         s.run.outputs.mmioSerial.clear();
       },
       "ok l.G -"},
      {"text on an output the board breaks", kProgress, [](Synthetic& s) { s.fault.outputs = "L."; },
       "FAIL text LMG where the design gives .MG"},
      {"blink for an unrecoverable error", kUnrecovered,
       [&](Synthetic& s) {
         blinks(s);
         s.Halt({0x184, 0x8400, 0, 0x01});
       },
       "halt LMG 184>8400>0>1"},
      {"no blink for an unrecoverable error", kUnrecovered, blinks, "FAIL no blink for the unrecoverable error"},
      {"blink with a wrong cycle", kUnrecovered,
       [&](Synthetic& s) {
         blinks(s);
         s.Halt({0x184, 0x8400, 0, 0x02});
       },
       "FAIL stopped: blink loop"},
      {"blink with short runs", kUnrecovered,
       [&](Synthetic& s) {
         blinks(s);
         s.Halt({0x184, 0x8400, 0, 0x01}, 0xEFFFF);
       },
       "FAIL stopped: blink loop"},
      {"blink where the board has no record", kUnrecovered,
       [&](Synthetic& s) {
         blinks(s);
         s.fault.postCodes = emu::PostCodes::NotFound;
         s.Halt({0x184, 0x8400, 0, 0x01});
       },
       "FAIL stopped: blink loop"},
      {"blink for a progress code", kProgress, [](Synthetic& s) { s.Halt({0x184, 0x8400, 0, 0x01}); },
       "FAIL stopped: blink loop"},
      {"budget stop of an unrecoverable error", kUnrecovered,
       [&](Synthetic& s) {
         blinks(s);
         s.Halt({}, 0, "instruction budget");
       },
       "FAIL stopped: instruction budget"},
  };
  for (const Case& c : cases) {
    Synthetic s(c.type);
    c.change(s);
    EXPECT_EQ(emu::JudgeCell(s.run, s.clean, s.fault, s.kind).Summary(), c.summary) << c.name;
  }
}

// An image whose entry point answers 0 at once registers nothing: it passes
// only the rows where the design itself is left with nothing to do.
TEST(FaultMatrix, AnImageThatDoesNothingFailsEveryCellWhereTheDesignDoesSomething) {
  const emu::PeImage& built = test::Image();
  const emu::PeImage idle = test::Patched(built, built.entryRva, {0x31, 0xC0, 0xC3});  // xor eax, eax; ret
  const emu::FaultMatrix m = emu::RunFaultMatrix(emu::PlaceRelocated(idle));
  EXPECT_FALSE(m.AsDesigned());
  for (size_t f = 0; f < m.faults.size(); ++f)
    for (size_t k = 0; k < m.kinds.size(); ++k) {
      const bool noCodes = m.faults[f].postCodes == emu::PostCodes::None || (m.kinds[k].words.empty() && !m.kinds[k].blinks);
      const bool nothingToDo = emu::ExpectedSinks(m.faults[f]).find_first_not_of('.') == std::string::npos && noCodes;
      EXPECT_EQ(m.cells[f][k].outcome, nothingToDo ? emu::CellOutcome::Completed : emu::CellOutcome::Failed)
          << m.faults[f].name << " / " << m.kinds[k].name << ": " << m.cells[f][k].Summary();
    }
}

// Fault knobs whose effect the module's outputs do not show: configuration
// reads (window and ports 0xCF8/0xCFC) that give all ones, and a hide
// control that ignores writes.
TEST(FaultMatrix, BoardFaultKnobsChangeWhatTheBusAnswers) {
  constexpr uint32_t kBridgeVendor = 0xE0068000u, kHideControl = kBridgeVendor + 0xE1;
  sim::Platform p;
  p.pciPorts.SetHostBridgeDc(0x10000000u);
  p.pcie.SetSidebandBridgeHidden(false);
  p.bus.IoWrite(0xCF8, 4, 0x800000DCu);
  p.pcie.SetAllOnes(true);
  p.pciPorts.SetAllOnes(true);
  EXPECT_EQ(p.bus.MemRead(kBridgeVendor, 2), 0xFFFFu);
  EXPECT_EQ(p.bus.IoRead(0xCFC, 4), 0xFFFFFFFFu);
  p.bus.MemWrite(kHideControl, 1, 1);
  p.pcie.SetAllOnes(false);
  p.pciPorts.SetAllOnes(false);
  EXPECT_EQ(p.bus.MemRead(kBridgeVendor, 2), 0x8086u) << "a write through an all-ones window must not take";
  EXPECT_EQ(p.bus.IoRead(0xCFC, 4), 0x10000000u);

  p.pcie.SetHideControlLocked(true);
  p.bus.MemWrite(kHideControl, 1, 1);
  EXPECT_FALSE(p.pcie.SidebandBridgeHidden());
  p.pcie.SetHideControlLocked(false);
  p.bus.MemWrite(kHideControl, 1, 1);
  EXPECT_TRUE(p.pcie.SidebandBridgeHidden());
}

}  // namespace
