// sinksim: runs StatusSinkPei on the emulated machine.
//   sinksim run [SCENARIO] [--json] [--fv PATH [--fv-base ADDR] | --image PATH] [--accesses] [--dump-log FILE]
//               [--count-in RANGES] [--timing]
//       by default the build's StatusSinkPei.fv, in place at FV_BASE; --image runs a bare .efi relocated;
//       --count-in also counts each call's instructions in the given ranges of the image;
//       --timing runs the board on its time model (the scenario's settings, else the defaults)
//   sinksim check SCENARIO...      reads scenario files and reports the first problem in each
//   sinksim log DUMP [--offset N] [--json]   reads the memory log out of a dump of its window
//   sinksim postcode CODE...       names POST codes (hexadecimal)
//   sinksim qemu [SCENARIO] [--json] [--time-limit S]   the same run on QEMU's PC machine
//   sinksim faults [--json] [--fv PATH]   every device fault against every report kind, as a table
//   sinksim outputs [--json]       the board's outputs a run shows, and how each machine reads them
//   sinksim coverage SCENARIO... [--lcov FILE]   the image's basic blocks the scenarios reach, per function
//   sinksim diff A B [--qemu | --timing] [--budget FILE] [--json]   compares two runs (scenarios or saved --json documents)
//   sinksim trace|vcd|plot [INPUT] -o FILE [--qemu] [--timing]   a run for a viewer: Trace Event Format JSON
//       (Perfetto, chrome://tracing, speedscope), a Value Change Dump with a GTKWave save file and
//       POST code filter beside it, or an SVG timeline; INPUT is a scenario (run here) or a saved
//       --json document; vcd always runs scenarios with the board time model (--postcode-bits: port 0x80
//       as 16 one-bit wires, for libsigrok 0.5)
//   run, faults, check and diff also write JUnit XML with --junit FILE
// Exit status, every verb: 0 clean, 1 bad input, 2 the module halted as
// designed (a blink loop), 3 a handler call stopped or faulted, or one of
// the run's own limits reached (out of memory included), 4 (diff) the
// comparison breached its budget.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <fmt/format.h>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <new>

#include "emu/Coverage.h"
#include "compare/DiffView.h"
#include "compare/JUnit.h"
#include "compare/Side.h"
#include "emu/FaultMatrix.h"
#include "hostlib/Text.h"
#include "emu/InPlace.h"
#include "emu/LogDump.h"
#include "emu/PostCodeDecode.h"
#include "emu/Run.h"
#include "emu/Symbols.h"
#include "qemu/host/QemuRender.h"
#include "qemu/host/QemuRun.h"
#include "run/Json.h"
#include "run/Outputs.h"
#include "run/TextView.h"
#include "view/Plot.h"
#include "view/Trace.h"
#include "view/Vcd.h"

