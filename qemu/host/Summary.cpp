#include "qemu/host/Summary.h"

#include <algorithm>
#include <exception>
#include <fstream>
#include <iterator>
#include <sstream>

#include "hostlib/Text.h"
#include "qemu/rom/RomFormat.h"
#include "run/Cycle.h"
#include "scenario/Board.h"

namespace qemu {
namespace {

std::vector<uint8_t> HexBytes(const std::string& text) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < text.size(); i += 2) {
    const std::optional<uint8_t> byte = hostlib::HexByte(text[i], text[i + 1]);
    if (!byte) throw QemuError("the boot ROM's report has '" + text + "' for bytes");
    out.push_back(*byte);
  }
  return out;
}

}  // namespace

Summary ReadSummary(const std::filesystem::path& path) {
  Summary s;
  std::ifstream in(path, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  text.resize(text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1);
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream f(line);
    std::vector<std::string> fields{std::istream_iterator<std::string>(f), std::istream_iterator<std::string>()};
    if (fields.empty()) continue;
    if (fields[0] == "END") s.complete = true;
    s.lines.push_back(std::move(fields));
  }
  return s;
}

SummaryReading ApplySummary(const Summary& summary, const scenario::Scenario& scenario, QemuRunResult& result) {
  QemuFacts& facts = result.facts;
  run::RunResult& run = result.run;
  SummaryReading reading;
  facts.complete = summary.complete;
  for (const auto& f : summary.lines) {
    const std::string& tag = f[0];
    try {
      if (tag == "DC" && f.size() == 2) {
        facts.hostBridgeDc = SummaryHex(f[1]);
      } else if (tag == "PROBE" && f.size() == 4) {
        facts.probes.push_back({SummaryHex(f[1]), SummaryHex(f[2]), SummaryHex(f[3])});
      } else if (tag == "PEIM" && f.size() == 4) {
        facts.peims.push_back({SummaryHex(f[1]), f[3], SummaryHex(f[2]) != 0});
      } else if (tag == "MODULE" && f.size() == 6) {
        facts.moduleFile = SummaryHex(f[1]);
        facts.imageSection = SummaryHex(f[2]);
        run.imageBase = SummaryHex(f[3]);  // relative addresses (the map's) count from here
        run.entryPoint = SummaryHex(f[4]);
        facts.imageFormat = f[5];
      } else if (tag == "ENTRY" && f.size() == 2) {
        run.entry.status = SummaryHex(f[1]);
      } else if (tag == "HANDLER" && f.size() == 3) {
        run.handlers.push_back(SummaryHex(f[2]));
      } else if (tag == "D" && f.size() == 2) {
        reading.delivered = static_cast<int>(SummaryHex(f[1])) + 1;
      } else if (tag == "C" && f.size() == 3) {
        reading.lastCall = {static_cast<int>(SummaryHex(f[1])), static_cast<int>(SummaryHex(f[2]))};
      } else if (tag == "R" && f.size() == 7) {
        const int report = static_cast<int>(SummaryHex(f[1])), handler = static_cast<int>(SummaryHex(f[2]));
        reading.statuses[{report, handler}] = SummaryHex(f[3]);
        const std::string during = "report " + std::to_string(report) + ", handler " + std::to_string(handler);
        if ((SummaryHex(f[4]) != 0) != scenario.platform.interruptsEnabled)
          run.faults.push_back({"interrupt flag not restored", 0, 0, 0, SummaryHex(f[4]), during, ""});
        if (SummaryHex(f[5]) != SummaryHex(f[6]))
          run.faults.push_back(
              {"0xCF8 not restored", 0xCF8, 0, 4, SummaryHex(f[6]), during, "it held " + f[5] + " before the call"});
      } else if (tag == "HOB" && f.size() == 4) {
        run.stackHobs.emplace_back(SummaryHex(f[1]), scenario::DecodePostCodeStack(HexBytes(f[3])));
      } else if (tag == "LOG" && f.size() == 2) {
        reading.logHeader = SummaryHex(f[1]);
      } else if (tag == "LOGAREA" && f.size() == 3) {
        const uint32_t offset = SummaryHex(f[1]);
        const std::vector<uint8_t> bytes = HexBytes(f[2]);
        if (offset + bytes.size() > reading.logArea.size()) throw QemuError("memory log chunk outside the text area");
        std::copy(bytes.begin(), bytes.end(), reading.logArea.begin() + offset);
      } else if (tag == "SERVICES" && f.size() == 9) {
        run.services.locatePpi = static_cast<int>(SummaryHex(f[1]));
        run.services.registerCalls = static_cast<int>(SummaryHex(f[2]));
        run.services.createHob = static_cast<int>(SummaryHex(f[3]));
        run.services.getHobList = static_cast<int>(SummaryHex(f[4]));
        run.services.copyMem = static_cast<int>(SummaryHex(f[5]));
        run.services.unsupported = static_cast<int>(SummaryHex(f[6]));
        run.services.lastLocatePpiServices = SummaryHex(f[7]);
        run.services.lastCreateHobServices = SummaryHex(f[8]);
      } else if (tag == "FAULT" && f.size() == 5) {
        run::Fault fault;
        fault.kind = "processor exception " + std::to_string(SummaryHex(f[1]));
        fault.address = SummaryHex(f[4]);
        fault.eip = SummaryHex(f[3]);
        fault.value = SummaryHex(f[2]);
        fault.during = reading.lastCall ? "report " + std::to_string(reading.lastCall->first) + ", handler " +
                                              std::to_string(reading.lastCall->second)
                                        : "entry";
        fault.detail = "error code " + f[2] + ", CR2 " + f[4];
        run.faults.push_back(fault);
      } else if (tag == "ERROR") {
        std::string text;
        for (size_t k = 1; k < f.size(); ++k) text += (k > 1 ? " " : "") + f[k];
        facts.problems.push_back("the boot ROM stopped: " + text);
      } else if (tag == "STOPPED" && f.size() == 1) {
        facts.stateReadBack = true;
      } else if (tag == "SSQ" && f.size() == 2) {
        if (SummaryHex(f[1]) != QemuRom::SummaryVersion)
          facts.problems.push_back("the boot ROM writes summary version " + f[1] + ", this sinksim reads version " +
                                   std::to_string(QemuRom::SummaryVersion) + ": rebuild both");
      } else if (tag != "END") {
        facts.problems.push_back("summary line not understood: " + tag);
      }
    } catch (const std::exception&) {
      facts.problems.push_back("summary line not understood: " + tag);
    }
  }

  // The memory log as the board holds it after the run.
  sim::MemoryLogRam log;
  for (size_t i = 0; i < reading.logArea.size(); ++i)
    log.SetByte(sim::MemoryLogRam::kBase + sim::MemoryLogRam::kTextStart + static_cast<uint32_t>(i),
                reading.logArea[i]);
  log.SetHeader(reading.logHeader);
  run.outputs.memoryLogHeader = reading.logHeader;
  run.outputs.memoryLogText = log.LogText();

  return reading;
}