namespace {

constexpr int kExitBadInput = 1;
constexpr int kExitStopped = static_cast<int>(run::RunEnd::Stopped);
constexpr int kExitOverBudget = 4;

std::string MapPathFor(const std::string& image) {
  const auto dot = image.rfind('.');
  return (dot == std::string::npos ? image : image.substr(0, dot)) + ".map";
}

constexpr const char* kExitStatusHelp =
    "Exit status (every verb):\n"
    "  0  clean: every call returned, no fault\n"
    "  1  bad input: command line, scenario, image, volume or dump refused\n"
    "  2  the module halted as designed: a handler blinks its POST code for ever\n"
    "     after an unrecoverable error, and nothing else went wrong\n"
    "  3  a handler call was stopped or faulted: instruction budget, a fault, a\n"
    "     write outside the allowed places or into the image, a time limit (3 wins over 2);\n"
    "     or the run reached one of its own limits, or ran out of memory\n"
    "  4  diff only: the comparison breached its budget (without --budget: any\n"
    "     difference in text, POST codes, results, the halt or faults)";

// Symbol names from the map beside the image; a bad map costs the names only.
std::map<uint32_t, std::string> SymbolsBeside(const std::string& image) {
  std::vector<std::string> warnings;
  auto symbols = emu::ReadMapSymbols(MapPathFor(image), &warnings);
  for (const std::string& w : warnings) std::cerr << "sinksim: warning: " << w << "\n";
  return symbols;
}

// A number as scenarios write one: decimal, or hexadecimal after one 0x
// (hexadecimal without it too when plainIsHex); no sign, no octal, no spaces.
uint64_t ParseNumber(const std::string& text, bool plainIsHex, uint64_t max, const char* what) {
  const hostlib::ParsedNumber n = hostlib::ParseNumber(text, plainIsHex);
  if (!n) throw std::invalid_argument(std::string(what) + " '" + text + "' " + std::string(hostlib::Describe(n.problem)));
  if (n.value > max) throw std::invalid_argument(std::string(what) + " '" + text + "' is larger than " + hostlib::Hex(max));
  return n.value;
}

struct ImageChoice {
  std::string efi;  // a bare image, relocated by the loader
  std::string fv;   // a firmware volume, run in place
  uint32_t fvBase = 0;
};

// Images and volumes are checked (a regular file within its size cap) before they are read.
emu::FlashImage LoadFlash(const ImageChoice& choice) {
  return choice.fv.empty() ? emu::PlaceRelocated(emu::LoadPeImage(choice.efi)) : emu::LoadVolume(choice.fv, choice.fvBase);
}

// The run document of a scenario on the emulated machine, as `run --json` prints it.
std::string EmulatorDocument(const std::string& scenarioPath, const ImageChoice& choice, bool timing) {
  scenario::Scenario scenario = scenario::LoadScenario(scenarioPath);
  if (timing) scenario::EnableTiming(scenario);
  const emu::FlashImage image = LoadFlash(choice);
  const emu::RunResult run = emu::RunScenario(image, scenario);
  run::RenderContext context;
  context.symbols = SymbolsBeside(image.path);
  return run::ToJsonText(run, context);
}

void WriteRunJUnit(const std::string& path, const std::string& document, const std::string& origin) {
  comparison::WriteJUnit(path, comparison::RunSuite(comparison::ReadRunDocument(nlohmann::ordered_json::parse(document), origin)));
}

struct DiffOptions {
  std::string a, b, budget, junit;
  bool qemu = false, json = false, otherScenario = false, timing = false;
};

int Diff(const DiffOptions& o, const ImageChoice& choice, const qemu::QemuOptions& qemuOptions);

int Run(const std::string& scenarioPath, const ImageChoice& choice, bool json, bool accesses, bool quiet, bool timing,
        const std::string& dumpLog, const std::string& countIn, const std::string& junit) {
  scenario::Scenario scenario = scenario::LoadScenario(scenarioPath);
  if (timing) scenario::EnableTiming(scenario);
  const emu::FlashImage image = LoadFlash(choice);
  const std::string imagePath = image.path;
  emu::RunOptions options;
  options.keepAccessLog = accesses;
  if (!countIn.empty()) {
    options.countRanges = emu::ReadCountRanges(countIn);
    if (options.countRanges.empty()) throw std::invalid_argument(countIn + ": no count range in it");
  }
  // Progress for runs long enough to need it, on a terminal only, so output stays clean.
  const bool showProgress = !quiet && isatty(STDERR_FILENO) && scenario.DeliveryCount() >= 5000;
  if (showProgress) {
    options.progress = [](size_t done, size_t total) {
      std::fprintf(stderr, "\r%zu of %zu reports delivered", done, total);
      std::fflush(stderr);
    };
  }
  const run::RunResult run = emu::RunScenario(image, scenario, options);
  if (showProgress) std::fprintf(stderr, "\r%*s\r", 40, "");
  // A block that runs over a range's edge would be counted wholly on one side: no figures rather than wrong ones.
  if (!run.countRangeCrossings.empty()) {
    for (const std::string& crossing : run.countRangeCrossings) std::cerr << "sinksim: " << countIn << ": " << crossing << "\n";
    throw std::invalid_argument(countIn + ": the count ranges do not fall on basic block edges; no exact count");
  }
  if (!dumpLog.empty()) {
    std::ofstream out(dumpLog, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(run.memoryLogWindow.data()),
              static_cast<std::streamsize>(run.memoryLogWindow.size()));
    if (!out) throw std::runtime_error(dumpLog + ": cannot write the memory log window");
  }
  run::RenderContext context;
  context.symbols = SymbolsBeside(imagePath);
  if (!junit.empty()) WriteRunJUnit(junit, run::ToJsonText(run, context), scenarioPath);
  if (json) {
    // Streamed: ten million deliveries are written one at a time.
    run::WriteJson(std::cout, run, context);
    std::cout << "\n";
  } else
    std::cout << run::ToText(run, context);
  return static_cast<int>(run::Classify(run));
}

// Runs each scenario (scenarios on one board share a machine, reset after
// the entry for each) and reports which of the image's basic blocks ran in
// any of them, per function; an lcov trace file
// for genhtml with --lcov. Halts and faults of a scenario are named but do
// not change the exit status: what ran until then counts.
int Coverage(const std::vector<std::string>& scenarioPaths, const ImageChoice& choice, const std::string& lcovPath) {
  const emu::FlashImage image = choice.fv.empty() ? emu::PlaceRelocated(emu::LoadPeImage(choice.efi))
                                                  : emu::LoadVolume(choice.fv, choice.fvBase);
  const emu::BlockMap map = emu::ReadBlockMap(emu::BlockMapPathFor(image.path));
  if (map.sizeOfImage != image.imageSize || map.entryRva != image.entryRva)
    throw std::invalid_argument(map.path + ": the block map is not of the image in " + image.path);
  std::vector<scenario::Scenario> scenarios;
  for (const std::string& path : scenarioPaths) scenarios.push_back(scenario::LoadScenario(path));
  emu::CoveredBytes covered(image.imageSize);
  emu::Runner runner(image);
  constexpr const char* kEnds[] = {"clean", "", "halted as designed", "stopped or faulted"};
  for (size_t i = 0; i < scenarios.size(); ++i) {
    std::vector<std::pair<uint32_t, uint32_t>> ran;
    emu::RunOptions options;
    options.executedBlocks = &ran;
    const emu::RunResult run = runner.Run(scenarios[i], options);
    covered.Add(ran);
    std::cout << fmt::format("{}: {} reports, {}\n", scenarioPaths[i], scenarios[i].DeliveryCount(),
                             kEnds[static_cast<int>(run::Classify(run))]);
  }
  std::cout << fmt::format("\nbasic blocks of {} reached by {} scenario{}:\n", image.path, scenarios.size(),
                           scenarios.size() == 1 ? "" : "s");
  std::cout << emu::CoverageText(map, emu::Summarize(map, covered));
  if (!lcovPath.empty()) {
    std::ofstream out(lcovPath, std::ios::trunc);
    emu::WriteLcov(out, map, covered, "sinksim");
    if (!out.flush()) throw std::runtime_error(lcovPath + ": cannot write the lcov trace file");
  }
  return 0;
}

int RunQemu(const std::string& scenarioPath, const qemu::QemuOptions& options, bool json) {
  const scenario::Scenario scenario = scenario::LoadScenario(scenarioPath);
  const qemu::QemuRunResult result = qemu::RunOnQemu(scenario, options);
  run::RenderContext context;
  context.symbols = SymbolsBeside(options.volume);  // the map beside the volume
  if (json)
    std::cout << qemu::ToJson(result, context).dump(2) << "\n";
  else
    std::cout << qemu::ToText(result, context);
  if (!result.facts.problems.empty()) return static_cast<int>(run::RunEnd::Stopped);
  return static_cast<int>(run::Classify(result.run));
}

// Writes each file whole: all go to temporary files beside their targets
// first and are renamed into place only when every one is written, so a
// failure leaves no file half-written and no target changed.
void WriteFilesWhole(const std::vector<std::pair<std::string, std::string>>& files) {
  std::vector<std::string> temporaries;
  try {
    for (const auto& [path, text] : files) {
      std::string temporary = path + ".XXXXXX";
      const int fd = mkstemp(temporary.data());
      if (fd < 0) throw std::runtime_error(path + ": cannot write: " + std::strerror(errno));
      temporaries.push_back(temporary);
      const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
      if (::close(fd) != 0 || !written) throw std::runtime_error(path + ": cannot write: " + std::strerror(errno));
      std::filesystem::permissions(temporary, std::filesystem::perms(0644));
    }
    for (size_t i = 0; i < files.size(); ++i) std::filesystem::rename(temporaries[i], files[i].first);
  } catch (...) {
    for (const std::string& temporary : temporaries) std::remove(temporary.c_str());
    throw;
  }
}

// How the run a document records ended, as `run` says it: 3 when a call
// stopped or faulted (the halting call's blink loop apart), else 2 when the
// module halted as designed, else 0.
int RunEndOf(const comparison::RunDocument& d) {
  bool stopped = !d.faults.empty() || !d.entryStopped.empty();
  for (const comparison::ReportFacts& r : d.reports)
    for (size_t h = 0; h < r.stopped.size(); ++h)
      stopped |= !r.stopped[h].empty() && !(d.halt && d.halt->report == r.index && d.halt->handler == h);
  return stopped ? kExitStopped : d.halt ? static_cast<int>(run::RunEnd::DesignedHalt) : 0;
}

struct ViewOptions {
  std::string input = SS_DEFAULT_SCENARIO, output;
  bool qemu = false, timing = false, postcodeBits = false;
};

// trace, vcd and plot: one run document (a saved one, or a scenario run
// here) turned into a viewer's file.
int View(const std::string& verb, const ViewOptions& o, const ImageChoice& choice, const qemu::QemuOptions& qemuOptions) {
  const comparison::ScenarioRunner runner = [&](const std::string& path) {
    if (!o.qemu) return EmulatorDocument(path, choice, o.timing || verb == "vcd");
    const scenario::Scenario scenario = scenario::LoadScenario(path);
    const qemu::QemuRunResult result = qemu::RunOnQemu(scenario, qemuOptions);
    run::RenderContext context;
    context.symbols = SymbolsBeside(qemuOptions.volume);
    return qemu::ToJson(result, context).dump(2);
  };
  const comparison::RunDocument document = comparison::LoadSide(o.input, runner, o.qemu ? "QEMU's PC" : "emulated machine");
  if (verb == "trace") {
    WriteFilesWhole({{o.output, view::TraceJson(document)}});
  } else if (verb == "plot") {
    WriteFilesWhole({{o.output, view::PlotSvg(document)}});
  } else {
    const std::filesystem::path vcd = std::filesystem::absolute(o.output);
    const std::string stem = vcd.extension() == ".vcd" ? (vcd.parent_path() / vcd.stem()).string() : vcd.string();
    const std::string gtkw = stem + ".gtkw", filter = stem + ".postcodes.txt";
    const view::VcdFiles files = view::MakeVcd(document, vcd.string(), filter, o.postcodeBits);
    WriteFilesWhole({{o.output, files.vcd}, {gtkw, files.gtkw}, {filter, files.filter}});
  }
  return RunEndOf(document);
}

int Diff(const DiffOptions& o, const ImageChoice& choice, const qemu::QemuOptions& qemuOptions) {
  const comparison::ScenarioRunner runner = [&](const std::string& path) {
    if (!o.qemu) return EmulatorDocument(path, choice, o.timing);
    const scenario::Scenario scenario = scenario::LoadScenario(path);  // the result points into it
    const qemu::QemuRunResult result = qemu::RunOnQemu(scenario, qemuOptions);
    run::RenderContext context;
    context.symbols = SymbolsBeside(qemuOptions.volume);
    return qemu::ToJson(result, context).dump(2);
  };
  const comparison::Budget budget = o.budget.empty() ? comparison::Budget{} : comparison::ReadBudget(o.budget);
  const char* machine = o.qemu ? "QEMU's PC" : "the emulated machine";
  const comparison::RunDocument a = comparison::LoadSide(o.a, runner, machine);
  const comparison::RunDocument b = comparison::LoadSide(o.b, runner, machine);
  if (!o.otherScenario) comparison::CheckSameScenario(a, b);
  const comparison::Comparison c = comparison::Compare(a, b, budget);
  if (o.json)
    std::cout << comparison::DiffJson(c).dump(2) << "\n";
  else
    std::cout << comparison::DiffText(c);
  if (!o.junit.empty()) comparison::WriteJUnit(o.junit, comparison::DiffSuite(c));
  return c.Breached() ? kExitOverBudget : 0;
}

}  // namespace

int main(int argc, char** argv) {
  // The standard streams keep buffers of their own: a run document of ten
  // thousand reports is written in a few large writes, not one per value.
  std::ios::sync_with_stdio(false);
  CLI::App app{"sinksim: runs StatusSinkPei on an emulated PEI machine"};
  app.require_subcommand(1);
  app.footer(kExitStatusHelp);
  std::string image, volume, volumeBase = std::to_string(SS_DEFAULT_FV_BASE), dumpLog;
  app.add_option("--image", image, "run this bare .efi, relocated by the loader, instead of the volume");

  CLI::App* run = app.add_subcommand("run", "run a scenario and print what the board received");
  std::string scenario = SS_DEFAULT_SCENARIO;
  bool json = false, accesses = false, quiet = false;
  run->add_option("scenario", scenario, "scenario file (default: scenarios/boot.json)");
  run->add_flag("--json", json, "print one JSON document");
  run->add_flag("--accesses", accesses, "include every port and device access (JSON)");
  run->add_flag("--quiet", quiet, "no progress display");
  bool timing = false;
  run->add_flag("--timing", timing,
                "run the board on its time model (the scenario's platform.timing, else the defaults):\n"
                "each call's start and time, the boot's time and each output's share");
  run->add_option("--image", image, "run this bare .efi, relocated by the loader, instead of the volume");
  run->add_option("--fv", volume, "firmware volume to run in place (default: the build's StatusSinkPei.fv)");
  run->add_option("--fv-base", volumeBase, "flash address the volume is mapped at (default: the build's FV_BASE)");
  run->add_option("--dump-log", dumpLog, "write the 64 KiB memory log window to this file after the run");
  std::string countIn;
  run->add_option("--count-in", countIn,
                  "also count each call's instructions in these ranges of the image: a file with one range a line,\n"
                  "START END [NAME], offsets from the image base in hexadecimal, END excluded ('#' comments);\n"
                  "--json gives them per report as range_instructions, beside instructions");

  std::string junit;
  run->add_option("--junit", junit, "also write JUnit XML: one test case per report (and the entry)");

  CLI::App* check = app.add_subcommand("check", "read scenario files without running them");
  std::vector<std::string> files;
  check->add_option("files", files, "scenario files")->required();
  check->add_option("--junit", junit, "also write JUnit XML: one test case per file");

  CLI::App* log = app.add_subcommand("log", "read the memory log out of a dump of its 64 KiB window");
  std::string dump, dumpOffset = "0";
  bool logJson = false;
  log->add_option("dump", dump, "the window, or a larger physical memory dump")->required();
  log->add_option("--offset", dumpOffset, "where the window starts in the dump (default 0)");
  log->add_flag("--json", logJson, "print one JSON document");

  CLI::App* postcode = app.add_subcommand("postcode", "name POST codes (hexadecimal, e.g. 0x0184 F2)");
  std::vector<std::string> codes;
  postcode->add_option("codes", codes, "POST codes")->required();

  CLI::App* onQemu = app.add_subcommand("qemu", "run a scenario on QEMU's PC machine (the firmware volume in a boot ROM)");
  qemu::QemuOptions qemuOptions;
  qemuOptions.volume = SS_DEFAULT_FV;
  qemuOptions.stub = SS_QEMU_BOOT_ROM;
  qemuOptions.volumeBase = SS_DEFAULT_FV_BASE;
  onQemu->add_option("scenario", scenario, "scenario file (default: scenarios/boot.json)");
  onQemu->add_flag("--json", json, "print one JSON document");
  onQemu->add_option("--fv", qemuOptions.volume, "the firmware volume (default: the build's)");
  onQemu->add_option("--fv-base", qemuOptions.volumeBase, "the flash address the volume was packed for");
  onQemu->add_option("--boot-rom", qemuOptions.stub, "the boot ROM's code (default: the firmware build's)");
  onQemu->add_option("--qemu", qemuOptions.qemu, "the QEMU program");
  onQemu->add_option("--time-limit", qemuOptions.timeLimitSeconds,
                     "seconds before QEMU is stopped (default 5; a blink loop ends the run earlier, at the\n"
                     "scenario's limits.blink_writes, as on the emulated machine)");
  onQemu->add_option("--keep", qemuOptions.keepDirectory, "keep the ROM, trace FIFO and serial files in this directory");

  CLI::App* outputs = app.add_subcommand("outputs", "list the board's outputs that a run shows, and how each machine reads them");
  outputs->add_flag("--json", json, "print one JSON document");

  CLI::App* faults = app.add_subcommand("faults", "run every device fault against every report kind; print the table");
  faults->add_flag("--json", json, "print one JSON document");
  faults->add_option("--fv", volume, "firmware volume to run in place (default: the build's StatusSinkPei.fv)");
  faults->add_option("--junit", junit, "also write JUnit XML: one test case per cell");

  CLI::App* diff = app.add_subcommand("diff", "compare two runs: each a scenario (run here) or a saved --json document");
  DiffOptions diffOptions;
  diff->add_option("a", diffOptions.a, "the baseline: a scenario or a run document")->required();
  diff->add_option("b", diffOptions.b, "the run compared with it: a scenario or a run document")->required();
  diff->add_flag("--qemu", diffOptions.qemu, "run scenario sides on QEMU's PC machine instead of the emulated machine");
  diff->add_flag("--timing", diffOptions.timing, "run scenario sides on the board time model (as run --timing)")
      ->excludes("--qemu");
  diff->add_option("--budget", diffOptions.budget, "a JSON budget file: the limits the comparison is judged by (README)");
  diff->add_flag("--json", diffOptions.json, "print one JSON document");
  diff->add_option("--junit", diffOptions.junit, "also write JUnit XML: one test case per budget rule and per changed report");
  diff->add_flag("--other-scenario", diffOptions.otherScenario, "compare runs of differently named scenarios");
  diff->add_option("--fv", volume, "firmware volume for scenario sides (default: the build's StatusSinkPei.fv)");
  diff->add_option("--fv-base", volumeBase, "flash address the volume is mapped at (default: the build's FV_BASE)");

  CLI::App* coverage = app.add_subcommand("coverage", "which basic blocks of the image the scenarios reach, per function");
  std::vector<std::string> coverageScenarios;
  std::string lcovPath;
  coverage->add_option("scenarios", coverageScenarios, "scenario files (those on one board share a machine, reset after the entry)")->required();
  coverage->add_option("--lcov", lcovPath, "also write an lcov trace file (genhtml makes HTML of it)");
  coverage->add_option("--fv", volume, "firmware volume to run in place (default: the build's StatusSinkPei.fv)");
  coverage->add_option("--fv-base", volumeBase, "flash address the volume is mapped at (default: the build's FV_BASE)");

  ViewOptions viewOptions;
  std::vector<std::pair<std::string, CLI::App*>> views;
  for (const auto& [verb, what] : {std::pair<const char*, const char*>{"trace", "write a Trace Event Format file (Perfetto, chrome://tracing, speedscope)"},
                                   {"vcd", "write a Value Change Dump of port 0x80 and the UART wires, a GTKWave save file and a POST code filter"},
                                   {"plot", "write an SVG timeline of the run"}}) {
    CLI::App* v = app.add_subcommand(verb, what);
    v->add_option("input", viewOptions.input, "a scenario (run here) or a saved --json run document (default: scenarios/boot.json)");
    v->add_option("-o,--output", viewOptions.output, "the file to write")->required();
    v->add_flag("--qemu", viewOptions.qemu, "run a scenario on QEMU's PC machine instead of the emulated machine");
    if (std::string(verb) != "vcd") v->add_flag("--timing", viewOptions.timing, "run a scenario with the board time model on");
    if (std::string(verb) == "vcd")
      v->add_flag("--postcode-bits", viewOptions.postcodeBits,
                  "port 0x80 as 16 one-bit wires postcode_0..postcode_15 instead of a vector\n"
                  "(for readers without vectors: libsigrok 0.5, so sigrok-cli and PulseView)");
    v->add_option("--fv", volume, "firmware volume for a scenario (default: the build's StatusSinkPei.fv)");
    v->add_option("--fv-base", volumeBase, "flash address the volume is mapped at (default: the build's FV_BASE)");
    views.emplace_back(verb, v);
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // --help is a "parse error" of status 0; every other one is bad input.
    return app.exit(e) == 0 ? 0 : kExitBadInput;
  }
  try {
    const auto viewVerb = std::find_if(views.begin(), views.end(), [](const auto& v) { return v.second->parsed(); });
    if (run->parsed() || coverage->parsed() || diff->parsed() || viewVerb != views.end()) {
      if (!image.empty() && !volume.empty()) throw std::invalid_argument("--image and --fv exclude each other");
      ImageChoice choice;
      if (image.empty()) {
        choice.fv = volume.empty() ? SS_DEFAULT_FV : volume;
        choice.fvBase = static_cast<uint32_t>(ParseNumber(volumeBase, false, 0xFFFFFFFFu, "--fv-base"));
      } else {
        choice.efi = image;
      }
      if (coverage->parsed()) return Coverage(coverageScenarios, choice, lcovPath);
      if (diff->parsed()) return Diff(diffOptions, choice, qemuOptions);
      if (viewVerb != views.end()) return View(viewVerb->first, viewOptions, choice, qemuOptions);
      return Run(scenario, choice, json, accesses, quiet, timing, dumpLog, countIn, junit);
    }
    if (onQemu->parsed()) return RunQemu(scenario, qemuOptions, json);
    if (outputs->parsed()) {
      if (json) {
        std::cout << run::OutputsJson() << "\n";
      } else {
        for (const run::Output& o : run::kOutputs) std::cout << o.letter << "  " << o.key << "  " << o.title << "\n";
      }
      return 0;
    }
    if (faults->parsed()) {
      const std::string path = !image.empty() ? image : volume.empty() ? SS_DEFAULT_FV : volume;
      const emu::FlashImage flash = image.empty() ? emu::LoadVolume(path, SS_DEFAULT_FV_BASE)
                                                  : emu::PlaceRelocated(emu::LoadPeImage(path));
      if (junit.empty()) return emu::PrintFaultMatrix(flash, json, std::cout);
      const emu::FaultMatrix m = emu::RunFaultMatrix(flash);
      std::cout << (json ? emu::FaultMatrixJson(m).dump(2) + "\n" : emu::FaultMatrixText(m));
      comparison::WriteJUnit(junit, comparison::FaultMatrixSuite(emu::FaultMatrixJson(m)));
      return m.AsDesigned() ? 0 : static_cast<int>(run::RunEnd::Stopped);
    }
    if (log->parsed()) {
      const emu::LogDump decoded = emu::ReadLogDump(dump, ParseNumber(dumpOffset, false, UINT64_MAX, "--offset"));
      if (logJson)
        std::cout << emu::LogDumpJson(decoded).dump(2) << "\n";
      else
        std::cout << emu::LogDumpText(decoded);
      return decoded.corrupt ? kExitBadInput : 0;
    }
    if (postcode->parsed()) {
      int status = 0;
      for (const std::string& text : codes) {
        const auto code = ParseNumber(text, true, 0xFFFFFFFFu, "POST code");
        const emu::PostCodeMeaning m = emu::DecodePostCode(static_cast<uint32_t>(code));
        std::vector<std::string> lines = m.lines;
        if (!m.written) {
          lines.insert(lines.begin(), "not a code this module writes");
          status = kExitBadInput;
        }
        for (size_t i = 0; i < lines.size(); ++i)
          std::cout << (i == 0 ? fmt::format("{:04X}  ", code) : std::string(6, ' ')) << lines[i] << "\n";
      }
      return status;
    }
    int status = 0;
    comparison::TestSuite checked{"sinksim check", {}};
    for (const std::string& f : files) {
      try {
        const scenario::Scenario s = scenario::LoadScenario(f);
        std::cout << f << ": " << s.DeliveryCount() << " reports\n";
        checked.cases.push_back({f, std::nullopt, std::to_string(s.DeliveryCount()) + " reports"});
      } catch (const scenario::ScenarioError& e) {
        std::cerr << "sinksim: " << e.what() << "\n";
        checked.cases.push_back({f, e.what(), ""});
        status = kExitBadInput;
      }
    }
    if (!junit.empty()) comparison::WriteJUnit(junit, checked);
    return status;
  } catch (const scenario::ScenarioError& e) {
    std::cerr << "sinksim: " << e.what() << "\n";
  } catch (const run::RunLimit& e) {
    // Our own limit, not the input's fault.
    std::cerr << "sinksim: stopped: " << e.what() << "\n";
    return kExitStopped;
  } catch (const std::bad_alloc&) {
    std::cerr << "sinksim: stopped: out of memory\n";
    return kExitStopped;
  } catch (const comparison::DocumentError& e) {
    std::cerr << "sinksim: " << e.what() << "\n";
  } catch (const qemu::QemuInterrupted& e) {
    // QEMU is ended and the scratch files are gone: end as the signal ends a process.
    std::cerr << "sinksim: qemu: " << e.what() << "\n";
    std::signal(e.Signal(), SIG_DFL);
    std::raise(e.Signal());
  } catch (const qemu::QemuError& e) {
    std::cerr << "sinksim: qemu: " << e.what() << "\n";
  } catch (const emu::ImageError& e) {
    std::cerr << "sinksim: " << e.what() << "\n";
  } catch (const std::exception& e) {
    std::cerr << "sinksim: " << e.what() << "\n";
  }
  return kExitBadInput;
}