void AssembleReports(const SummaryReading& reading, const TraceReader& trace, const scenario::Scenario& scenario,
                     QemuRunResult& result) {
  QemuFacts& facts = result.facts;
  run::RunResult& run = result.run;
  auto words = [&](const std::vector<std::pair<uint16_t, uint64_t>>& runs, bool halted) {
    std::vector<uint16_t> out;
    for (const auto& [word, count] : runs) out.insert(out.end(), halted ? 1 : static_cast<size_t>(count), word);
    return out;
  };
  // The call that never returned: a blink loop once it has written port 0x80
  // as often as a blink loop may (as the emulated machine judges it), or once
  // its cycle shows before the time limit stopped it.
  auto stopped = [&](const std::vector<std::pair<uint16_t, uint64_t>>& runs, size_t report, size_t handler,
                     run::CallResult& call) {
    run::Halt halt{"", report, handler, {}, 0, 0};
    run::DescribeCycle(runs, halt);
    for (const auto& r : runs) halt.portWrites += r.second;
    call.stopped = facts.blinkLimit || !halt.cycle.empty() ? "blink loop" : facts.timedOut ? "time limit" : "fault";
    call.postcodes = words(runs, true);
    if (call.stopped == "fault") return;
    halt.reason = call.stopped;
    run.halt = halt;
  };
  const std::vector<std::pair<uint16_t, uint64_t>> noRuns;
  const auto entryRuns = trace.runs.find({-1, 0});
  const auto& entryCallRuns = entryRuns != trace.runs.end() ? entryRuns->second : noRuns;
  if (run.entry.status)
    run.entry.postcodes = words(entryCallRuns, false);
  else
    stopped(entryCallRuns, 0, 0, run.entry);

  std::vector<const scenario::Report*> delivered;
  scenario.ForEachDelivery([&](uint64_t i, const scenario::Report& r) {
    if (i >= static_cast<uint64_t>(std::max(reading.delivered, 0))) return false;
    delivered.push_back(&r);
    return true;
  });
  for (int i = 0; i < static_cast<int>(delivered.size()); ++i) {
    run::DeliveredReport d{static_cast<size_t>(i), delivered[static_cast<size_t>(i)], {}};
    for (int h = 0; h < static_cast<int>(run.handlers.size()); ++h) {
      // The calls of the last report stop at the one that never returned.
      if (!reading.lastCall || (i == reading.lastCall->first && h > reading.lastCall->second)) break;
      run::CallResult c;
      const auto status = reading.statuses.find({i, h});
      const auto runs = trace.runs.find({i, h});
      const auto& callRuns = runs != trace.runs.end() ? runs->second : noRuns;
      if (status != reading.statuses.end()) {
        c.status = status->second;
        c.postcodes = words(callRuns, false);
      } else {
        stopped(callRuns, static_cast<size_t>(i), static_cast<size_t>(h), c);
      }
      if (run.handlerStats.size() <= static_cast<size_t>(h)) run.handlerStats.resize(static_cast<size_t>(h) + 1);
      run.handlerStats[static_cast<size_t>(h)].address = run.handlers[static_cast<size_t>(h)];
      ++run.handlerStats[static_cast<size_t>(h)].calls;
      run.postcodes.insert(run.postcodes.end(), c.postcodes.begin(), c.postcodes.end());
      d.calls.push_back(std::move(c));
    }
    run.reports.push_back(std::move(d));
  }
  run.postcodes.insert(run.postcodes.begin(), run.entry.postcodes.begin(), run.entry.postcodes.end());
  if (!facts.complete && !facts.timedOut && !facts.blinkLimit && run.faults.empty() && facts.problems.empty())
    facts.problems.push_back("QEMU ended (exit code " + std::to_string(facts.exitCode) +
                             ") before the summary was complete");
}

}  // namespace qemu
